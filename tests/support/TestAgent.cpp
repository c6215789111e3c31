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
    : m_identity(identity), m_serverId(serverId), m_serverName(serverName) {
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
    m_marshaler->Release();
#endif
}

void TestAgent::SetCallHook(Hook hook) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_hook = std::move(hook);
}

std::vector<AgentCall> TestAgent::Calls() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_calls;
}

void TestAgent::Record(AgentMethod method, DWORD processId, BSTR computerName) {
    const AgentCall call{method, GetCurrentThreadId(), processId,
                         computerName == nullptr ? L"" : computerName};
    Hook hook;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(call);
        hook = m_hook;
    }
    // Outside the lock: a hook may block until the test inspects the agent.
    if (hook) {
        hook(call);
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

ULONG TestAgent::Release() {
    const ULONG refs = m_refs.fetch_sub(1) - 1;
    if (refs == 0) {
        delete this;
    }
    return refs;
}

HRESULT TestAgent::GetServerEmergencyState(DWORD* pState) {
    Record(AgentMethod::GetServerEmergencyState);
    const StateAnswer answer = m_state.Next();
    if (SUCCEEDED(answer.hr)) {
        *pState = answer.state;
    }
    return answer.hr;
}

HRESULT TestAgent::GetEmergencyConfiguration(EmergencyConfiguration* pConfiguration) {
    Record(AgentMethod::GetEmergencyConfiguration);
    const ConfigurationAnswer answer = m_configuration.Next();
    if (SUCCEEDED(answer.hr)) {
        pConfiguration->activation = answer.activation;
        pConfiguration->emergencyStateMask = answer.emergencyStateMask;
    }
    return answer.hr;
}

HRESULT TestAgent::RequestClientEmergencyFailover(DWORD processId, BSTR computerName, LONG* pResult) {
    Record(AgentMethod::RequestClientEmergencyFailover, processId, computerName);
    const FailoverAnswer answer = m_failover.Next();
    if (SUCCEEDED(answer.hr)) {
        *pResult = answer.result;
    }
    return answer.hr;
}

HRESULT TestAgent::GetServerIdentity(ServerIdentity* pIdentity) {
    Record(AgentMethod::GetServerIdentity);
    if (m_identity == IdentityMode::Throwing) {
        throw std::runtime_error("server identity unavailable");
    }
    pIdentity->serverId = m_serverId;
    if (m_identity == IdentityMode::Named) {
        pIdentity->serverName = SysAllocString(m_serverName.c_str());
    }
    return S_OK;
}

}  // namespace vqtest
