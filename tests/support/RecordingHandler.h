// RecordingHandler: an XClientEmergencyHandler that writes every callback into a Journal shared by
// the handlers of a test, so that the order across handlers can be asserted.
//
// - Each callback is appended (handler, slot, arguments, calling thread) before anything else
//   happens in it; then an optional hook runs on the calling thread; then, when the test has armed
//   the slot, it throws.
// - Journals are thread-safe; WaitForCount blocks until the journal holds a number of events or a
//   time-out passes, for callbacks that arrive on the worker thread.
// - The handler is built twice, once against the module's static library (unit tests) and once
//   against the DLL (end-to-end tests), since it derives from the exported class.
#pragma once

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <mutex>
#include <utility>
#include <vector>

#include "VQProcessStateHandler/XClientEmergencyHandler.h"

namespace vqtest {

enum class HandlerSlot { ServerEmergencyState, AgentError, ClientEmergencyFailover };

// What a slot throws when armed.
enum class ThrowKind { None, StdException, Other };

class RecordingHandler;

struct HandlerEvent {
    const RecordingHandler* handler = nullptr;
    HandlerSlot slot = HandlerSlot::ServerEmergencyState;
    // ServerEmergencyState: state, emergency mode. AgentError: kind, 0.
    // ClientEmergencyFailover: failover value, cookie.
    DWORD first = 0;
    DWORD second = 0;
    DWORD threadId = 0;
};

class Journal {
  public:
    void Append(const HandlerEvent& event) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(event);
        m_changed.notify_all();
    }
    std::vector<HandlerEvent> Events() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_events;
    }
    std::size_t Count() const { return Events().size(); }
    // True when the journal holds at least `count` events within `timeout`.
    bool WaitForCount(std::size_t count, std::chrono::milliseconds timeout) const {
        std::unique_lock<std::mutex> lock(m_mutex);
        return m_changed.wait_for(lock, timeout, [&] { return m_events.size() >= count; });
    }

  private:
    mutable std::mutex m_mutex;
    mutable std::condition_variable m_changed;
    std::vector<HandlerEvent> m_events;
};

class RecordingHandler : public XClientEmergencyHandler {
  public:
    using Hook = std::function<void(HandlerSlot)>;

    explicit RecordingHandler(Journal& journal) : m_journal(journal) {}

    // From now on every callback runs `hook` with its slot (an empty hook removes it).
    void SetCallHook(Hook hook) {
        std::lock_guard<std::mutex> lock(m_hookMutex);
        m_hook = std::move(hook);
    }

    // From now on `slot` throws `kind` after recording (ThrowKind::None disarms it).
    void ThrowFrom(HandlerSlot slot, ThrowKind kind) { m_throws[static_cast<int>(slot)] = kind; }
    // This handler's events, in order.
    std::vector<HandlerEvent> Events() const {
        std::vector<HandlerEvent> mine = m_journal.Events();
        mine.erase(
            std::remove_if(mine.begin(), mine.end(), [this](const auto& e) { return e.handler != this; }),
            mine.end());
        return mine;
    }

    void OnServerEmergencyState(DWORD state, LONG mode) override {
        Handle(HandlerSlot::ServerEmergencyState, state, static_cast<DWORD>(mode));
    }
    void OnAgentError(DWORD kind) override { Handle(HandlerSlot::AgentError, kind, 0); }
    void OnClientEmergencyFailover(LONG failover, DWORD cookie) override {
        Handle(HandlerSlot::ClientEmergencyFailover, static_cast<DWORD>(failover), cookie);
    }

  private:
    void Handle(HandlerSlot slot, DWORD first, DWORD second);

    Journal& m_journal;
    std::atomic<ThrowKind> m_throws[3]{};  // value-initialised: ThrowKind::None
    std::mutex m_hookMutex;
    Hook m_hook;
};

}  // namespace vqtest
