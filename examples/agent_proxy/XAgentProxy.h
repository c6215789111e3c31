// XAgentProxy: the client side of a server emergency agent that lives in another process. A real
// COM object implementing IVQServerEmergencyAgent and IVQServerIdentity whose every method is a
// call to an agent server on 127.0.0.1 (protocol/PROTOCOL.md). Hand it to
// XVQProcessEmergencyHandler::RegisterServerEmergencyHandler like any agent.
//
// Contract:
// - Reference counted, thread-safe AddRef/Release; QueryInterface gives IUnknown (always the same
//   pointer), IVQServerEmergencyAgent and IVQServerIdentity. On Windows the object aggregates the
//   free-threaded marshaler (IMarshal), so the Global Interface Table hands this same object to
//   every apartment.
// - Calls may come from any thread; they are made one at a time over one connection. The
//   connection is opened by the first call and reopened by the call after any failure, or after
//   the server has closed it while idle.
// - Each call is bounded by the per-call time-out (default 2 s; SetCallTimeout), counted from the
//   moment the call has the connection to itself. Transport failures give the HRESULTs of Windows
//   RPC, made with HRESULT_FROM_WIN32:
//     RPC_S_SERVER_UNAVAILABLE (1722)  no connection could be made, or it broke before the request
//                                      went out: the server is not there;
//     RPC_S_CALL_FAILED (1726)         the connection broke, or the answer was not a valid frame
//                                      of this call, after the request had gone out;
//     RPC_S_CALL_FAILED_DNE (1727)     the call timed out.
//   A server that refuses the connection (it serves as many as it can) gives
//     RPC_S_SERVER_TOO_BUSY (1723).
//   Any other HRESULT is the server's (its agent's, or its refusal of a malformed call).
// - Null out-pointers give E_POINTER without a call. Out-strings are allocated with SysAllocString
//   and belong to the caller. No method throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>
#include <vector>

#include "VQProcessStateHandler/IVQServerEmergencyAgent.h"
#include "protocol/socket.h"
#include "protocol/wire.h"
#include "vqplatform/atl.h"

namespace vqdemo {

class XAgentProxy final : public IVQServerEmergencyAgent, public IVQServerIdentity {
  public:
    static constexpr DWORD kDefaultCallTimeoutMs = 2000;

    // A proxy for the agent server on 127.0.0.1:`port`, with one reference for the caller; it
    // connects on the first call. Fails when sockets cannot be used, or on Windows when the
    // free-threaded marshaler cannot be made.
    static HRESULT Create(std::uint16_t port, XAgentProxy** proxy);

    ATL::CComPtr<IVQServerEmergencyAgent> AsAgent() { return static_cast<IVQServerEmergencyAgent*>(this); }

    void SetCallTimeout(DWORD milliseconds) { m_timeoutMs = milliseconds; }
    DWORD CallTimeout() const { return m_timeoutMs; }

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
    explicit XAgentProxy(std::uint16_t port);
    ~XAgentProxy();

    // One call: sends `in`, and on a success HRESULT fills `out` with the method's out-values.
    HRESULT Call(wire::Method method, const std::vector<wire::Value>& in, std::vector<wire::Value>* out);
    HRESULT CallLocked(wire::Method method, const std::vector<wire::Value>& in,
                       std::vector<wire::Value>* out);
    // Calls a method with one out-string and hands it over as a new BSTR.
    HRESULT CallForString(wire::Method method, const std::vector<wire::Value>& in, BSTR* text);
    HRESULT CallForU32(wire::Method method, DWORD* value);

    const std::uint16_t m_port;
    std::atomic<ULONG> m_refs{0};
    std::atomic<DWORD> m_timeoutMs{kDefaultCallTimeoutMs};
    std::mutex m_callMutex;
    net::Socket m_connection;
    std::uint32_t m_nextCallId = 1;
#if defined(_WIN32)
    IUnknown* m_marshaler = nullptr;
#endif
};

}  // namespace vqdemo
