/// @file
/// The server's emergency agent: the COM interfaces IVQServerEmergencyAgent and IVQServerIdentity,
/// their interface ids and the records they pass. The server implements them; VQProcessStateHandler64
/// only calls them. Both are binary COM interfaces: their method order, the records' layout and the
/// interface ids are fixed and checked at compile time; nothing else of this header may change without a new
/// interface id.
///
/// Contract for an implementation:
/// - The library registers the agent in the process's Global Interface Table and calls it from its
///   one worker thread, which lives in the multithreaded apartment. An in-process agent must
///   therefore be free-threaded (on Windows: aggregate the free-threaded marshaler); a remote agent
///   reaches the worker through its proxy as usual.
/// - Of IVQServerEmergencyAgent the library calls only GetServerEmergencyState,
///   GetEmergencyConfiguration and RequestClientEmergencyFailover; of IVQServerIdentity only
///   GetServerIdentity, once, when a handler is registered with the agent. The other methods belong
///   to the server's own clients (consoles, administration) and are documented for them.
/// - A method reports failure through a negative HRESULT. A failing GetServerEmergencyState makes the
///   library drop the agent's registration; HRESULTs of RPC failures count as a lost server.
/// - Methods must not throw C++ exceptions across the interface. The library logs one from
///   GetServerIdentity and registers the agent with the default identity; one from another method
///   may end the library's worker for the life of the process.
///
/// Sizes are those of 64-bit Windows on every platform: DWORD unsigned and LONG signed 32-bit.
///
/// On Windows the interfaces carry their ids as MIDL's headers do, so that
/// __uuidof(IVQServerEmergencyAgent), CComQIPtr<IVQServerEmergencyAgent> and IID_PPV_ARGS work:
/// DECLSPEC_UUID with MSVC, __CRT_UUID_DECL with MinGW's g++.
#pragma once

#include <cstddef>

#include "vqplatform/com.h"

/// The interface id of IVQServerEmergencyAgent, {903E543A-F3A0-49D9-B1BC-23589CF66EF6}.
inline constexpr IID IID_IVQServerEmergencyAgent = {
    0x903E543A, 0xF3A0, 0x49D9, {0xB1, 0xBC, 0x23, 0x58, 0x9C, 0xF6, 0x6E, 0xF6}};
/// The interface id of IVQServerIdentity, {9DD35ABC-28DD-48A1-9D79-62077DF8A5CD}.
inline constexpr IID IID_IVQServerIdentity = {
    0x9DD35ABC, 0x28DD, 0x48A1, {0x9D, 0x79, 0x62, 0x07, 0x7D, 0xF8, 0xA5, 0xCD}};

/// The server's emergency configuration, filled by GetEmergencyConfiguration. A state is an emergency
/// when `activation` is 1 and the state has a bit of `emergencyStateMask` set.
struct EmergencyConfiguration {
    DWORD serverData[2];       ///< The server's own; the library neither reads nor clears it.
    LONG activation;           ///< 1: the mask applies; any other value: no state is an emergency.
    DWORD emergencyStateMask;  ///< State bits that make a state an emergency.
};

static_assert(sizeof(DWORD) == 4 && sizeof(LONG) == 4, "Windows sizes");
static_assert(offsetof(EmergencyConfiguration, activation) == 8, "activation value at byte 8");
static_assert(offsetof(EmergencyConfiguration, emergencyStateMask) == 12, "emergency state mask at byte 12");
static_assert(sizeof(EmergencyConfiguration) == 16, "EmergencyConfiguration is 16 bytes");

/// The server's identity, filled by IVQServerIdentity::GetServerIdentity into a record the caller has
/// zero-filled. The server allocates `serverName`; the caller frees it with SysFreeString. A null name
/// means that the server gives no identity (the library then ignores `serverId` too).
struct ServerIdentity {
    BSTR serverName;  ///< The server's name, or null for no identity.
    DWORD serverId;   ///< The server's id.
    DWORD reserved;   ///< Padding; zero.
};

static_assert(sizeof(void*) == 8, "a 64-bit library: the identity record holds an 8-byte BSTR");
static_assert(offsetof(ServerIdentity, serverName) == 0 && sizeof(BSTR) == 8, "server name: bytes 0-7");
static_assert(offsetof(ServerIdentity, serverId) == 8, "server id at byte 8");
static_assert(offsetof(ServerIdentity, reserved) == 12, "padding at byte 12");
static_assert(sizeof(ServerIdentity) == 16, "ServerIdentity is 16 bytes");

/// The server's emergency agent; the description of IVQServerEmergencyAgent.h gives the contract of
/// an implementation. Method positions are counted after the three methods of IUnknown. Every method
/// returns S_OK on success and a negative HRESULT on failure unless it says otherwise.
struct DECLSPEC_UUID("903E543A-F3A0-49D9-B1BC-23589CF66EF6") DECLSPEC_NOVTABLE IVQServerEmergencyAgent
    : public IUnknown {
    /// 1st. The server's current emergency state. Called by the library every cycle.
    /// @param pState Receives the state: an opaque 32-bit value of the server.
    /// @return S_OK reports a state, another success code reports nothing; a failure makes the library
    ///   drop the registration.
    virtual HRESULT STDMETHODCALLTYPE GetServerEmergencyState(DWORD* pState) = 0;
    /// 2nd. Puts the server into a state (administration).
    /// @param state The new state.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE SetServerEmergencyState(DWORD state) = 0;
    /// 3rd. A display text for a state.
    /// @param state The state.
    /// @param pText Receives the text, allocated by the server; the caller frees it.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE GetServerEmergencyStateText(DWORD state, BSTR* pText) = 0;
    /// 4th. How long the server has been in its current state.
    /// @param pSeconds Receives the seconds since the server entered its current state.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE GetServerEmergencyStateAge(DWORD* pSeconds) = 0;
    /// 5th. An operator of the client process has acknowledged the current emergency.
    /// @param processId The client process's id.
    /// @param computerName The client's computer, lent for the call.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE AcknowledgeServerEmergency(DWORD processId, BSTR computerName) = 0;
    /// 6th. Replaces the emergency configuration (administration).
    /// @param pConfiguration The new configuration.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE SetEmergencyConfiguration(EmergencyConfiguration* pConfiguration) = 0;
    /// 7th. The emergency configuration. The library calls it after each state change.
    /// @param pConfiguration Receives the configuration; the library reads `activation` and
    ///   `emergencyStateMask` only when the call returns S_OK.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE GetEmergencyConfiguration(EmergencyConfiguration* pConfiguration) = 0;
    /// 8th. How many client processes have requested a failover in the current emergency.
    /// @param pCount Receives the count.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE GetEmergencyClientCount(LONG* pCount) = 0;
    /// 9th. One of the client processes counted by GetEmergencyClientCount.
    /// @param index Its position, 0-based.
    /// @param pProcessId Receives its process id.
    /// @param pComputerName Receives its computer name, allocated by the server; the caller frees it.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE GetEmergencyClient(LONG index, DWORD* pProcessId,
                                                         BSTR* pComputerName) = 0;
    /// 10th. The name of the server that takes over the clients in a failover.
    /// @param pServerName Receives the name, allocated by the server; the caller frees it.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE GetFailoverServerName(BSTR* pServerName) = 0;
    /// 11th. Sets the name of the failover server (administration).
    /// @param serverName The name, lent for the call.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE SetFailoverServerName(BSTR serverName) = 0;
    /// 12th. Starts an emergency drill: the server reports a given state until StopEmergencyDrill.
    /// @param state The state reported during the drill.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE StartEmergencyDrill(DWORD state) = 0;
    /// 13th. Ends the drill; the server reports its real state again.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE StopEmergencyDrill() = 0;
    /// 14th. Withdraws the failover request of a client process.
    /// @param processId The client process's id.
    /// @param computerName The client's computer, lent for the call.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE CancelClientEmergencyFailover(DWORD processId, BSTR computerName) = 0;
    /// 15th. Asks the server to fail the client process over. Called by the library at most once per
    /// registration and emergency window.
    /// @param processId The client process's id.
    /// @param computerName The client's computer, lent for the call.
    /// @param pResult Receives the server's answer; the library sets it to 0 before the call, and a
    ///   result below 1 makes it tell the client's handlers.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE RequestClientEmergencyFailover(DWORD processId, BSTR computerName,
                                                                     LONG* pResult) = 0;
};

/// The server's identity, the agent's second interface; the description of IVQServerEmergencyAgent.h
/// gives the contract of an implementation. Virtual slots are counted from 0, with the three of
/// IUnknown. Every method returns S_OK on success and a negative HRESULT on failure.
struct DECLSPEC_UUID("9DD35ABC-28DD-48A1-9D79-62077DF8A5CD") DECLSPEC_NOVTABLE IVQServerIdentity
    : public IUnknown {
    /// Slot 3. The server's id.
    /// @param pServerId Receives the id.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE GetServerId(DWORD* pServerId) = 0;
    /// Slot 4. The server's name.
    /// @param pServerName Receives the name, allocated by the server; the caller frees it.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE GetServerName(BSTR* pServerName) = 0;
    /// Slot 5. The server's product version.
    /// @param pVersion Receives the version as text, allocated by the server; the caller frees it.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE GetServerVersion(BSTR* pVersion) = 0;
    /// Slot 6. The process id of the server process on its computer.
    /// @param pProcessId Receives the process id.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE GetServerProcessId(DWORD* pProcessId) = 0;
    /// Slot 7. The computer the server runs on.
    /// @param pComputerName Receives the computer name, allocated by the server; the caller frees it.
    /// @return S_OK or a failure.
    virtual HRESULT STDMETHODCALLTYPE GetServerComputerName(BSTR* pComputerName) = 0;
    /// Slot 8. Id and name in one call. The library calls it when a handler is registered.
    /// @param pIdentity A record the caller has zero-filled, which receives the identity (see
    ///   ServerIdentity).
    /// @return S_OK or a failure; the library does not examine it, only the record.
    virtual HRESULT STDMETHODCALLTYPE GetServerIdentity(ServerIdentity* pIdentity) = 0;
};

#if defined(__CRT_UUID_DECL)
// MinGW's g++ has no __declspec(uuid), and its DECLSPEC_UUID is empty: its __uuidof reads the ids
// from these declarations, as in widl's headers.
__CRT_UUID_DECL(IVQServerEmergencyAgent, 0x903E543A, 0xF3A0, 0x49D9, 0xB1, 0xBC, 0x23, 0x58, 0x9C, 0xF6, 0x6E,
                0xF6)
__CRT_UUID_DECL(IVQServerIdentity, 0x9DD35ABC, 0x28DD, 0x48A1, 0x9D, 0x79, 0x62, 0x07, 0x7D, 0xF8, 0xA5, 0xCD)
#endif
