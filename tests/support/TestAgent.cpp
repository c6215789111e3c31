#include "support/TestAgent.h"

#include <stdexcept>
#include <utility>

namespace vqtest {

ATL::CComPtr<TestAgent> TestAgent::Create(IdentityMode identity, DWORD serverId, const wchar_t* serverName) {
    ATL::CComPtr<TestAgent> agent;
    agent.Attach(new TestAgent(identity, serverId, serverName));
    return agent;
}

TestAgent::TestAgent(IdentityMode identity, DWORD serverId, const wchar_t* serverName)
    : m_identity(identity), m_serverId(serverId), m_serverName(serverName == nullptr ? L"" : serverName) {
#if defined(_WIN32)
    // The real Global Interface Table marshals what it is given; with the free-threaded marshaler
    // every apartment gets this very object back. Aggregated: the marshaler's IUnknown is owned here
    // and holds no reference on the outer object.
    if (FAILED(CoCreateFreeThreadedMarshaler(static_cast<IVQServerEmergencyAgent*>(this), &m_marshaler))) {
        throw std::runtime_error("CoCreateFreeThreadedMarshaler failed");
    }
#endif
}

TestAgent::~TestAgent() {
#if defined(_WIN32)
    if (m_marshaler != nullptr) {
        m_marshaler->Release();
    }
#endif
}

void TestAgent::SetCallHook(std::function<void(AgentMethod)> hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hook = std::move(hook);
}

std::vector<AgentCall> TestAgent::Calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

std::size_t TestAgent::CallCount(AgentMethod method) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::size_t count = 0;
    for (const AgentCall& call : m_calls) {
        count += call.method == method ? 1 : 0;
    }
    return count;
}

void TestAgent::Record(AgentCall call) {
    call.threadId = GetCurrentThreadId();
    std::function<void(AgentMethod)> hook;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(call);
        hook = m_hook;
    }
    // Outside the lock: a hook may block until the test inspects the agent.
    if (hook) {
        hook(call.method);
    }
}

HRESULT TestAgent::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    *ppvObject = nullptr;
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IVQServerEmergencyAgent)) {
        *ppvObject = static_cast<IVQServerEmergencyAgent*>(this);
    } else if (IsEqualIID(riid, IID_IVQServerIdentity) && m_identity != IdentityMode::None) {
        *ppvObject = static_cast<IVQServerIdentity*>(this);
    }
#if defined(_WIN32)
    else if (IsEqualIID(riid, IID_IMarshal)) {
        return m_marshaler->QueryInterface(riid, ppvObject);
    }
#endif
    if (*ppvObject == nullptr) {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

ULONG TestAgent::AddRef() {
    return m_refs.fetch_add(1) + 1;
}

ULONG TestAgent::Release() {
    const ULONG refs = m_refs.fetch_sub(1) - 1;
    if (refs == 0) {
        delete this;
    }
    return refs;
}

HRESULT TestAgent::GetServerEmergencyState(DWORD* pState) {
    Record(AgentCall(AgentMethod::GetServerEmergencyState));
    const StateAnswer answer = m_state.Next();
    if (SUCCEEDED(answer.hr)) {
        *pState = answer.state;
    }
    return answer.hr;
}

HRESULT TestAgent::GetEmergencyConfiguration(EmergencyConfiguration* pConfiguration) {
    Record(AgentCall(AgentMethod::GetEmergencyConfiguration));
    const ConfigurationAnswer answer = m_configuration.Next();
    if (SUCCEEDED(answer.hr)) {
        pConfiguration->activation = answer.activation;
        pConfiguration->emergencyStateMask = answer.emergencyStateMask;
    }
    return answer.hr;
}

HRESULT TestAgent::RequestClientEmergencyFailover(DWORD processId, BSTR computerName, LONG* pResult) {
    AgentCall call(AgentMethod::RequestClientEmergencyFailover);
    call.processId = processId;
    call.computerNameNull = computerName == nullptr;
    call.computerName = computerName == nullptr ? L"" : computerName;
    Record(std::move(call));
    const FailoverAnswer answer = m_failover.Next();
    if (SUCCEEDED(answer.hr)) {
        *pResult = answer.result;
    }
    return answer.hr;
}

HRESULT TestAgent::GetServerIdentity(ServerIdentity* pIdentity) {
    Record(AgentCall(AgentMethod::GetServerIdentity));
    switch (m_identity) {
        case IdentityMode::Throwing:
            throw std::runtime_error("server identity unavailable");
        case IdentityMode::NullName:
            pIdentity->serverId = m_serverId;
            return S_OK;
        case IdentityMode::Named:
            pIdentity->serverId = m_serverId;
            pIdentity->serverName = SysAllocString(m_serverName.c_str());
            return S_OK;
        case IdentityMode::None:
            break;
    }
    return E_NOINTERFACE;
}

HRESULT TestAgent::SetServerEmergencyState(DWORD /*state*/) {
    return E_NOTIMPL;
}
HRESULT TestAgent::GetServerEmergencyStateText(DWORD /*state*/, BSTR* /*pText*/) {
    return E_NOTIMPL;
}
HRESULT TestAgent::GetServerEmergencyStateAge(DWORD* /*pSeconds*/) {
    return E_NOTIMPL;
}
HRESULT TestAgent::AcknowledgeServerEmergency(DWORD /*processId*/, BSTR /*computerName*/) {
    return E_NOTIMPL;
}
HRESULT TestAgent::SetEmergencyConfiguration(EmergencyConfiguration* /*pConfiguration*/) {
    return E_NOTIMPL;
}
HRESULT TestAgent::GetEmergencyClientCount(LONG* /*pCount*/) {
    return E_NOTIMPL;
}
HRESULT TestAgent::GetEmergencyClient(LONG /*index*/, DWORD* /*pProcessId*/, BSTR* /*pComputerName*/) {
    return E_NOTIMPL;
}
HRESULT TestAgent::GetFailoverServerName(BSTR* /*pServerName*/) {
    return E_NOTIMPL;
}
HRESULT TestAgent::SetFailoverServerName(BSTR /*serverName*/) {
    return E_NOTIMPL;
}
HRESULT TestAgent::StartEmergencyDrill(DWORD /*state*/) {
    return E_NOTIMPL;
}
HRESULT TestAgent::StopEmergencyDrill() {
    return E_NOTIMPL;
}
HRESULT TestAgent::CancelClientEmergencyFailover(DWORD /*processId*/, BSTR /*computerName*/) {
    return E_NOTIMPL;
}
HRESULT TestAgent::GetServerId(DWORD* /*pServerId*/) {
    return E_NOTIMPL;
}
HRESULT TestAgent::GetServerName(BSTR* /*pServerName*/) {
    return E_NOTIMPL;
}
HRESULT TestAgent::GetServerVersion(BSTR* /*pVersion*/) {
    return E_NOTIMPL;
}
HRESULT TestAgent::GetServerProcessId(DWORD* /*pProcessId*/) {
    return E_NOTIMPL;
}
HRESULT TestAgent::GetServerComputerName(BSTR* /*pComputerName*/) {
    return E_NOTIMPL;
}

}  // namespace vqtest
