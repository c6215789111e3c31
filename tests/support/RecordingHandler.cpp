#include "support/RecordingHandler.h"

#include <stdexcept>
#include <utility>

#include "VQError/VQError.h"
#include "vqplatform/kernel.h"

namespace vqtest {

void Journal::Append(const HandlerEvent& event) {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_events.push_back(event);
    }
    m_changed.notify_all();
}

std::vector<HandlerEvent> Journal::Events() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events;
}

std::size_t Journal::Count() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_events.size();
}

bool Journal::WaitForCount(std::size_t count, std::chrono::milliseconds timeout) const {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_changed.wait_for(lock, timeout, [&] { return m_events.size() >= count; });
}

RecordingHandler::RecordingHandler(Journal& journal, std::string name)
    : m_journal(journal), m_name(std::move(name)) {}

void RecordingHandler::ThrowFrom(HandlerSlot slot, ThrowKind kind) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_throws[static_cast<int>(slot)] = kind;
}

std::vector<HandlerEvent> RecordingHandler::Events() const {
    std::vector<HandlerEvent> mine;
    for (const HandlerEvent& event : m_journal.Events()) {
        if (event.handler == this) {
            mine.push_back(event);
        }
    }
    return mine;
}

void RecordingHandler::OnServerEmergencyState(DWORD serverEmergencyState, LONG emergencyMode) {
    Handle(HandlerSlot::ServerEmergencyState, serverEmergencyState, static_cast<DWORD>(emergencyMode));
}

void RecordingHandler::OnAgentError(DWORD agentErrorKind) {
    Handle(HandlerSlot::AgentError, agentErrorKind, 0);
}

void RecordingHandler::OnClientEmergencyFailover(LONG failover, DWORD registrationCookie) {
    Handle(HandlerSlot::ClientEmergencyFailover, static_cast<DWORD>(failover), registrationCookie);
}

void RecordingHandler::Handle(HandlerSlot slot, DWORD first, DWORD second) {
    m_journal.Append(HandlerEvent{this, slot, first, second, GetCurrentThreadId()});
    ThrowKind kind = ThrowKind::None;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        kind = m_throws[static_cast<int>(slot)];
    }
    switch (kind) {
        case ThrowKind::None:
            return;
        case ThrowKind::StdException:
            throw std::runtime_error("thrown by a recording handler");
        case ThrowKind::WrappedVQException:
            throw XVQExceptionFactory::DoCreateException(
                XVQEXCEP::TYPE_MODULE,
                VQErrorLocation("RecordingHandler.cpp", __LINE__, XVQComBSTR(L"tests"),
                                XVQComBSTR(L"RecordingHandler::Handle")),
                E_FAIL, XVQEXCEP::SEVERITY_WARNING, -1, L"thrown by a recording handler", L"", 1);
        case ThrowKind::Other:
            throw 42;
    }
}

}  // namespace vqtest
