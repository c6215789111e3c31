#include "VQError/XVQErrorStateHandler.h"

#include <atomic>
#include <stdexcept>
#include <utility>

namespace {

std::atomic<bool> g_absent{false};

}  // namespace

using FailoverHandler = XVQErrorStateHandler::XClientEmergencyFailoverHandler;

namespace {

// The record is for diagnostics: bounded, so a long-running process does not grow with it.
void Record(std::deque<FailoverHandler::Call>& calls, FailoverHandler::Call call) {
    if (calls.size() == FailoverHandler::kMaxRecordedCalls) {
        calls.pop_front();
    }
    calls.push_back(std::move(call));
}

}  // namespace

void FailoverHandler::Register(DWORD cookie, LONG clientId, LONG serverId, const XVQComBSTR& serverName) {
    std::lock_guard<std::mutex> guard(m_lock);
    FailIfAsked();
    Record(m_calls, {CallKind::Register, cookie, clientId, serverId, serverName});
    Registration& registration = m_registrations[cookie];
    registration.serverId = serverId;
    registration.serverName = serverName;
    registration.clientIds.insert(clientId);
}

void FailoverHandler::Deregister(DWORD cookie, LONG clientId) {
    std::lock_guard<std::mutex> guard(m_lock);
    FailIfAsked();
    Record(m_calls, {CallKind::Deregister, cookie, clientId, 0, XVQComBSTR()});
    const auto found = m_registrations.find(cookie);
    if (found != m_registrations.end()) {
        found->second.clientIds.erase(clientId);
    }
}

void FailoverHandler::RemoveServerEmergencyHandler(DWORD cookie) {
    std::lock_guard<std::mutex> guard(m_lock);
    FailIfAsked();
    Record(m_calls, {CallKind::RemoveServerEmergencyHandler, cookie, 0, 0, XVQComBSTR()});
    m_registrations.erase(cookie);
}

void FailoverHandler::FailIfAsked() {
    if (m_failures > 0) {
        --m_failures;
        throw std::runtime_error("failover registry call failed on request");
    }
}

void FailoverHandler::FailNext(unsigned calls) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_failures = calls;
}

unsigned FailoverHandler::GetUserInteractionTimeout() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_timeout;
}

void FailoverHandler::SetUserInteractionTimeout(unsigned seconds) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_timeout = seconds;
}

std::map<DWORD, FailoverHandler::Registration> FailoverHandler::Registrations() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return m_registrations;
}

std::vector<FailoverHandler::Call> FailoverHandler::Calls() const {
    std::lock_guard<std::mutex> guard(m_lock);
    return {m_calls.begin(), m_calls.end()};
}

void FailoverHandler::Reset() {
    std::lock_guard<std::mutex> guard(m_lock);
    m_registrations.clear();
    m_calls.clear();
    m_timeout = kDefaultUserInteractionTimeout;
    m_failures = 0;
}

XVQErrorStateHandler* XVQErrorStateHandler::GetInstance() {
    // Deliberately leaked: the module's singletons and its worker thread outlive static destruction
    // and may still register, deregister or read the time-out while the process exits.
    static XVQErrorStateHandler* const instance = new XVQErrorStateHandler;
    return g_absent.load(std::memory_order_acquire) ? nullptr : instance;
}

void XVQErrorStateHandler::SetInstanceAbsent(bool absent) {
    g_absent.store(absent, std::memory_order_release);
}
