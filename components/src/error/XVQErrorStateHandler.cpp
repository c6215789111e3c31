#include "VQError/XVQErrorStateHandler.h"

using FailoverHandler = XVQErrorStateHandler::XClientEmergencyFailoverHandler;

void FailoverHandler::Register(DWORD cookie, LONG clientId, LONG serverId, const XVQComBSTR& serverName) {
    std::lock_guard<std::mutex> guard(m_lock);
    Registration& registration = m_registrations[cookie];
    registration.serverId = serverId;
    registration.serverName = serverName;
    registration.clientIds.insert(clientId);
}

void FailoverHandler::Deregister(DWORD cookie, LONG clientId) {
    std::lock_guard<std::mutex> guard(m_lock);
    const auto found = m_registrations.find(cookie);
    if (found != m_registrations.end()) {
        found->second.clientIds.erase(clientId);
    }
}

void FailoverHandler::RemoveServerEmergencyHandler(DWORD cookie) {
    std::lock_guard<std::mutex> guard(m_lock);
    m_registrations.erase(cookie);
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

XVQErrorStateHandler* XVQErrorStateHandler::GetInstance() {
    // Deliberately leaked: the module's singletons and its worker thread outlive static destruction
    // and may still register, deregister or read the time-out while the process exits.
    static XVQErrorStateHandler* const instance = new XVQErrorStateHandler;
    return instance;
}
