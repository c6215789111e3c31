/// @file
/// The callback class of VQProcessStateHandler64 and the values its callbacks receive.

/// @class XClientEmergencyHandler
/// The callback class a client derives from to hear about its server.
///
/// Contract:
/// - Every callback runs on the library's one worker thread (in the multithreaded COM apartment),
///   never on a thread of the client, and one callback at a time for the whole process.
/// - A callback runs while the library holds its registry. A function of XVQProcessEmergencyHandler
///   called from a callback throws XWrappedVQException (E_ILLEGAL_METHOD_CALL, 0x8000000E, also
///   written to the log book) and changes nothing. A callback must not wait for a thread that calls
///   one either: that thread waits for the registry (a deadlock). It should return promptly; every
///   other registration waits for it.
/// - An exception thrown by a callback is caught and logged by the library; the other handlers are
///   called all the same.
/// - A hardware fault in a callback (an access violation, a division by zero) is turned into an
///   exception on the worker thread and handled like a thrown one, provided the frames between the
///   fault and the library can unwind from a faulting instruction: compile callback code with
///   -fnon-call-exceptions (GCC, Clang) or /EHa (MSVC). Without that a faulting frame has no landing
///   pad, its destructors do not run, and the process may end instead (an abort was seen at -O0 when
///   the faulting frame owned a std::string).
/// - The library keeps a bare pointer: the handler must outlive its registration (until
///   DeregisterServerEmergencyHandler has returned). The library never destroys a handler.
/// - The class has no state of its own; construction, copy and destruction never throw.
///
/// The virtual slot order (OnServerEmergencyState, OnAgentError, OnClientEmergencyFailover,
/// destructor) is part of the library's binary interface.
#pragma once

#include "VQProcessStateHandler/VQProcessStateHandlerExport.h"
#include "vqplatform/types.h"

/// Values the callbacks receive.
namespace VQEmergency {
/// OnServerEmergencyState: the new state is not an emergency.
inline constexpr LONG kModeNormal = 1;
/// OnServerEmergencyState: the new state is an emergency per the server's emergency configuration.
inline constexpr LONG kModeEmergency = 2;
/// OnAgentError: a call on the agent failed because the server or the connection to it is lost.
inline constexpr DWORD kAgentErrorCommunication = 1;
/// OnAgentError: any other failure of the agent, or the library's worker has ended on an error and
/// watches no server any more.
inline constexpr DWORD kAgentErrorOther = 3;
/// OnClientEmergencyFailover: the server has accepted the failover of this client process.
inline constexpr LONG kFailoverRequested = 2;
}  // namespace VQEmergency

class VQPSH_API XClientEmergencyHandler {
  public:
    /// Sets up the virtual table; nothing else.
    XClientEmergencyHandler();
    /// Copies nothing: a handler has no state of its own.
    /// @param other The handler copied.
    XClientEmergencyHandler(const XClientEmergencyHandler& other);
    /// Copies nothing: a handler has no state of its own.
    /// @param other The handler assigned.
    /// @return This handler.
    XClientEmergencyHandler& operator=(const XClientEmergencyHandler& other);

    /// The server of a registration reported a state different from the last one it reported (the
    /// first report of a new registration counts as a change unless it is 0xFFFFFFFF).
    /// @param serverEmergencyState The state the server reported, an opaque 32-bit value of the server.
    /// @param emergencyMode VQEmergency::kModeEmergency or VQEmergency::kModeNormal.
    virtual void OnServerEmergencyState(DWORD serverEmergencyState, LONG emergencyMode) = 0;
    /// A call on the registration's agent failed. After a failed state request the registration is
    /// dropped: the handler hears nothing more from that server until it is registered again. The
    /// dropped registration's entry in the Global Interface Table (and with it a reference on the
    /// agent) and its client ids in the failover registry stay for the life of the process;
    /// deregistering the handler later does not reach them.
    /// @param agentErrorKind VQEmergency::kAgentErrorCommunication or VQEmergency::kAgentErrorOther.
    virtual void OnAgentError(DWORD agentErrorKind) = 0;
    /// The server accepted the client emergency failover for this process.
    /// @param failover Always VQEmergency::kFailoverRequested.
    /// @param registrationCookie Names the registration.
    virtual void OnClientEmergencyFailover(LONG failover, DWORD registrationCookie) = 0;

    /// Does nothing; the library never destroys a handler.
    virtual ~XClientEmergencyHandler();
};
