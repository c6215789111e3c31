// TestAgent: a real, reference-counted COM object that implements IVQServerEmergencyAgent and, on
// request, IVQServerIdentity, for tests of the registration and of the worker's passes.
//
// - Each of the three agent methods the library uses answers what the test set for it, from any
//   thread; methods the library never calls return E_NOTIMPL.
// - Those calls and GetServerIdentity are recorded with their arguments, in call order; an optional hook then
// runs on the calling thread (to block, count or fault there).
// - Identity: None (no IVQServerIdentity), NullName (the record comes back with a server id but no
//   name), Named (id and name), Throwing (GetServerIdentity throws std::runtime_error).
// - On Windows the object aggregates the free-threaded marshaler, so the real Global Interface
//   Table hands the same object to every apartment.
#pragma once

#include <atomic>
#include <functional>
#include <mutex>
#include <stdexcept>
#include <string>
#include <vector>

#include "VQProcessStateHandler/IVQServerEmergencyAgent.h"
#include "vqplatform/platform.h"

namespace vqtest {

enum class AgentMethod {
    GetServerEmergencyState,
    GetEmergencyConfiguration,
    RequestClientEmergencyFailover,
    GetServerIdentity
};

struct AgentCall {
    AgentMethod method;
    // RequestClientEmergencyFailover only; a null name is recorded as empty.
    DWORD processId = 0;
    std::wstring computerName;
};

struct StateAnswer {
    HRESULT hr = S_OK;
    DWORD state = 0;
};

struct ConfigurationAnswer {
    HRESULT hr = S_OK;
    LONG activation = 1;
    DWORD emergencyStateMask = 0;
};

struct FailoverAnswer {
    HRESULT hr = S_OK;
    LONG result = 0;
};

enum class IdentityMode { None, NullName, Named, Throwing };

// What every call of one method answers until the test sets another answer.
template <class Answer>
class AnswerScript {
  public:
    void SetDefault(const Answer& answer) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_answer = answer;
    }
    Answer Next() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_answer;
    }

  private:
    std::mutex m_mutex;
    Answer m_answer{};
};

class TestAgent final : public IVQServerEmergencyAgent, public IVQServerIdentity {
  public:
    using Hook = std::function<void(const AgentCall&)>;

    // A new agent with one reference, owned by the result.
    static ATL::CComPtr<TestAgent> Create(IdentityMode identity = IdentityMode::None, DWORD serverId = 0,
                                          const wchar_t* serverName = L"") {
        return new TestAgent(identity, serverId, serverName);
    }

    // The agent as the library takes it.
    ATL::CComPtr<IVQServerEmergencyAgent> AsAgent() { return static_cast<IVQServerEmergencyAgent*>(this); }

    AnswerScript<StateAnswer>& State() { return m_state; }
    AnswerScript<ConfigurationAnswer>& Configuration() { return m_configuration; }
    AnswerScript<FailoverAnswer>& Failover() { return m_failover; }
    void SetCallHook(Hook hook) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_hook = std::move(hook);
    }
    std::vector<AgentCall> Calls() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    ULONG RefCount() const { return m_refs.load(); }

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override { return m_refs.fetch_add(1) + 1; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG refs = m_refs.fetch_sub(1) - 1;
        if (refs == 0) {
            delete this;
        }
        return refs;
    }

    HRESULT STDMETHODCALLTYPE GetServerEmergencyState(DWORD* pState) override {
        return Answer(
            m_state, [&](const StateAnswer& a) { *pState = a.state; }, AgentMethod::GetServerEmergencyState);
    }
    HRESULT STDMETHODCALLTYPE GetEmergencyConfiguration(EmergencyConfiguration* pConfiguration) override {
        return Answer(
            m_configuration,
            [&](const ConfigurationAnswer& a) {
                pConfiguration->activation = a.activation;
                pConfiguration->emergencyStateMask = a.emergencyStateMask;
            },
            AgentMethod::GetEmergencyConfiguration);
    }
    HRESULT STDMETHODCALLTYPE RequestClientEmergencyFailover(DWORD processId, BSTR computerName,
                                                             LONG* pResult) override {
        return Answer(
            m_failover, [&](const FailoverAnswer& a) { *pResult = a.result; },
            AgentMethod::RequestClientEmergencyFailover, processId, computerName);
    }
    HRESULT STDMETHODCALLTYPE GetServerIdentity(ServerIdentity* pIdentity) override {
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

    HRESULT STDMETHODCALLTYPE SetServerEmergencyState(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetServerEmergencyStateText(DWORD, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetServerEmergencyStateAge(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE AcknowledgeServerEmergency(DWORD, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetEmergencyConfiguration(EmergencyConfiguration*) override {
        return E_NOTIMPL;
    }
    HRESULT STDMETHODCALLTYPE GetEmergencyClientCount(LONG*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetEmergencyClient(LONG, DWORD*, BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetFailoverServerName(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE SetFailoverServerName(BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StartEmergencyDrill(DWORD) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE StopEmergencyDrill() override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE CancelClientEmergencyFailover(DWORD, BSTR) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetServerId(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetServerName(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetServerVersion(BSTR*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetServerProcessId(DWORD*) override { return E_NOTIMPL; }
    HRESULT STDMETHODCALLTYPE GetServerComputerName(BSTR*) override { return E_NOTIMPL; }

  private:
    TestAgent(IdentityMode identity, DWORD serverId, const wchar_t* serverName);
    ~TestAgent();

    void Record(AgentMethod method, DWORD processId = 0, BSTR computerName = nullptr) {
        const AgentCall call{method, processId, computerName == nullptr ? L"" : computerName};
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
    // Records the call, then writes the scripted answer's outputs when it succeeds.
    template <class A, class Write>
    HRESULT Answer(AnswerScript<A>& script, Write write, AgentMethod method, DWORD processId = 0,
                   BSTR computerName = nullptr) {
        Record(method, processId, computerName);
        const A answer = script.Next();
        if (SUCCEEDED(answer.hr)) {
            write(answer);
        }
        return answer.hr;
    }

    const IdentityMode m_identity;
    const DWORD m_serverId;
    const std::wstring m_serverName;
    std::atomic<ULONG> m_refs{0};  // the first reference is the one Create returns
    AnswerScript<StateAnswer> m_state;
    AnswerScript<ConfigurationAnswer> m_configuration;
    AnswerScript<FailoverAnswer> m_failover;
    mutable std::mutex m_mutex;
    std::vector<AgentCall> m_calls;
    Hook m_hook;
#if defined(_WIN32)
    IUnknown* m_marshaler = nullptr;
#endif
};

inline TestAgent::TestAgent(IdentityMode identity, DWORD serverId, const wchar_t* serverName)
    : m_identity(identity), m_serverId(serverId), m_serverName(serverName) {
#if defined(_WIN32)
    // The real Global Interface Table marshals what it is given; with the free-threaded
    // marshaler every apartment gets this very object back. Aggregated: the marshaler's
    // IUnknown is owned here and holds no reference on the outer object.
    if (FAILED(CoCreateFreeThreadedMarshaler(static_cast<IVQServerEmergencyAgent*>(this), &m_marshaler))) {
        throw std::runtime_error("CoCreateFreeThreadedMarshaler failed");
    }
#endif
}
inline TestAgent::~TestAgent() {
#if defined(_WIN32)
    m_marshaler->Release();
#endif
}

inline HRESULT TestAgent::QueryInterface(REFIID riid, void** ppvObject) {
    if (ppvObject == nullptr) {
        return E_POINTER;
    }
    *ppvObject = nullptr;
#if defined(_WIN32)
    if (IsEqualIID(riid, IID_IMarshal)) {
        return m_marshaler->QueryInterface(riid, ppvObject);
    }
#endif
    if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IVQServerEmergencyAgent)) {
        *ppvObject = static_cast<IVQServerEmergencyAgent*>(this);
    } else if (IsEqualIID(riid, IID_IVQServerIdentity) && m_identity != IdentityMode::None) {
        *ppvObject = static_cast<IVQServerIdentity*>(this);
    } else {
        return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
}

}  // namespace vqtest
