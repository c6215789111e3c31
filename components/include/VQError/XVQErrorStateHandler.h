/// @file
/// The process-wide error state of the error component.

/// @class XVQErrorStateHandler
/// The process-wide error state of the error component, with its client emergency failover
/// registry: which registration cookies hold which client connection ids, with the server id and
/// name of each registration, and the user-interaction time-out (seconds) within which a client
/// emergency failover may still be requested. Thread-safe.
///
/// Test seams: the instance can be made absent (GetInstance() returns null), the registry's calls
/// are recorded in order and can be read back, the next calls can be made to fail, and the time-out
/// can be set.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <vector>

#include "VQConvert/XVQComBSTR.h"
#include "VQError/VQErrorExport.h"

// Exported classes with members of standard-library types: see VQErrorExport.h on C4251.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4251)
#endif

class VQERROR_API XVQErrorStateHandler {
  public:
    /// The client emergency failover registry and the user-interaction time-out.
    class VQERROR_API XClientEmergencyFailoverHandler {
      public:
        /// Defaults (enumerators: see XVQLogBook::kMaxEntries).
        enum : unsigned {
            kDefaultUserInteractionTimeout = 60  ///< The user-interaction time-out at start, in seconds.
        };

        /// One registration of the registry.
        struct Registration {
            LONG serverId = -1;        ///< The server's id.
            XVQComBSTR serverName;     ///< The server's name.
            std::set<LONG> clientIds;  ///< The client connection ids registered for it.
        };

        /// Which registry operation a recorded call was.
        enum class CallKind {
            Register,                     ///< Register.
            Deregister,                   ///< Deregister.
            RemoveServerEmergencyHandler  ///< RemoveServerEmergencyHandler.
        };
        /// One recorded call of the registry.
        struct Call {
            CallKind kind;          ///< The operation.
            DWORD cookie;           ///< The registration cookie.
            LONG clientId;          ///< The client connection id; 0 for RemoveServerEmergencyHandler.
            LONG serverId;          ///< The server's id (Register only).
            XVQComBSTR serverName;  ///< The server's name (Register only).
        };

        /// Registers a client connection id under a registration, which takes the server's identity.
        /// @param cookie The registration cookie.
        /// @param clientId The client connection id.
        /// @param serverId The server's id.
        /// @param serverName The server's name.
        void Register(DWORD cookie, LONG clientId, LONG serverId, const XVQComBSTR& serverName);
        /// Withdraws a client connection id from a registration.
        /// @param cookie The registration cookie.
        /// @param clientId The client connection id.
        void Deregister(DWORD cookie, LONG clientId);
        /// Withdraws a registration with all its client connection ids.
        /// @param cookie The registration cookie.
        void RemoveServerEmergencyHandler(DWORD cookie);
        /// @return The user-interaction time-out in seconds: how long after the start of an emergency
        ///   the library may still request the client emergency failover.
        unsigned GetUserInteractionTimeout() const;

        // Read-back and settings for tests and diagnostics.
        /// Sets the user-interaction time-out.
        /// @param seconds The time-out in seconds.
        void SetUserInteractionTimeout(unsigned seconds);
        /// @return The registrations by cookie.
        std::map<DWORD, Registration> Registrations() const;
        /// Limits of the call record.
        enum : std::size_t {
            kMaxRecordedCalls = 1000  ///< How many of the most recent calls are recorded.
        };
        /// @return The most recent kMaxRecordedCalls calls, oldest first.
        std::vector<Call> Calls() const;
        /// Makes the next calls of Register, Deregister and RemoveServerEmergencyHandler throw
        /// std::runtime_error and change nothing.
        /// @param calls How many calls fail.
        void FailNext(unsigned calls);
        /// Empties registry and call record, restores the default time-out, fails nothing.
        void Reset();

      private:
        mutable std::mutex m_lock;
        std::map<DWORD, Registration> m_registrations;
        std::deque<Call> m_calls;
        unsigned m_timeout = kDefaultUserInteractionTimeout;
        unsigned m_failures = 0;

        void FailIfAsked();  // called under m_lock
    };

    /// @return The process's error state; null while it is absent (see SetInstanceAbsent).
    static XVQErrorStateHandler* GetInstance();
    /// @return The client emergency failover registry.
    XClientEmergencyFailoverHandler& GetClientEmergencyFailoverHandler() { return m_failover; }

    /// Test seam: while absent, GetInstance() returns null; the object itself lives on.
    /// @param absent Whether the error state is absent from now on.
    static void SetInstanceAbsent(bool absent);

  private:
    XClientEmergencyFailoverHandler m_failover;
};

#if defined(_MSC_VER)
#pragma warning(pop)
#endif
