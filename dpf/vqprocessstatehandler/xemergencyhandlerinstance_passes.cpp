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

// Whether this thread runs inside an XPassScope; only the thread itself reads and writes it.
thread_local bool t_bInPass = false;

}  // namespace

XEmergencyHandlerInstance::XPassScope::XPassScope() noexcept : m_bOuter(t_bInPass) {
    t_bInPass = true;
}

XEmergencyHandlerInstance::XPassScope::~XPassScope() {
    t_bInPass = m_bOuter;
}

void XEmergencyHandlerInstance::RefuseInsidePass(const XVQComBSTR& functionName) {
    if (!t_bInPass) {
        return;
    }
    // Line 950 is this report's own: no other report of the chief source uses it.
    const XWrappedVQException error =
        CreateExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, E_ILLEGAL_METHOD_CALL, XVQEXCEP::VQ_SEVERITY_ERROR,
                            VQErrorLocation(kSourceFile, 950, VQModuleName(), functionName),
                            L"a handler callback must not call the library", L"", 1);
    // Logged as well as thrown: a callback that swallows the error still leaves a trace.
    XVQError::WriteErrorToLogBook(error, false, 0);
    throw error;
}

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

namespace {

using XClientHandler = XEmergencyHandlerInstance::XClientHandler;

// Calls `call(handler)` for every non-null handler of `record`, in handler order, each inside the
// collecting ladder with the given report lines: a throwing handler is collected and the next one
// is called.
template <class Call, class Collect>
void CallEachHandler(const XClientHandler& record, unsigned stdLine, unsigned otherLine,
                     const XVQComBSTR& functionName, const Call& call, const Collect& collect) {
    for (const auto& entry : record.m_handlers) {
        XClientEmergencyHandler* const pHandler = entry.first;
        if (pHandler != nullptr) {
            vqerr::CollectingLadder(
                kSourceFile, stdLine, otherLine, functionName, [&] { call(*pHandler); }, collect);
        }
    }
}

// What the steps of one pass share: the instance, the pass's function name for its reports, and the
// instance's exception logger, which collects what the steps catch (registry lock first, logger
// lock second).
class XPass {
  public:
    XPass(XEmergencyHandlerInstance& instance, const XVQComBSTR& functionName) noexcept
        : m_instance(instance), m_functionName(functionName) {}

    void Collect(const XWrappedVQException& error) const {
        m_instance.ExceptionLogger().GetProxy()->Add(error);
    }

    // Polls the agent of a registration. False when the poll failed: the handlers have heard the
    // agent error, and the registration is to be dropped. `dwState` is set on S_OK only.
    bool PollRegistration(XClientHandler& record, IVQServerEmergencyAgent* pAgent, HRESULT& hr,
                          DWORD& dwState) const {
        dwState = 0;
        hr = pAgent->GetServerEmergencyState(&dwState);
        if (FAILED(hr)) {
            m_instance.DispatchAgentError(record, AgentErrorKind(hr));
            return false;
        }
        return true;
    }

    // Per the server's emergency configuration: activation 1 and a state bit inside the emergency
    // state mask. A change without a configuration counts as an emergency.
    bool JudgeEmergency(IVQServerEmergencyAgent* pAgent, DWORD dwState) const {
        // Not cleared: the server fills it, and only an S_OK answer is read.
        EmergencyConfiguration configuration;
        const HRESULT hr = pAgent->GetEmergencyConfiguration(&configuration);
        if (hr != S_OK) {
            // A success code other than S_OK gives an empty exception, which the logger ignores.
            Collect(CreateExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, hr, XVQEXCEP::VQ_SEVERITY_WARNING,
                                        VQErrorLocation(kSourceFile, 725, VQModuleName(), m_functionName),
                                        L"no server EmergencyConfiguration", L"", 1));
            return true;
        }
        return configuration.activation == 1 && (dwState & configuration.emergencyStateMask) != 0;
    }

    // OnServerEmergencyState to every non-null handler, in handler order; a throwing one is collected.
    void NotifyStateChange(const XClientHandler& record, DWORD dwState, LONG lEmergencyMode) const {
        CallEachHandler(
            record, 771, 775, m_functionName,
            [&](XClientEmergencyHandler& handler) {
                handler.OnServerEmergencyState(dwState, lEmergencyMode);
            },
            XCollector{this});
    }

    // Whether the failover step is due: an emergency whose failover wait has not run out and whose
    // step has not run. The wait is fetched at the first record that needs it (0: not yet; a wait
    // of 0 from the component is fetched again).
    bool IsFailoverDue(const XClientHandler& record, DWORD& dwFailoverWait) const {
        if (!record.m_bEmergency || record.m_lFailoverMark != 0 || record.m_dwEmergencyStartTick == 0) {
            return false;
        }
        if (dwFailoverWait == 0) {
            dwFailoverWait = FailoverWait();
        }
        // Both sums wrap modulo 2^32 and are compared as they are: a start tick within the wait of
        // the wrap gives a small deadline (run out), and a tick count that has wrapped since the
        // start lets the step run again.
        const DWORD dwDeadline = record.m_dwEmergencyStartTick + dwFailoverWait;
        return dwDeadline >= GetTickCount();
    }

    // Asks the server to fail this client process over; when it accepts (a result below 1), tells
    // every non-null handler. A failed request gives the handlers an agent error and is collected.
    void RequestFailover(DWORD dwCookie, const XClientHandler& record, IVQServerEmergencyAgent* pAgent,
                         DWORD dwProcessId, const XVQComBSTR& bstrComputerName) const {
        vqerr::CollectingLadder(
            kSourceFile, 659, 663, m_functionName,
            [&] {
                LONG lResult = 0;
                const HRESULT hr =
                    pAgent->RequestClientEmergencyFailover(dwProcessId, bstrComputerName.GetBSTR(), &lResult);
                if (FAILED(hr)) {
                    m_instance.DispatchAgentError(record, AgentErrorKind(hr));
                    ThrowHRExcepIfFailed(VQErrorLocation(kSourceFile, 612, VQModuleName(), m_functionName),
                                         hr, L"", L"");
                }
                if (lResult >= 1) {
                    return;
                }
                CallEachHandler(
                    record, 644, 648, m_functionName,
                    [&](XClientEmergencyHandler& handler) {
                        handler.OnClientEmergencyFailover(VQEmergency::kFailoverRequested, dwCookie);
                    },
                    XCollector{this});
            },
            XCollector{this});
    }

  private:
    // Hands what a collecting ladder catches to the logger.
    struct XCollector {
        const XPass* pass;
        void operator()(const XWrappedVQException& error) const { pass->Collect(error); }
    };

    // The user-interaction time-out of the error state in milliseconds, or 30 s without error state.
    DWORD FailoverWait() const {
        XVQErrorStateHandler* const pErrorState = XVQErrorStateHandler::GetInstance();
        if (pErrorState == nullptr) {
            Collect(CreateExcepIfFailed(XVQEXCEP::VQ_TYPE_MODULE, E_POINTER, XVQEXCEP::VQ_SEVERITY_SEVERE,
                                        VQErrorLocation(kSourceFile, 568, VQModuleName(), m_functionName),
                                        L"XVQErrorStateHandler::GetInstance() is NULL", L"", 1));
            return kFailoverWaitWithoutErrorState;
        }
        return static_cast<DWORD>(
            pErrorState->GetClientEmergencyFailoverHandler().GetUserInteractionTimeout() * 1000u);
    }

    XEmergencyHandlerInstance& m_instance;
    const XVQComBSTR& m_functionName;
};

}  // namespace

void XEmergencyHandlerInstance::HandleServerEmergencyState() {
    VQ_FUNCTION_NAME(L"XEmergencyHandlerInstance::HandleServerEmergencyState");
    const XPassScope scope;
    const XPass pass(*this, s_szFunctionName);

    auto proxy = m_registry.GetProxy();
    ClientHandlerMap& registrations = proxy->registrations;
    for (auto it = registrations.begin(); it != registrations.end();) {
        const DWORD dwCookie = it->first;
        XClientHandler& record = it->second;
        ATL::CComPtr<IVQServerEmergencyAgent> ptrSrvAgent = GetServerEmergencyAgentFromGIT(dwCookie);
        if (ptrSrvAgent == nullptr) {
            ++it;
            continue;
        }

        HRESULT hr = S_OK;
        DWORD dwState = 0;
        if (!pass.PollRegistration(record, ptrSrvAgent, hr, dwState)) {
            // Only the registration goes: its table entry and its client ids' failover
            // registrations stay.
            it = proxy->Erase(it);
            pass.Collect(XVQError::CreateSystemExcepAtError(
                VQ_LOCATION(kSourceFile, 698), hr, L"ptrSrvAgent->GetServerEmergencyState failed", L""));
            continue;
        }
        ++it;
        if (hr != S_OK || dwState == record.m_dwLastServerState) {
            continue;
        }

        record.m_dwLastServerState = dwState;
        const bool bEmergency = pass.JudgeEmergency(ptrSrvAgent, dwState);
        record.m_bEmergency = bEmergency;
        pass.NotifyStateChange(record, dwState,
                               bEmergency ? VQEmergency::kModeEmergency : VQEmergency::kModeNormal);
        // Never restarted: a later emergency of the registration keeps the first one's start.
        if (bEmergency && record.m_dwEmergencyStartTick == 0) {
            record.m_dwEmergencyStartTick = GetTickCount();
        }
    }
}

void XEmergencyHandlerInstance::HandleClientEmergencyFailoverState() {
    VQ_FUNCTION_NAME(L"XEmergencyHandlerInstance::HandleClientEmergencyFailoverState");
    const XPassScope scope;
    const XPass pass(*this, s_szFunctionName);
    DWORD dwFailoverWait = 0;

    auto proxy = m_registry.GetProxy();
    for (auto& entry : proxy->registrations) {
        const DWORD dwCookie = entry.first;
        XClientHandler& record = entry.second;
        // Fetched before the record is looked at: a lookup that fails ends the pass whatever the
        // record's state.
        ATL::CComPtr<IVQServerEmergencyAgent> ptrSrvAgent = GetServerEmergencyAgentFromGIT(dwCookie);
        if (ptrSrvAgent == nullptr || !pass.IsFailoverDue(record, dwFailoverWait)) {
            continue;
        }
        // Marked before anything can fail: the step runs once per registration, whatever follows.
        record.m_lFailoverMark = 1;
        const DWORD dwProcessId = GetClientProcessId();
        const XVQComBSTR bstrComputerName = GetClientComputerName();
        if (dwProcessId == 0xFFFFFFFF || bstrComputerName.IsEmpty()) {
            continue;
        }
        pass.RequestFailover(dwCookie, record, ptrSrvAgent, dwProcessId, bstrComputerName);
    }
}

void XEmergencyHandlerInstance::DispatchAgentError(const XClientHandler& record, DWORD agentErrorKind) {
    VQ_FUNCTION_NAME(L"XEmergencyHandlerInstance::DispatchAgentError");
    CallEachHandler(
        record, 835, 839, s_szFunctionName,
        [agentErrorKind](XClientEmergencyHandler& handler) { handler.OnAgentError(agentErrorKind); },
        [this](const XWrappedVQException& error) { m_excepLogger.GetProxy()->Add(error); });
}

void XEmergencyHandlerInstance::DispatchAgentError(DWORD agentErrorKind) {
    VQ_FUNCTION_NAME(L"XEmergencyHandlerInstance::DispatchAgentError");
    const XPassScope scope;
    auto proxy = m_registry.GetReadProxy();
    for (const auto& entry : proxy->registrations) {
        DispatchAgentError(entry.second, agentErrorKind);
    }
}
