#include "agent_server/XDemoServerAgent.h"

#include <algorithm>
#include <cstdio>
#include <new>

#include "protocol/text.h"
#include "vqplatform/kernel.h"

#if defined(_WIN32)
#include <oleauto.h>
#endif

namespace vqdemo {

namespace {

std::wstring FromBstr(BSTR text) {
    return text != nullptr ? std::wstring(text, SysStringLen(text)) : L"";
}

HRESULT ToBstr(const std::wstring& text, BSTR* out) {
    if (out == nullptr) {
        return E_POINTER;
    }
    *out = SysAllocStringLen(text.data(), static_cast<UINT>(text.size()));
    return *out != nullptr ? S_OK : E_OUTOFMEMORY;
}

std::string Hex(DWORD value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%X", static_cast<unsigned>(value));
    return text;
}

// Runs a method body that allocates: no exception may cross the interface.
template <class Body>
HRESULT Shielded(Body&& body) noexcept {
    try {
        return body();
    } catch (const std::bad_alloc&) {
        return E_OUTOFMEMORY;
    } catch (...) {
        return E_FAIL;
    }
}

// A client's computer name as the agent keeps it.
std::wstring ComputerName(BSTR computerName) {
    return FromBstr(computerName).substr(0, XDemoServerAgent::kMaxComputerNameLength);
}

std::string Client(DWORD processId, const std::wstring& computerName) {
    return "process " + std::to_string(processId) + " on computer '" + Utf8FromWide(computerName) + "'";
}

}  // namespace

ATL::CComPtr<XDemoServerAgent> XDemoServerAgent::Create(Settings settings, Log log) {
    return ATL::CComPtr<XDemoServerAgent>(new XDemoServerAgent(std::move(settings), std::move(log)));
}

XDemoServerAgent::XDemoServerAgent(Settings settings, Log log)
    : m_settings(std::move(settings)),
      m_log(std::move(log)),
      m_state(m_settings.initialState),
      m_stateSince(SteadyClock::now()),
      m_failoverServerName(m_settings.failoverServerName) {
    m_configuration.activation = m_settings.activation;
    m_configuration.emergencyStateMask = m_settings.emergencyStateMask;
}

bool XDemoServerAgent::IsEmergency(DWORD state) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return IsEmergencyLocked(state);
}

std::string XDemoServerAgent::Describe(DWORD state) const {
    return IsEmergency(state) ? "emergency" : "normal";
}

std::vector<std::pair<DWORD, std::wstring>> XDemoServerAgent::EmergencyClients() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_emergencyClients;
}

DWORD XDemoServerAgent::ReportedStateLocked() const {
    return m_drill ? m_drillState : m_state;
}

bool XDemoServerAgent::IsEmergencyLocked(DWORD state) const {
    return m_configuration.activation == 1 && (state & m_configuration.emergencyStateMask) != 0;
}

void XDemoServerAgent::OnReportedStateChangeLocked(DWORD before) {
    const DWORD now = ReportedStateLocked();
    if (now == before) {
        return;
    }
    m_stateSince = SteadyClock::now();
    if (IsEmergencyLocked(now) && !IsEmergencyLocked(before)) {
        m_emergencyClients.clear();
    }
}

void XDemoServerAgent::Write(const std::string& line) const {
    // A failing log must not fail the call that is logged.
    try {
        if (m_log) {
            m_log(line);
        }
    } catch (...) {
    }
}

HRESULT XDemoServerAgent::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    if (riid == IID_IUnknown || riid == IID_IVQServerEmergencyAgent) {
        *ppvObject = static_cast<IVQServerEmergencyAgent*>(this);
    } else if (riid == IID_IVQServerIdentity) {
        *ppvObject = static_cast<IVQServerIdentity*>(this);
    } else {
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG XDemoServerAgent::AddRef() {
    return ++m_refs;
}

ULONG XDemoServerAgent::Release() {
    const ULONG left = --m_refs;
    if (left == 0) {
        delete this;
    }
    return left;
}

HRESULT XDemoServerAgent::GetServerEmergencyState(DWORD* pState) {
    if (pState == nullptr) {
        return E_POINTER;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    *pState = ReportedStateLocked();
    return S_OK;
}

HRESULT XDemoServerAgent::SetServerEmergencyState(DWORD state) {
    return Shielded([&]() -> HRESULT {
        std::string line;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const DWORD before = ReportedStateLocked();
            m_state = state;
            OnReportedStateChangeLocked(before);
            line = "server state -> " + std::to_string(state) + " (" +
                   (IsEmergencyLocked(state) ? "emergency" : "normal") + ")" +
                   (m_drill ? ", behind a drill" : "");
        }
        Write(line);
        return S_OK;
    });
}

HRESULT XDemoServerAgent::GetServerEmergencyStateText(DWORD state, BSTR* pText) {
    return Shielded([&]() -> HRESULT {
        const std::string text = Describe(state);
        return ToBstr(std::wstring(text.begin(), text.end()), pText);
    });
}

HRESULT XDemoServerAgent::GetServerEmergencyStateAge(DWORD* pSeconds) {
    if (pSeconds == nullptr) {
        return E_POINTER;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    *pSeconds = static_cast<DWORD>(
        std::chrono::duration_cast<std::chrono::seconds>(SteadyClock::now() - m_stateSince).count());
    return S_OK;
}

HRESULT XDemoServerAgent::AcknowledgeServerEmergency(DWORD processId, BSTR computerName) {
    return Shielded([&]() -> HRESULT {
        Write("emergency acknowledged by " + Client(processId, ComputerName(computerName)));
        return S_OK;
    });
}

HRESULT XDemoServerAgent::SetEmergencyConfiguration(EmergencyConfiguration* pConfiguration) {
    return Shielded([&]() -> HRESULT {
        if (pConfiguration == nullptr) {
            return E_POINTER;
        }
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_configuration = *pConfiguration;
        }
        Write("emergency configuration -> activation " + std::to_string(pConfiguration->activation) +
              ", emergency state mask " + Hex(pConfiguration->emergencyStateMask));
        return S_OK;
    });
}

HRESULT XDemoServerAgent::GetEmergencyConfiguration(EmergencyConfiguration* pConfiguration) {
    if (pConfiguration == nullptr) {
        return E_POINTER;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    *pConfiguration = m_configuration;
    return S_OK;
}

HRESULT XDemoServerAgent::GetEmergencyClientCount(LONG* pCount) {
    if (pCount == nullptr) {
        return E_POINTER;
    }
    std::lock_guard<std::mutex> lock(m_mutex);
    *pCount = static_cast<LONG>(m_emergencyClients.size());
    return S_OK;
}

HRESULT XDemoServerAgent::GetEmergencyClient(LONG index, DWORD* pProcessId, BSTR* pComputerName) {
    return Shielded([&]() -> HRESULT {
        if (pProcessId == nullptr || pComputerName == nullptr) {
            return E_POINTER;
        }
        std::lock_guard<std::mutex> lock(m_mutex);
        if (index < 0 || static_cast<std::size_t>(index) >= m_emergencyClients.size()) {
            return E_INVALIDARG;
        }
        *pProcessId = m_emergencyClients[index].first;
        return ToBstr(m_emergencyClients[index].second, pComputerName);
    });
}

HRESULT XDemoServerAgent::GetFailoverServerName(BSTR* pServerName) {
    return Shielded([&]() -> HRESULT {
        std::lock_guard<std::mutex> lock(m_mutex);
        return ToBstr(m_failoverServerName, pServerName);
    });
}

HRESULT XDemoServerAgent::SetFailoverServerName(BSTR serverName) {
    return Shielded([&]() -> HRESULT {
        const std::wstring name = FromBstr(serverName);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_failoverServerName = name;
        }
        Write("failover server -> '" + Utf8FromWide(name) + "'");
        return S_OK;
    });
}

HRESULT XDemoServerAgent::StartEmergencyDrill(DWORD state) {
    return Shielded([&]() -> HRESULT {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const DWORD before = ReportedStateLocked();
            m_drill = true;
            m_drillState = state;
            OnReportedStateChangeLocked(before);
        }
        Write("emergency drill started: reporting state " + std::to_string(state));
        return S_OK;
    });
}

HRESULT XDemoServerAgent::StopEmergencyDrill() {
    return Shielded([&]() -> HRESULT {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            const DWORD before = ReportedStateLocked();
            m_drill = false;
            OnReportedStateChangeLocked(before);
        }
        Write("emergency drill stopped");
        return S_OK;
    });
}

HRESULT XDemoServerAgent::CancelClientEmergencyFailover(DWORD processId, BSTR computerName) {
    return Shielded([&]() -> HRESULT {
        const std::wstring name = ComputerName(computerName);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_emergencyClients.erase(std::remove(m_emergencyClients.begin(), m_emergencyClients.end(),
                                                 std::make_pair(processId, name)),
                                     m_emergencyClients.end());
        }
        Write("client emergency failover withdrawn by " + Client(processId, name));
        return S_OK;
    });
}

HRESULT XDemoServerAgent::RequestClientEmergencyFailover(DWORD processId, BSTR computerName, LONG* pResult) {
    return Shielded([&]() -> HRESULT {
        if (pResult == nullptr) {
            return E_POINTER;
        }
        const std::wstring name = ComputerName(computerName);
        bool accepted = false;
        std::wstring failoverServer;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            accepted = IsEmergencyLocked(ReportedStateLocked());
            if (accepted) {
                const auto client = std::make_pair(processId, name);
                if (std::find(m_emergencyClients.begin(), m_emergencyClients.end(), client) ==
                    m_emergencyClients.end()) {
                    if (m_emergencyClients.size() == kMaxEmergencyClients) {
                        m_emergencyClients.erase(m_emergencyClients.begin());
                    }
                    m_emergencyClients.push_back(client);
                }
            }
            failoverServer = m_failoverServerName;
        }
        *pResult = accepted ? 0 : 1;
        Write("client emergency failover requested by " + Client(processId, name) +
              (accepted ? ": accepted, failing over to '" + Utf8FromWide(failoverServer) + "'"
                        : ": declined, the server is not in an emergency"));
        return S_OK;
    });
}

HRESULT XDemoServerAgent::GetServerId(DWORD* pServerId) {
    if (pServerId == nullptr) {
        return E_POINTER;
    }
    *pServerId = m_settings.serverId;
    return S_OK;
}

HRESULT XDemoServerAgent::GetServerName(BSTR* pServerName) {
    return ToBstr(m_settings.serverName, pServerName);
}

HRESULT XDemoServerAgent::GetServerVersion(BSTR* pVersion) {
    return ToBstr(m_settings.serverVersion, pVersion);
}

HRESULT XDemoServerAgent::GetServerProcessId(DWORD* pProcessId) {
    if (pProcessId == nullptr) {
        return E_POINTER;
    }
    *pProcessId = GetCurrentProcessId();
    return S_OK;
}

HRESULT XDemoServerAgent::GetServerComputerName(BSTR* pComputerName) {
    return Shielded([&]() -> HRESULT {
        WCHAR name[256];
        DWORD size = sizeof(name) / sizeof(name[0]);
        if (!GetComputerNameW(name, &size)) {
            return HRESULT_FROM_WIN32(GetLastError());
        }
        return ToBstr(std::wstring(name, size), pComputerName);
    });
}

HRESULT XDemoServerAgent::GetServerIdentity(ServerIdentity* pIdentity) {
    if (pIdentity == nullptr) {
        return E_POINTER;
    }
    const HRESULT hr = ToBstr(m_settings.serverName, &pIdentity->serverName);
    if (FAILED(hr)) {
        return hr;
    }
    pIdentity->serverId = m_settings.serverId;
    return S_OK;
}

}  // namespace vqdemo
