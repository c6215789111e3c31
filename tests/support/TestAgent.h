// TestAgent: a real, reference-counted COM object that implements IVQServerEmergencyAgent and, on
// request, IVQServerIdentity, for tests of the registration and of the worker's passes.
//
// - Answers are scripted per method: each call takes the next queued answer, or the method's default
//   when the queue is empty. Scripting may happen on any thread, also while the worker calls.
// - Every call of the three agent methods the library uses, and of GetServerIdentity, is recorded
//   with its arguments and the calling thread, in call order.
// - An optional hook runs at the start of each recorded call, on the calling thread (to block a
//   call, count, or throw from it).
// - Identity: None (no IVQServerIdentity), NullName (the record comes back with a server id but no
//   name), Named (id and name), Throwing (GetServerIdentity throws std::runtime_error).
// - On Windows the object aggregates the free-threaded marshaler, so the real Global Interface
//   Table hands the same object to every apartment.
// - Methods the library never calls return E_NOTIMPL.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
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
    explicit AgentCall(AgentMethod calledMethod) : method(calledMethod) {}

    AgentMethod method;
    DWORD threadId = 0;
    // RequestClientEmergencyFailover only.
    DWORD processId = 0;
    std::wstring computerName;
    bool computerNameNull = false;
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

// The answers of one method: queued ones first, then the default.
template <class Answer>
class AnswerScript {
  public:
    void Queue(const Answer& answer) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(answer);
    }
    void SetDefault(const Answer& answer) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_default = answer;
    }
    Answer Next() {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_queue.empty()) {
            return m_default;
        }
        Answer answer = m_queue.front();
        m_queue.pop_front();
        return answer;
    }

  private:
    std::mutex m_mutex;
    std::deque<Answer> m_queue;
    Answer m_default{};
};

class TestAgent final : public IVQServerEmergencyAgent, public IVQServerIdentity {
  public:
    // A new agent with one reference, owned by the result.
    static ATL::CComPtr<TestAgent> Create(IdentityMode identity = IdentityMode::None, DWORD serverId = 0,
                                          const wchar_t* serverName = L"");

    // The agent as the library takes it.
    ATL::CComPtr<IVQServerEmergencyAgent> AsAgent() { return static_cast<IVQServerEmergencyAgent*>(this); }

    AnswerScript<StateAnswer>& State() { return m_state; }
    AnswerScript<ConfigurationAnswer>& Configuration() { return m_configuration; }
    AnswerScript<FailoverAnswer>& Failover() { return m_failover; }
    void SetCallHook(std::function<void(AgentMethod)> hook);

    std::vector<AgentCall> Calls() const;
    std::size_t CallCount(AgentMethod method) const;
    // The current reference count (AddRef and Release from any thread are counted).
    ULONG RefCount() const { return m_refs.load(); }

    // IUnknown
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override;
    ULONG STDMETHODCALLTYPE AddRef() override;
    ULONG STDMETHODCALLTYPE Release() override;

    // IVQServerEmergencyAgent
    HRESULT STDMETHODCALLTYPE GetServerEmergencyState(DWORD* pState) override;
    HRESULT STDMETHODCALLTYPE SetServerEmergencyState(DWORD state) override;
    HRESULT STDMETHODCALLTYPE GetServerEmergencyStateText(DWORD state, BSTR* pText) override;
    HRESULT STDMETHODCALLTYPE GetServerEmergencyStateAge(DWORD* pSeconds) override;
    HRESULT STDMETHODCALLTYPE AcknowledgeServerEmergency(DWORD processId, BSTR computerName) override;
    HRESULT STDMETHODCALLTYPE SetEmergencyConfiguration(EmergencyConfiguration* pConfiguration) override;
    HRESULT STDMETHODCALLTYPE GetEmergencyConfiguration(EmergencyConfiguration* pConfiguration) override;
    HRESULT STDMETHODCALLTYPE GetEmergencyClientCount(LONG* pCount) override;
    HRESULT STDMETHODCALLTYPE GetEmergencyClient(LONG index, DWORD* pProcessId, BSTR* pComputerName) override;
    HRESULT STDMETHODCALLTYPE GetFailoverServerName(BSTR* pServerName) override;
    HRESULT STDMETHODCALLTYPE SetFailoverServerName(BSTR serverName) override;
    HRESULT STDMETHODCALLTYPE StartEmergencyDrill(DWORD state) override;
    HRESULT STDMETHODCALLTYPE StopEmergencyDrill() override;
    HRESULT STDMETHODCALLTYPE CancelClientEmergencyFailover(DWORD processId, BSTR computerName) override;
    HRESULT STDMETHODCALLTYPE RequestClientEmergencyFailover(DWORD processId, BSTR computerName,
                                                             LONG* pResult) override;

    // IVQServerIdentity
    HRESULT STDMETHODCALLTYPE GetServerId(DWORD* pServerId) override;
    HRESULT STDMETHODCALLTYPE GetServerName(BSTR* pServerName) override;
    HRESULT STDMETHODCALLTYPE GetServerVersion(BSTR* pVersion) override;
    HRESULT STDMETHODCALLTYPE GetServerProcessId(DWORD* pProcessId) override;
    HRESULT STDMETHODCALLTYPE GetServerComputerName(BSTR* pComputerName) override;
    HRESULT STDMETHODCALLTYPE GetServerIdentity(ServerIdentity* pIdentity) override;

  private:
    TestAgent(IdentityMode identity, DWORD serverId, const wchar_t* serverName);
    ~TestAgent();

    void Record(AgentCall call);

    const IdentityMode m_identity;
    const DWORD m_serverId;
    const std::wstring m_serverName;
    std::atomic<ULONG> m_refs{1};
    AnswerScript<StateAnswer> m_state;
    AnswerScript<ConfigurationAnswer> m_configuration;
    AnswerScript<FailoverAnswer> m_failover;
    mutable std::mutex m_mutex;
    std::vector<AgentCall> m_calls;
    std::function<void(AgentMethod)> m_hook;
#if defined(_WIN32)
    IUnknown* m_marshaler = nullptr;
#endif
};

}  // namespace vqtest
