// Message queues, message-only windows and message-pumping waits on Linux.
#include "vqplatform/messages.h"

#include <array>
#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
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

    void Discard(HWND window) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_messages.begin(); it != m_messages.end();) {
            it = it->hwnd == window ? m_messages.erase(it) : it + 1;
        }
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

struct Window {
    std::shared_ptr<MessageQueue> queue;
    WNDPROC procedure;
};

// Process-wide state. Lock order: this registry, then a queue.
struct Registry {
    std::mutex mutex;
    std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues;
    std::unordered_map<std::wstring, WNDPROC> classes;
    std::unordered_map<std::uintptr_t, Window> windows;
    ATOM nextAtom = 0xC000;
    std::uintptr_t nextWindow = 0x10000;

    Window* FindWindowLocked(HWND window) {
        auto it = windows.find(reinterpret_cast<std::uintptr_t>(window));
        if (it == windows.end()) {
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
            return nullptr;
        }
        return &it->second;
    }
};

// Never destroyed: threads may end while static destructors run.
Registry& TheRegistry() {
    static Registry* registry = new Registry;
    return *registry;
}

// The calling thread's queue; it and the thread's windows go when the thread ends.
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
        for (auto window = registry.windows.begin(); window != registry.windows.end();) {
            window = window->second.queue == queue ? registry.windows.erase(window) : std::next(window);
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

MSG MakeMessage(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    return MSG{window, message, wParam, lParam, GetTickCount(), POINT{0, 0}};
}

}  // namespace
}  // namespace vqplatform::detail

using vqplatform::detail::CurrentQueue;
using vqplatform::detail::Registry;
using vqplatform::detail::TheRegistry;

HMODULE GetModuleHandleW(LPCWSTR /*moduleName*/) {
    return reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x400000));
}

ATOM RegisterClassW(const WNDCLASSW* windowClass) {
    if (windowClass == nullptr || windowClass->lpfnWndProc == nullptr ||
        windowClass->lpszClassName == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (!registry.classes.emplace(windowClass->lpszClassName, windowClass->lpfnWndProc).second) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    return registry.nextAtom++;
}

HWND CreateWindowExW(DWORD /*exStyle*/, LPCWSTR className, LPCWSTR /*windowName*/, DWORD /*style*/, int /*x*/,
                     int /*y*/, int /*width*/, int /*height*/, HWND parent, HMENU /*menu*/,
                     HINSTANCE /*instance*/, LPVOID /*parameter*/) {
    if (parent != HWND_MESSAGE || className == nullptr) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    CurrentQueue();
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto cls = registry.classes.find(className);
    if (cls == registry.classes.end()) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    registry.nextWindow += 2;
    registry.windows.emplace(registry.nextWindow,
                             vqplatform::detail::Window{vqplatform::detail::t_messages.queue, cls->second});
    return reinterpret_cast<HWND>(registry.nextWindow);
}

BOOL DestroyWindow(HWND window) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const vqplatform::detail::Window* target = registry.FindWindowLocked(window);
    if (target == nullptr) {
        return FALSE;
    }
    target->queue->Discard(window);
    registry.windows.erase(reinterpret_cast<std::uintptr_t>(window));
    return TRUE;
}

LRESULT DefWindowProcW(HWND /*window*/, UINT /*message*/, WPARAM /*wParam*/, LPARAM /*lParam*/) {
    return 0;
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const vqplatform::detail::Window* target = registry.FindWindowLocked(window);
    if (target == nullptr) {
        return FALSE;
    }
    target->queue->Post(vqplatform::detail::MakeMessage(window, message, wParam, lParam));
    return TRUE;
}

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.queues.find(threadId);
    if (it == registry.queues.end()) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    it->second->Post(vqplatform::detail::MakeMessage(nullptr, message, wParam, lParam));
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

LRESULT DispatchMessageW(const MSG* msg) {
    if (msg == nullptr || msg->hwnd == nullptr) {
        return 0;
    }
    WNDPROC procedure = nullptr;
    {
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        const vqplatform::detail::Window* window = registry.FindWindowLocked(msg->hwnd);
        if (window == nullptr) {
            return 0;
        }
        if (window->queue != vqplatform::detail::t_messages.queue) {
            SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
            return 0;
        }
        procedure = window->procedure;
    }
    // Outside the lock: the procedure may post, create or destroy windows.
    return procedure(msg->hwnd, msg->message, msg->wParam, msg->lParam);
}

DWORD MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds, DWORD wakeMask,
                                  DWORD flags) {
    using vqplatform::detail::WakeSource;
    if (vqplatform::detail::InjectedFault(vqplatform::testing::Operation::Wait)) {
        return WAIT_FAILED;
    }
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
