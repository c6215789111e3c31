// XDemoServerAgent: the demo server's emergency agent, a real COM object implementing
// IVQServerEmergencyAgent and IVQServerIdentity over the server's own state.
//
// Contract:
// - Reference counted (starts at 0; Create hands out the first reference); QueryInterface gives
//   both interfaces and IUnknown. Every method is thread-safe: the agent server calls it from one
//   thread per connection while the server program changes the state from others.
// - A state is an emergency when the configuration's activation value is 1 and the state has a bit
//   of its emergency state mask set (the rule the library applies).
// - RequestClientEmergencyFailover accepts (result 0) while the reported state is an emergency and
//   records the client; otherwise it declines (result 1). The record of clients starts afresh
//   whenever an emergency begins and keeps the most recent kMaxEmergencyClients clients, their
//   computer names cut to kMaxComputerNameLength characters (the cut name identifies the client
//   everywhere). Every request is logged with the client's process id and computer name.
// - Out-strings are allocated with SysAllocString and belong to the caller; null out-pointers give
//   E_POINTER. Nothing throws across the interface (allocation failures give E_OUTOFMEMORY).
// - The log function, when set, receives one line per event, on the thread that caused it.
#pragma once

#include <atomic>
#include <chrono>
#include <cstddef>
#include <functional>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "VQProcessStateHandler/IVQServerEmergencyAgent.h"
#include "vqplatform/atl.h"

namespace vqdemo {

// The demo's states: bit 0x2 marks an emergency in the default configuration.
inline constexpr DWORD kNormalState = 1;
inline constexpr DWORD kEmergencyState = 2;
inline constexpr DWORD kDefaultEmergencyStateMask = 0x2;

class XDemoServerAgent : public IVQServerEmergencyAgent, public IVQServerIdentity {
  public:
    struct Settings {
        DWORD serverId = 1;
        std::wstring serverName = L"VQ demo server";
        std::wstring serverVersion = L"1.0";
        std::wstring failoverServerName = L"VQ demo standby server";
        DWORD initialState = kNormalState;
        LONG activation = 1;
        DWORD emergencyStateMask = kDefaultEmergencyStateMask;
    };
    using Log = std::function<void(const std::string&)>;
    // Bounds on what failover requests from clients can make the agent keep.
    static constexpr std::size_t kMaxEmergencyClients = 100;
    static constexpr std::size_t kMaxComputerNameLength = 255;

    static ATL::CComPtr<XDemoServerAgent> Create(Settings settings, Log log = {});

    ATL::CComPtr<IVQServerEmergencyAgent> AsAgent() { return static_cast<IVQServerEmergencyAgent*>(this); }

    // Whether `state` is an emergency under the current configuration.
    bool IsEmergency(DWORD state) const;
    // "normal" or "emergency" for `state` under the current configuration.
    std::string Describe(DWORD state) const;
    // The clients whose failover requests were accepted in the current emergency.
    std::vector<std::pair<DWORD, std::wstring>> EmergencyClients() const;

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

  protected:
    XDemoServerAgent(Settings settings, Log log);
    virtual ~XDemoServerAgent() = default;

  private:
    using SteadyClock = std::chrono::steady_clock;

    // The state clients see: the drill state during a drill, else the real one. Caller holds m_mutex.
    DWORD ReportedStateLocked() const;
    bool IsEmergencyLocked(DWORD state) const;
    // Applies a change of the reported state (a new emergency clears the client record).
    void OnReportedStateChangeLocked(DWORD before);
    void Write(const std::string& line) const;

    const Settings m_settings;
    const Log m_log;
    std::atomic<ULONG> m_refs{0};

    mutable std::mutex m_mutex;
    DWORD m_state;
    bool m_drill = false;
    DWORD m_drillState = 0;
    SteadyClock::time_point m_stateSince;
    EmergencyConfiguration m_configuration{};
    std::wstring m_failoverServerName;
    std::vector<std::pair<DWORD, std::wstring>> m_emergencyClients;
};

}  // namespace vqdemo
