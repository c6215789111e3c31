// Message queues, message-only windows and message-pumping waits on Linux.
#include "vqplatform/messages.h"

#include <array>
#include <atomic>
#include <cwctype>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>

#include "vqplatform/kernel.h"
#include "waitable.h"

namespace vqplatform::detail {
namespace {

constexpr std::size_t kQueueLimit = 10000;
constexpr DWORD kPostedInput = QS_POSTMESSAGE | QS_ALLPOSTMESSAGE;
constexpr DWORD kMaximumWaitHandles = 63;
const HWND kThreadMessagesOnly = reinterpret_cast<HWND>(static_cast<LONG_PTR>(-1));

// One thread's queue. Only its own thread takes messages and waits on it; any thread posts.
class MessageQueue {
  public:
    bool Post(const MSG& msg) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_messages.size() >= kQueueLimit) {
            SetLastError(ERROR_NOT_ENOUGH_QUOTA);
            return false;
        }
        m_messages.push_back(msg);
        m_newInput.store(kPostedInput, std::memory_order_release);
        m_queuedInput.store(kPostedInput, std::memory_order_release);
        if (m_waiter != nullptr) {
            m_waiter->Wake();
        }
        return true;
    }

    bool Peek(MSG* msg, HWND window, UINT filterMin, UINT filterMax, bool remove) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_newInput.store(0, std::memory_order_release);
        for (auto it = m_messages.begin(); it != m_messages.end(); ++it) {
            if (Matches(*it, window, filterMin, filterMax)) {
                *msg = *it;
                if (remove) {
                    m_messages.erase(it);
                    UpdateQueuedLocked();
                }
                return true;
            }
        }
        return false;
    }

    void Discard(HWND window) {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto it = m_messages.begin(); it != m_messages.end();) {
            it = it->hwnd == window ? m_messages.erase(it) : it + 1;
        }
        UpdateQueuedLocked();
    }

    bool HasInput(DWORD mask, bool queued) const {
        const DWORD input = (queued ? m_queuedInput : m_newInput).load(std::memory_order_acquire);
        return (input & mask) != 0;
    }

    void MarkSeen() { m_newInput.store(0, std::memory_order_release); }

    void Attach(Waiter* waiter) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waiter = waiter;
    }

    void Detach() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_waiter = nullptr;
    }

  private:
    static bool Matches(const MSG& msg, HWND window, UINT filterMin, UINT filterMax) {
        if (window == kThreadMessagesOnly ? msg.hwnd != nullptr : window != nullptr && msg.hwnd != window) {
            return false;
        }
        return (filterMin == 0 && filterMax == 0) || (msg.message >= filterMin && msg.message <= filterMax);
    }

    void UpdateQueuedLocked() {
        m_queuedInput.store(m_messages.empty() ? 0 : kPostedInput, std::memory_order_release);
    }

    std::mutex m_mutex;
    std::deque<MSG> m_messages;
    // QS_* bits of input that arrived since the thread last looked, and of input queued at all.
    std::atomic<DWORD> m_newInput{0};
    std::atomic<DWORD> m_queuedInput{0};
    Waiter* m_waiter = nullptr;
};

// The queue as a source of a wait.
class QueueInput final : public WakeSource {
  public:
    QueueInput(MessageQueue& queue, DWORD mask, bool queued)
        : m_queue(queue), m_mask(mask), m_queued(queued) {}
    bool Poll() override { return m_queue.HasInput(m_mask, m_queued); }
    void Attach(Waiter* waiter) override { m_queue.Attach(waiter); }
    void Detach(Waiter* /*waiter*/) override { m_queue.Detach(); }

  private:
    MessageQueue& m_queue;
    const DWORD m_mask;
    const bool m_queued;
};

struct WindowClass {
    ATOM atom;
    WNDPROC procedure;
    unsigned windows;
};

struct Window {
    std::shared_ptr<MessageQueue> queue;
    WNDPROC procedure;
    std::wstring classKey;
};

// Process-wide state. Lock order: this registry, then a queue.
struct Registry {
    std::mutex mutex;
    std::unordered_map<DWORD, std::shared_ptr<MessageQueue>> queues;
    std::unordered_map<std::wstring, WindowClass> classes;
    std::unordered_map<std::uintptr_t, Window> windows;
    ATOM nextAtom = 0xC000;
    std::uintptr_t nextWindow = 0x10000;

    // Class names ignore case, as on Windows.
    static std::wstring Key(LPCWSTR name) {
        std::wstring key(name);
        for (wchar_t& c : key) {
            c = static_cast<wchar_t>(std::towlower(static_cast<wint_t>(c)));
        }
        return key;
    }

    // By name or by atom (MAKEINTATOM).
    std::unordered_map<std::wstring, WindowClass>::iterator FindClassLocked(LPCWSTR name) {
        const auto value = reinterpret_cast<std::uintptr_t>(name);
        if (value > 0xFFFF) {
            return classes.find(Key(name));
        }
        for (auto it = classes.begin(); it != classes.end(); ++it) {
            if (it->second.atom == value) {
                return it;
            }
        }
        return classes.end();
    }

    Window* FindWindowLocked(HWND window) {
        auto it = windows.find(reinterpret_cast<std::uintptr_t>(window));
        return it == windows.end() ? nullptr : &it->second;
    }

    void EraseWindowLocked(std::unordered_map<std::uintptr_t, Window>::iterator it) {
        auto cls = classes.find(it->second.classKey);
        if (cls != classes.end()) {
            --cls->second.windows;
        }
        windows.erase(it);
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
            auto next = std::next(window);
            if (window->second.queue == queue) {
                registry.EraseWindowLocked(window);
            }
            window = next;
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

HMODULE GetModuleHandleW(LPCWSTR moduleName) {
    if (moduleName != nullptr) {
        SetLastError(ERROR_MOD_NOT_FOUND);
        return nullptr;
    }
    // Any stable non-null value: it is compared and passed on, never dereferenced.
    return reinterpret_cast<HMODULE>(static_cast<std::uintptr_t>(0x400000));
}

ATOM RegisterClassW(const WNDCLASSW* windowClass) {
    if (windowClass == nullptr || windowClass->lpfnWndProc == nullptr ||
        windowClass->lpszClassName == nullptr ||
        reinterpret_cast<std::uintptr_t>(windowClass->lpszClassName) <= 0xFFFF) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    if (registry.nextAtom == 0xFFFF) {
        SetLastError(ERROR_NOT_ENOUGH_MEMORY);
        return 0;
    }
    const auto inserted = registry.classes.emplace(
        Registry::Key(windowClass->lpszClassName),
        vqplatform::detail::WindowClass{registry.nextAtom, windowClass->lpfnWndProc, 0});
    if (!inserted.second) {
        SetLastError(ERROR_CLASS_ALREADY_EXISTS);
        return 0;
    }
    return registry.nextAtom++;
}

BOOL UnregisterClassW(LPCWSTR className, HINSTANCE /*instance*/) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = className == nullptr ? registry.classes.end() : registry.FindClassLocked(className);
    if (it == registry.classes.end()) {
        SetLastError(ERROR_CLASS_DOES_NOT_EXIST);
        return FALSE;
    }
    if (it->second.windows != 0) {
        SetLastError(ERROR_CLASS_HAS_WINDOWS);
        return FALSE;
    }
    registry.classes.erase(it);
    return TRUE;
}

HWND CreateWindowExW(DWORD /*exStyle*/, LPCWSTR className, LPCWSTR /*windowName*/, DWORD /*style*/, int /*x*/,
                     int /*y*/, int /*width*/, int /*height*/, HWND parent, HMENU /*menu*/,
                     HINSTANCE /*instance*/, LPVOID /*parameter*/) {
    if (parent != HWND_MESSAGE) {
        SetLastError(ERROR_NOT_SUPPORTED);
        return nullptr;
    }
    if (className == nullptr) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    CurrentQueue();
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto cls = registry.FindClassLocked(className);
    if (cls == registry.classes.end()) {
        SetLastError(ERROR_CANNOT_FIND_WND_CLASS);
        return nullptr;
    }
    registry.nextWindow += 2;
    registry.windows.emplace(
        registry.nextWindow,
        vqplatform::detail::Window{vqplatform::detail::t_messages.queue, cls->second.procedure, cls->first});
    ++cls->second.windows;
    return reinterpret_cast<HWND>(registry.nextWindow);
}

BOOL DestroyWindow(HWND window) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.windows.find(reinterpret_cast<std::uintptr_t>(window));
    if (it == registry.windows.end()) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    if (it->second.queue != vqplatform::detail::t_messages.queue) {
        SetLastError(ERROR_WINDOW_OF_OTHER_THREAD);
        return FALSE;
    }
    const std::shared_ptr<vqplatform::detail::MessageQueue> queue = it->second.queue;
    registry.EraseWindowLocked(it);
    queue->Discard(window);
    return TRUE;
}

BOOL IsWindow(HWND window) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    return registry.FindWindowLocked(window) != nullptr ? TRUE : FALSE;
}

LRESULT DefWindowProcW(HWND /*window*/, UINT /*message*/, WPARAM /*wParam*/, LPARAM /*lParam*/) {
    return 0;
}

BOOL PostMessageW(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    const MSG msg = vqplatform::detail::MakeMessage(window, message, wParam, lParam);
    if (window == nullptr) {
        return CurrentQueue().Post(msg) ? TRUE : FALSE;
    }
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    const vqplatform::detail::Window* target = registry.FindWindowLocked(window);
    if (target == nullptr) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return target->queue->Post(msg) ? TRUE : FALSE;
}

BOOL PostThreadMessageW(DWORD threadId, UINT message, WPARAM wParam, LPARAM lParam) {
    Registry& registry = TheRegistry();
    std::lock_guard<std::mutex> lock(registry.mutex);
    auto it = registry.queues.find(threadId);
    if (it == registry.queues.end()) {
        SetLastError(ERROR_INVALID_THREAD_ID);
        return FALSE;
    }
    return it->second->Post(vqplatform::detail::MakeMessage(nullptr, message, wParam, lParam)) ? TRUE : FALSE;
}

BOOL PeekMessageW(LPMSG msg, HWND window, UINT filterMin, UINT filterMax, UINT removeMessage) {
    if (msg == nullptr) {
        SetLastError(ERROR_INVALID_PARAMETER);
        return FALSE;
    }
    vqplatform::detail::MessageQueue& queue = CurrentQueue();
    if (window != nullptr && window != vqplatform::detail::kThreadMessagesOnly && !IsWindow(window)) {
        SetLastError(ERROR_INVALID_WINDOW_HANDLE);
        return FALSE;
    }
    return queue.Peek(msg, window, filterMin, filterMax, (removeMessage & PM_REMOVE) != 0) ? TRUE : FALSE;
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
            SetLastError(ERROR_INVALID_WINDOW_HANDLE);
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
    if (count > vqplatform::detail::kMaximumWaitHandles || (count != 0 && handles == nullptr) ||
        (flags & ~(MWMO_ALERTABLE | MWMO_INPUTAVAILABLE)) != 0) {
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
    vqplatform::detail::QueueInput input(queue, wakeMask, (flags & MWMO_INPUTAVAILABLE) != 0);
    sources[count] = &input;
    const DWORD result = vqplatform::detail::WaitForSources(sources.data(), count + 1, milliseconds);
    if (result == count) {
        queue.MarkSeen();
    }
    return result == WAIT_TIMEOUT ? WAIT_TIMEOUT : WAIT_OBJECT_0 + result;
}
