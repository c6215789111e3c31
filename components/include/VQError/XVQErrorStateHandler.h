/// @file
/// The process-wide error state of the error component.

/// @class XVQErrorStateHandler
/// The process-wide error state of the error component, with its client emergency failover
/// registry: which registration cookies hold which client connection ids, with the server id and
/// name of each registration, and the user-interaction time-out (seconds) within which a client
/// emergency failover may still be requested. Thread-safe.
#pragma once

#include <map>
#include <mutex>
#include <set>

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

        /// Sets the user-interaction time-out.
        /// @param seconds The time-out in seconds.
        void SetUserInteractionTimeout(unsigned seconds);
        /// @return The registrations by cookie.
        std::map<DWORD, Registration> Registrations() const;

      private:
        mutable std::mutex m_lock;
        std::map<DWORD, Registration> m_registrations;
        unsigned m_timeout = kDefaultUserInteractionTimeout;
    };

    /// @return The process's error state; null while there is none.
    static XVQErrorStateHandler* GetInstance();
    /// @return The client emergency failover registry.
    XClientEmergencyFailoverHandler& GetClientEmergencyFailoverHandler() { return m_failover; }

  private:
    XClientEmergencyFailoverHandler m_failover;
};

#if defined(_MSC_VER)
#pragma warning(pop)
#endif
