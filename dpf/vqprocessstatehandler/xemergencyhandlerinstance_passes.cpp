// The worker's two passes over the registry and the agent error dispatch of XEmergencyHandlerInstance.
// Reports name the instance's chief source, as every report of the instance does.
#include "xemergencyhandlerinstance.h"

#include "errorreporting/VQErrorReporting.h"

namespace {

constexpr const char* kSourceFile = ".\\xemergencyhandlerinstance";

// The agent error kind a failed agent call gives its registration's handlers.
DWORD AgentErrorKind(HRESULT hr) {
    return XEmergencyHandlerInstance::IsCommunicationFailure(hr) ? VQEmergency::kAgentErrorCommunication
                                                                 : VQEmergency::kAgentErrorOther;
}

// The failover wait when the error state is missing: 30 seconds.
constexpr DWORD kFailoverWaitWithoutErrorState = 30000;

}  // namespace

bool XEmergencyHandlerInstance::IsCommunicationFailure(HRESULT hr) {
    if (hr >= 0) {
        return false;
    }
    if (hr == static_cast<HRESULT>(0x80070057)) {
        return false;
    }
    // The mask keeps bits 16 to 28 only, so the shift's treatment of the sign bit does not matter.
    const ULONG facility = (static_cast<ULONG>(hr) >> 16) & 0x1FFF;
    if (facility == 1) {
        return true;
    }
    if (facility == 4) {
        return false;
    }
    const ULONG code = static_cast<ULONG>(hr) & 0xFFFF;
    switch (code) {
        case 5:
        case 14:
        case 87:
        case 122:
        case 164:
        case 997:
        case 1130:
        case 1338:
        case 1898:
        case 1900:
            return true;
        default:
            break;
    }
    // The RPC error ranges; 1722, 1726 and 1727 lie in the first.
    return (code >= 1700 && code <= 1791) || (code >= 1817 && code <= 1832) || (code >= 1913 && code <= 1918);
}

void XEmergencyHandlerInstance::HandleServerEmergencyState() {
    VQ_FUNCTION_NAME(L"XEmergencyHandlerInstance::HandleServerEmergencyState");
    const auto collect = [this](const XWrappedVQException& error) { m_excepLogger.GetProxy()->Add(error); };

    auto proxy = m_clientHandlers.GetProxy();
    ClientHandlerMap& registrations = *proxy;
    for (auto it = registrations.begin(); it != registrations.end();) {
        const DWORD dwCookie = it->first;
        XClientHandler& record = it->second;
        ATL::CComPtr<IVQServerEmergencyAgent> ptrSrvAgent = GetServerEmergencyAgentFromGIT(dwCookie);
        if (ptrSrvAgent == nullptr) {
            ++it;
            continue;
        }

        DWORD dwState = 0;
        const HRESULT hr = ptrSrvAgent->GetServerEmergencyState(&dwState);
        if (FAILED(hr)) {
            DispatchAgentError(record, AgentErrorKind(hr));
            // Only the registration goes: its table entry and its client ids' failover
            // registrations stay.
            for (const auto& entry : record.m_handlers) {
                m_handlerCookies.erase({entry.first, dwCookie});
            }
            it = registrations.erase(it);
            collect(XVQError::CreateSystemExcepAtError(VQ_LOCATION(kSourceFile, 698), hr,
                                                       L"ptrSrvAgent->GetServerEmergencyState failed", L""));
            continue;
        }
        ++it;
        if (hr != S_OK || dwState == record.m_dwLastServerState) {
            continue;
        }

        record.m_dwLastServerState = dwState;
        bool bEmergency = true;
        // Not cleared: the server fills it, and only an S_OK answer is read.
        EmergencyConfiguration configuration;
        const HRESULT hrConfiguration = ptrSrvAgent->GetEmergencyConfiguration(&configuration);
        if (hrConfiguration != S_OK) {
            // A change without a configuration counts as an emergency. A success code other than
            // S_OK gives an empty exception, which the logger ignores.
            collect(CreateExcepIfFailed(XVQEXCEP::TYPE_MODULE, hrConfiguration, XVQEXCEP::SEVERITY_WARNING,
                                        VQ_LOCATION(kSourceFile, 725), L"no server EmergencyConfiguration",
                                        L"", 1));
        } else {
            bEmergency = configuration.activation == 1 && (dwState & configuration.emergencyStateMask) != 0;
        }
        record.m_bEmergency = bEmergency;
        const LONG lEmergencyMode = bEmergency ? VQEmergency::kModeEmergency : VQEmergency::kModeNormal;

        for (const auto& entry : record.m_handlers) {
            XClientEmergencyHandler* const pHandler = entry.first;
            if (pHandler == nullptr) {
                continue;
            }
            vqerr::CollectingLadder(
                kSourceFile, 771, 775, s_szFunctionName,
                [&] { pHandler->OnServerEmergencyState(dwState, lEmergencyMode); }, collect);
        }
        // Never restarted: a later emergency of the registration keeps the first one's start.
        if (bEmergency && record.m_dwEmergencyStartTick == 0) {
            record.m_dwEmergencyStartTick = GetTickCount();
        }
    }
}

void XEmergencyHandlerInstance::HandleClientEmergencyFailoverState() {
    VQ_FUNCTION_NAME(L"XEmergencyHandlerInstance::HandleClientEmergencyFailoverState");
    const auto collect = [this](const XWrappedVQException& error) { m_excepLogger.GetProxy()->Add(error); };
    // Fetched at the first registration that needs it; 0 also when the component says 0, which is
    // then fetched again for the next one.
    DWORD dwFailoverWait = 0;

    auto proxy = m_clientHandlers.GetProxy();
    for (auto& entry : *proxy) {
        const DWORD dwCookie = entry.first;
        XClientHandler& record = entry.second;
        // Fetched before the record is looked at: a lookup that fails ends the pass whatever the
        // record's state.
        ATL::CComPtr<IVQServerEmergencyAgent> ptrSrvAgent = GetServerEmergencyAgentFromGIT(dwCookie);
        if (ptrSrvAgent == nullptr || !record.m_bEmergency || record.m_lFailoverMark != 0 ||
            record.m_dwEmergencyStartTick == 0) {
            continue;
        }

        if (dwFailoverWait == 0) {
            XVQErrorStateHandler* const pErrorState = XVQErrorStateHandler::GetInstance();
            if (pErrorState == nullptr) {
                collect(CreateExcepIfFailed(XVQEXCEP::TYPE_MODULE, E_POINTER, XVQEXCEP::SEVERITY_SEVERE,
                                            VQ_LOCATION(kSourceFile, 568),
                                            L"XVQErrorStateHandler::GetInstance() is NULL", L"", 1));
                dwFailoverWait = kFailoverWaitWithoutErrorState;
            } else {
                dwFailoverWait = static_cast<DWORD>(
                    pErrorState->GetClientEmergencyFailoverHandler().GetUserInteractionTimeout() * 1000u);
            }
        }

        // Both sums wrap modulo 2^32 and are compared as they are: a start tick within the wait of
        // the wrap gives a small deadline (run out), and a tick count that has wrapped since the
        // start lets the step run again.
        const DWORD dwDeadline = record.m_dwEmergencyStartTick + dwFailoverWait;
        if (dwDeadline < GetTickCount()) {
            continue;
        }

        record.m_lFailoverMark = 1;
        const DWORD dwProcessId = GetClientProcessId();
        const XVQComBSTR bstrComputerName = GetClientComputerName();
        if (dwProcessId == 0xFFFFFFFF || bstrComputerName.IsEmpty()) {
            continue;
        }

        vqerr::CollectingLadder(
            kSourceFile, 659, 663, s_szFunctionName,
            [&] {
                LONG lResult = 0;
                const HRESULT hr = ptrSrvAgent->RequestClientEmergencyFailover(
                    dwProcessId, bstrComputerName.GetBSTR(), &lResult);
                if (FAILED(hr)) {
                    DispatchAgentError(record, AgentErrorKind(hr));
                    ThrowHRExcepIfFailed(VQ_LOCATION(kSourceFile, 612), hr, L"", L"");
                }
                if (lResult >= 1) {
                    return;
                }
                for (const auto& handlerEntry : record.m_handlers) {
                    XClientEmergencyHandler* const pHandler = handlerEntry.first;
                    if (pHandler == nullptr) {
                        continue;
                    }
                    vqerr::CollectingLadder(
                        kSourceFile, 644, 648, s_szFunctionName,
                        [&] {
                            pHandler->OnClientEmergencyFailover(VQEmergency::kFailoverRequested, dwCookie);
                        },
                        collect);
                }
            },
            collect);
    }
}

void XEmergencyHandlerInstance::DispatchAgentError(const XClientHandler& record, DWORD agentErrorKind) {
    VQ_FUNCTION_NAME(L"XEmergencyHandlerInstance::DispatchAgentError");
    const auto collect = [this](const XWrappedVQException& error) { m_excepLogger.GetProxy()->Add(error); };
    for (const auto& entry : record.m_handlers) {
        XClientEmergencyHandler* const pHandler = entry.first;
        if (pHandler == nullptr) {
            continue;
        }
        vqerr::CollectingLadder(
            kSourceFile, 835, 839, s_szFunctionName, [&] { pHandler->OnAgentError(agentErrorKind); },
            collect);
    }
}

void XEmergencyHandlerInstance::DispatchAgentError(DWORD agentErrorKind) {
    VQ_FUNCTION_NAME(L"XEmergencyHandlerInstance::DispatchAgentError");
    auto proxy = m_clientHandlers.GetReadProxy();
    for (const auto& entry : *proxy) {
        DispatchAgentError(entry.second, agentErrorKind);
    }
}
