// XVQErrorStateHandler: the process-wide error state of the error component, with its client
// emergency failover registry: which registration cookies hold which client connection ids, with
// the server id and name of each registration, and the user-interaction time-out (seconds) within
// which a client emergency failover may still be requested. Thread-safe.
//
// Test seams: the instance can be made absent (GetInstance() returns null), the registry's calls
// are recorded in order and can be read back, the next calls can be made to fail, and the time-out
// can be set.
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
    class VQERROR_API XClientEmergencyFailoverHandler {
      public:
        enum : unsigned { kDefaultUserInteractionTimeout = 60 };  // enumerators: see XVQLogBook::kMaxEntries

        struct Registration {
            LONG serverId = -1;
            XVQComBSTR serverName;
            std::set<LONG> clientIds;
        };

        enum class CallKind { Register, Deregister, RemoveServerEmergencyHandler };
        struct Call {
            CallKind kind;
            DWORD cookie;
            LONG clientId;          // 0 for RemoveServerEmergencyHandler
            LONG serverId;          // Register only
            XVQComBSTR serverName;  // Register only
        };

        void Register(DWORD cookie, LONG clientId, LONG serverId, const XVQComBSTR& serverName);
        void Deregister(DWORD cookie, LONG clientId);
        void RemoveServerEmergencyHandler(DWORD cookie);
        unsigned GetUserInteractionTimeout() const;

        // Read-back and settings for tests and diagnostics.
        void SetUserInteractionTimeout(unsigned seconds);
        std::map<DWORD, Registration> Registrations() const;
        // The most recent kMaxRecordedCalls calls, oldest first.
        enum : std::size_t { kMaxRecordedCalls = 1000 };
        std::vector<Call> Calls() const;
        // The next `calls` calls of Register, Deregister and RemoveServerEmergencyHandler throw
        // std::runtime_error and change nothing.
        void FailNext(unsigned calls);
        void Reset();  // empties registry and call record, restores the default time-out, fails nothing

      private:
        mutable std::mutex m_lock;
        std::map<DWORD, Registration> m_registrations;
        std::deque<Call> m_calls;
        unsigned m_timeout = kDefaultUserInteractionTimeout;
        unsigned m_failures = 0;

        void FailIfAsked();  // called under m_lock
    };

    // Null while the error state is absent (see SetInstanceAbsent).
    static XVQErrorStateHandler* GetInstance();
    XClientEmergencyFailoverHandler& GetClientEmergencyFailoverHandler() { return m_failover; }

    // Test seam: while absent, GetInstance() returns null; the object itself lives on.
    static void SetInstanceAbsent(bool absent);

  private:
    XClientEmergencyFailoverHandler m_failover;
};

#if defined(_MSC_VER)
#pragma warning(pop)
#endif
