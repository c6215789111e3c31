// XVQErrorStateHandler: the process-wide error state of the error component, with its client
// emergency failover registry: which registration cookies hold which client connection ids, with
// the server id and name of each registration, and the user-interaction time-out (seconds) within
// which a client emergency failover may still be requested. Thread-safe.
#pragma once

#include <map>
#include <mutex>
#include <set>

#include "VQConvert/XVQComBSTR.h"
#include "VQError/VQErrorExport.h"

class VQERROR_API XVQErrorStateHandler {
  public:
    class VQERROR_API XClientEmergencyFailoverHandler {
      public:
        enum : unsigned { kDefaultUserInteractionTimeout = 60 };  // enumerators: see XVQLogBook::kMaxEntries

        struct Registration {
            LONG serverId = -1;
            XVQComBSTR serverName;
            std::set<LONG> clientIds;
        };

        void Register(DWORD cookie, LONG clientId, LONG serverId, const XVQComBSTR& serverName);
        void Deregister(DWORD cookie, LONG clientId);
        void RemoveServerEmergencyHandler(DWORD cookie);
        unsigned GetUserInteractionTimeout() const;

        // Configuration and read-back, for the application and for diagnostics.
        void SetUserInteractionTimeout(unsigned seconds);
        std::map<DWORD, Registration> Registrations() const;

      private:
        mutable std::mutex m_lock;
        std::map<DWORD, Registration> m_registrations;
        unsigned m_timeout = kDefaultUserInteractionTimeout;
    };

    // The process's error state; null while there is none.
    static XVQErrorStateHandler* GetInstance();
    XClientEmergencyFailoverHandler& GetClientEmergencyFailoverHandler() { return m_failover; }

  private:
    XClientEmergencyFailoverHandler m_failover;
};
