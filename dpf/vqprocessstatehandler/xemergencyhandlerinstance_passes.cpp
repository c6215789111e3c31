// The worker's two passes over the registry and the agent error dispatch of XEmergencyHandlerInstance.
// Reports name the instance's chief source, as every report of the instance does.
#include "xemergencyhandlerinstance.h"

#include "errorreporting/VQErrorReporting.h"
#include "xmodule.h"

namespace {

// The agent error kind a failed agent call gives its registration's handlers.
DWORD AgentErrorKind(HRESULT hr) {
    return XEmergencyHandlerInstance::IsCommunicationFailure(hr) ? VQEmergency::kAgentErrorCommunication
                                                                 : VQEmergency::kAgentErrorOther;
}

// The Win32 codes that mean a lost server or connection under any facility but RPC (always lost)
// and ITF (never). Bounds included; the RPC ranges hold RPC_S_SERVER_UNAVAILABLE (1722) and
// RPC_S_CALL_FAILED (1726), RPC_S_CALL_FAILED_DNE (1727).
struct XCodeRange {
    ULONG first;
    ULONG last;
};
constexpr XCodeRange kCommunicationFailureCodes[] = {
    {ERROR_ACCESS_DENIED, ERROR_ACCESS_DENIED},
    {ERROR_OUTOFMEMORY, ERROR_OUTOFMEMORY},
    {ERROR_INVALID_PARAMETER, ERROR_INVALID_PARAMETER},
    {ERROR_INSUFFICIENT_BUFFER, ERROR_INSUFFICIENT_BUFFER},
    {ERROR_MAX_THRDS_REACHED, ERROR_MAX_THRDS_REACHED},
    {ERROR_IO_PENDING, ERROR_IO_PENDING},
    {ERROR_NOT_ENOUGH_SERVER_MEMORY, ERROR_NOT_ENOUGH_SERVER_MEMORY},
    {ERROR_INVALID_SECURITY_DESCR, ERROR_INVALID_SECURITY_DESCR},
    {RPC_S_INVALID_STRING_BINDING, RPC_S_CALL_IN_PROGRESS},
    {RPC_S_NO_INTERFACES, RPC_X_WRONG_PIPE_VERSION},
    {RPC_S_GROUP_MEMBER_NOT_FOUND, RPC_S_GROUP_MEMBER_NOT_FOUND},
    {RPC_S_INVALID_OBJECT, RPC_S_INVALID_OBJECT},
    {RPC_S_SEND_INCOMPLETE, RPC_X_PIPE_EMPTY},
};

// The failover wait when the error state is missing: 30 seconds.
constexpr DWORD kFailoverWaitWithoutErrorState = 30000;

}  // namespace

bool XEmergencyHandlerInstance::IsCommunicationFailure(HRESULT hr) {
    if (SUCCEEDED(hr) || hr == E_INVALIDARG) {
        return false;
    }
    switch (HRESULT_FACILITY(hr)) {
        case FACILITY_RPC:
            return true;
        case FACILITY_ITF:
            return false;
        default:
            break;
    }
    const ULONG code = HRESULT_CODE(hr);
    for (const XCodeRange& range : kCommunicationFailureCodes) {
        if (code >= range.first && code <= range.last) {
            return true;
        }
    }
    return false;
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
