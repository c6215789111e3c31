// Thread message queues and message-pumping waits on Linux.
#include "vqplatform/messages.h"

#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "vqplatform/kernel.h"
#include "waitable.h"

namespace vqplatform::detail {
namespace {

constexpr DWORD kPostedInput = QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
constexpr DWORD kMaximumWaitHandles = 63;

// One thread's queue. Only its own thread takes messages and waits on it; any thread posts.
class MessageQueue {
  public:
    void Post(const MSG& msg) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_messages.push_back(msg);
        m_newInput.store(kPostedInput, std::memory_order_release);
        if (m_waiter != nullptr) {
            m_waiter->Wake();
        }
    }

    bool Peek(MSG* msg, bool remove) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_newInput.store(0, std::memory_order_release);
        if (m_messages.empty()) {
            return false;
        }
        *msg = m_messages.front();
        if (remove) {
            m_messages.pop_front();
        }
        return true;
    }

    // Input of the mask's kinds that arrived since the thread last looked.
    bool HasNewInput(DWORD mask) const { return (m_newInput.load(std::memory_order_acquire) & mask) != 0; }

    void MarkSeen() { m_newInput.store(0, std::memory_order_release); }

    void Attach(Waiter* waiter) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waiter = waiter;
    }

  private:
    std::mutex m_mutex;
    std::deque<MSG> m_messages;
    std::atomic<DWORD> m_newInput{0};
    Waiter* m_waiter = nullptr;
};

// The queue as a source of a wait.
class QueueInput final : public WakeSource {
  public:
    QueueInput(MessageQueue& queue, DWORD mask) : m_queue(queue), m_mask(mask) {}
    bool Poll() override { return m_queue.HasNewInput(m_mask); }
    void Attach(Waiter* waiter) override { m_queue.Attach(waiter); }
    void Detach(Waiter* /*waiter*/) override { m_queue.Attach(nullptr); }

  private:
    MessageQueue& m_queue;
    const DWORD m_mask;
};

// The queues by thread id. Lock order: this registry, then a queue.
struct Registry {
    std::mutex mutex;
    std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues;
};

// Never destroyed: threads may end while static destructors run.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

// The calling thread's queue; it goes when the thread ends.
struct ThreadMessages {
    std::shared_ptr<MessageQueue> queue;
    DWORD threadId = 0;

    ~ThreadMessages() {
        if (queue == nullptr) {
            return;
        }
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto it = registry.queues.find(threadId);
        if (it != registry.queues.end() && it->second == queue) {
            registry.queues.erase(it);
        }
    }
};

thread_local ThreadMessages t_messages;

MessageQueue& CurrentQueue() {
    if (t_messages.queue == nullptr) {
        auto queue = std::make_shared<MessageQueue>();
        const DWORD threadId = GetCurrentThreadId();
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.queues[threadId] = queue;
        t_messages.threadId = threadId;
        t_messages.queue = std::move(queue);
    }
    return *t_messages.queue;
}

MSG MakeMessage(UINT message, WPARAM wParam, LPARAM lParam) {
    return MSG{nullptr, message, wParam, lParam, GetTickCount(), POINT{0, 0}};
}

}  // namespace
}  // namespace vqplatform::detail

using vqplatform::detail::CurrentQueue;
using vqplatform::detail::Registry;
using vqplatform::detail::TheRegistry;

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.queues.find(threadId);
    if (it == registry.queues.end()) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    it->second->Post(vqplatform::detail::MakeMessage(message, wParam, lParam));
    return TRUE;
}

BOOL PeekMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage) {
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    if (window != nullptr || filterMin != 0 || filterMax != 0) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return FALSE;
    }
    return CurrentQueue().Peek(msg, (removeMessage & PM_REMOVE) != 0) ? TRUE : FALSE;
}

// Thread messages have no window procedure to run.
LRESULT DispatchMessageW(const MSG* /*msg*/) {
    return 0;
}

DWORD MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds, DWORD wakeMask,
                                  DWORD flags) {
    using vqplatform::detail::WakeSource;
    if (count > vqplatform::detail::kMaximumWaitHandles || (count != 0 && handles == nullptr) || flags != 0) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return WAIT_FAILED;
    }
    std::array<std::shared_ptr<vqplatform::detail::Waitable>, vqplatform::detail::kMaximumWaitHandles>
        objects;
    std::array<WakeSource*, vqplatform::detail::kMaximumWaitHandles + 1> sources{};
    for (DWORD i = 0; i < count; ++i) {
        objects[i] = vqplatform::detail::FindObject(handles[i]);
        if (objects[i] == nullptr) {
            return WAIT_FAILED;
        }
        sources[i] = objects[i].get();
    }
    vqplatform::detail::MessageQueue& queue = CurrentQueue();
    vqplatform::detail::QueueInput input(queue, wakeMask);
    sources[count] = &input;
    const DWORD result = vqplatform::detail::WaitForSources(sources.data(), count + 1, milliseconds);
    if (result == count) {
        queue.MarkSeen();
    }
    return result == WAIT_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0 + result;
}
