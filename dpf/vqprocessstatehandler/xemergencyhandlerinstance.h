// XEmergencyHandlerInstance: the process-wide state behind XVQProcessEmergencyHandler. It owns the
// registry of server registrations (one XClientHandler per agent registered in the Global Interface
// Table, keyed by the table's cookie), the collector of the worker's errors, the table pointer and
// the identity of the client process, and it starts the worker.
//
// Contract:
// - Instance() gives the one instance of the process, creating it and running Init() on first use.
//   Its first call also pins the module and the libraries the worker runs in (VQError64,
//   VQConvert64, VQComUtilities64, vqplatform): they stay loaded until the process ends.
//   Init() runs under the instance's own lock, one thread at a time.
// - Registry, exception logger, table pointer and client identity are guarded data, each with a
//   lock of its own. Lock order: registry before table, logger and identity, ranked so (xmodule.h)
//   and checked where the check is built in; the table's lock is never held while the registry's is
//   taken.
// - Client threads call AddHandler, RemoveHandler, AddClientId and RemoveClientId; the worker
//   calls GetServerEmergencyAgentFromGIT inside its registry write proxy.
// - The passes and the worker-end dispatch mark their thread, whatever the instance. The exported
//   functions call RefuseInsidePass before they reach the instance: a callback that calls the
//   library back gets an error and changes nothing, not even the creation of the instance.
// - Throws: AddHandler the table's creation and registration errors (XWrappedVQException; nothing
//   is recorded then), AddClientId for a handler without registration. Init logs a failing computer
//   name and goes on. RemoveHandler, RemoveClientId and RevokeFromGIT report nothing; only lock and
//   allocation errors of the guarded data leave them. GetServerEmergencyAgentFromGIT throws when
//   the table refuses the cookie.
// - Test seams: any number of instances besides the process-wide one can be made; InstanceIn runs
//   the algorithm of Instance() on a slot of the caller's; the worker starter replaces the start of
//   the worker at the end of Init().
#pragma once

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <set>

#include "Rudada64/XBasicCritSection.h"
#include "VQError/VQError.h"
#include "VQProcessStateHandler/IVQServerEmergencyAgent.h"
#include "VQProcessStateHandler/XClientEmergencyHandler.h"
#include "vqplatform/platform.h"

class XEmergencyHandlerTask;

class XEmergencyHandlerInstance {
  public:
    // The agent's identity as recorded at registration and passed to the failover registry.
    struct XServerIdentity {
        DWORD m_dwServerId = 0xFFFFFFFF;
        XVQComBSTR m_bstrServerName;
    };

    // One server registration.
    struct XClientHandler {
        // Handler -> its client connection ids. A null handler is kept like any other but never
        // called back.
        std::map<XClientEmergencyHandler*, std::set<LONG>> m_handlers;
        // 0xFFFFFFFF until the agent reports a state.
        DWORD m_dwLastServerState = 0xFFFFFFFF;
        // 1 once the client failover step has run for this registration.
        LONG m_lFailoverMark = 0;
        // True while the last state change was judged an emergency.
        bool m_bEmergency = false;
        // GetTickCount() when an emergency was first seen; 0: none yet.
        DWORD m_dwEmergencyStartTick = 0;
        XServerIdentity m_serverIdentity;
    };

    // The client process as the failover request names it to the agents.
    struct XClientIdentity {
        DWORD m_dwProcessId = 0xFFFFFFFF;
        XVQComBSTR m_bstrComputerName;
    };

    using ClientHandlerMap = std::map<DWORD, XClientHandler>;

    // The registrations with the indexes that reach them fast, as one guarded value: they change
    // together, under one lock, and only through the registry's proxies.
    struct XRegistry {
        ClientHandlerMap registrations;
        // (handler, cookie) of every handler entry, ascending: a handler's registrations without a
        // walk of all of them.
        std::set<std::pair<XClientEmergencyHandler*, DWORD>> handlerCookies;
        // Registrations left without handlers by a removal that failed half-way (its call of the
        // failover registry threw); the next removal of any handler finishes them.
        std::set<DWORD> emptyCookies;

        // Files `pHandler` under `dwCookie` in a new registration. Strong guarantee: on a throw
        // nothing is recorded.
        void Add(DWORD dwCookie, XClientEmergencyHandler* pHandler, const XServerIdentity& identity);
        // Erases the registration with its index entries; returns the one that followed it.
        ClientHandlerMap::iterator Erase(ClientHandlerMap::iterator it) noexcept;
    };
    using WorkerStarter = std::function<void(XEmergencyHandlerInstance&)>;
    using Factory = std::function<XEmergencyHandlerInstance*()>;

    // Fields at their initial values: empty registry, logger of 100, no table, process id
    // 0xFFFFFFFF, empty computer name.
    XEmergencyHandlerInstance();
    // The same; `startWorker` runs as the last step of the first Init() in place of the worker's
    // own start (tests).
    explicit XEmergencyHandlerInstance(WorkerStarter startWorker);
    // The teardown stops the worker and releases the table before it deletes; a worker or a table
    // still held here (a teardown that failed half-way, an instance of a test) goes with the
    // instance, the worker first, before the fields it uses.
    virtual ~XEmergencyHandlerInstance();

    XEmergencyHandlerInstance(const XEmergencyHandlerInstance&) = delete;
    XEmergencyHandlerInstance& operator=(const XEmergencyHandlerInstance&) = delete;

    // The process-wide instance, created and initialised on first use.
    static XEmergencyHandlerInstance* Instance();
    // The algorithm of Instance() on `slot`: a thread that finds it empty makes an instance with
    // `create`, installs it by compare-and-exchange (a loser deletes its own) and runs Init() on the
    // installed one.
    static XEmergencyHandlerInstance* InstanceIn(std::atomic<XEmergencyHandlerInstance*>& slot,
                                                 const Factory& create);

    // Records the process id and the computer name, then starts the worker.
    void Init();

    // Registers the agent in the Global Interface Table and files `pHandler` under the new cookie.
    void AddHandler(XClientEmergencyHandler* const pHandler,
                    const ATL::CComPtr<IVQServerEmergencyAgent>& ptrAgent);
    // Removes `pHandler` from every registration; a registration left empty leaves the failover
    // registry and the table.
    void RemoveHandler(XClientEmergencyHandler* const pHandler);
    // Creates the table when needed and registers the agent; returns the cookie.
    DWORD RegisterInGIT(const ATL::CComPtr<IVQServerEmergencyAgent>& ptrAgent);
    // The agent under `dwCookie`, usable on the calling thread; empty without table or for cookie 0.
    ATL::CComPtr<IVQServerEmergencyAgent> GetServerEmergencyAgentFromGIT(DWORD dwCookie);
    void RevokeFromGIT(DWORD dwCookie) noexcept;
    // Releases the table (teardown); registered cookies are not revoked.
    void ReleaseGIT();

    // Adds the id to the handler's first registration and to the failover registry.
    void AddClientId(XClientEmergencyHandler* const pHandler, LONG lClientId);
    // Removes the id from every registration of the handler and from the failover registry.
    void RemoveClientId(XClientEmergencyHandler* const pHandler, LONG lClientId);

    // Teardown. Nothing in the module calls these: the worker and the instance live until the
    // process ends. StopTask wakes the worker, stops it, waits for its end and deletes it.
    void StopTask();
    // Empties the process-wide slot, stops the worker, clears the registry (no callbacks, no
    // revocations, nothing deregistered), releases the table and deletes the instance; never throws.
    static void DestroyInstance();
    // The algorithm of DestroyInstance() on `slot` (tests).
    static void DestroyInstanceIn(std::atomic<XEmergencyHandlerInstance*>& slot) noexcept;
    // DestroyInstance, then TerminateRegisteredThreads of the thread registry.
    static void ShutdownStateHandler();
    // The worker task; null until Init() starts it (and after StopTask).
    XEmergencyHandlerTask* Task() const noexcept { return m_pTask.get(); }

    // Marks the calling thread, for the marker's lifetime, as running a pass or the worker-end
    // dispatch of some instance. Agents and callbacks called meanwhile run on this thread under the
    // registry's lock, so the exported functions refuse to run on it (RefuseInsidePass).
    class XPassScope {
      public:
        XPassScope() noexcept;
        ~XPassScope();
        XPassScope(const XPassScope&) = delete;
        XPassScope& operator=(const XPassScope&) = delete;

      private:
        // Whether the thread was marked already (a dispatch inside a pass).
        bool m_bOuter;
    };
    // Throws E_ILLEGAL_METHOD_CALL, written to the log book first, when the calling thread is inside
    // an XPassScope; `functionName` names the refused function. Otherwise does nothing.
    static void RefuseInsidePass(const XVQComBSTR& functionName);

    // Guarded fields, for the worker's passes and for tests.
    XCritData<XRegistry>& Registry() noexcept { return m_registry; }
    XCritData<XVQExcepRefLogger>& ExceptionLogger() noexcept { return m_excepLogger; }
    // The client process identity as Init() recorded it (0xFFFFFFFF and empty before).
    DWORD GetClientProcessId() const;
    XVQComBSTR GetClientComputerName() const;

  private:
    // The worker seam and Init()'s last step, run under Init()'s lock: creates the emergency handler
    // task (cycle interval 10 s) when the instance has none and starts it with this instance as its
    // owner; its errors reach the caller of Init(). A creation that failed leaves no task, so a
    // later Init() (a racing first call) creates it; a task whose Start failed stays and is not
    // started again. An injected starter runs in place of the module's own start until one returns.
    void StartWorkerTask();

    std::unique_ptr<XEmergencyHandlerTask> m_pTask;
    XCritData<XRegistry> m_registry;
    XCritData<XVQExcepRefLogger> m_excepLogger;
    // The table pointer with the table's one reference, released by ReleaseGIT or else with the
    // instance. A CComPtr in a record, as guarded data takes its value's address, which CComPtr's
    // operator& gives as an out-parameter. Never copied: users borrow the raw pointer, so that the
    // table sees no Release but that one.
    struct XInterfaceTable {
        ATL::CComPtr<IGlobalInterfaceTable> ptr;
    };
    XCritData<XInterfaceTable> m_pGIT;
    // Written by Init(); the worker reads it while a thread that lost the first-call race may still
    // be rewriting it.
    // Mutable like a lock: reading it through a proxy locks it.
    mutable XCritData<XClientIdentity> m_clientIdentity;

    // Serialises Init(): one task is created, and the identity is written by one thread at a time.
    std::mutex m_initLock;
    WorkerStarter m_startWorker;
    // Whether the injected starter has returned (guarded by m_initLock).
    bool m_bWorkerStarted = false;

    // Worker passes and agent error dispatch (xemergencyhandlerinstance_passes.cpp). They run on the
    // worker thread (or a test's thread, on an instance that is not the process-wide one), in the
    // multithreaded apartment. Each pass holds the registry's write proxy from start to end, across
    // agent calls and client callbacks; errors of agents and callbacks go to the exception logger
    // (registry lock first, logger lock second). Only a failed agent lookup in the table leaves a
    // pass, as the table's XWrappedVQException. Each pass and the instance-wide dispatch run inside
    // an XPassScope.
  public:
    // Polls every registration's agent; announces a changed state to its handlers, judged against
    // the server's emergency configuration. A failed poll dispatches an agent error and drops the
    // registration (its table entry and failover registrations stay).
    void HandleServerEmergencyState();
    // Requests the client emergency failover, once per registration, for registrations in an
    // emergency whose failover wait has not run out, and tells their handlers when the server
    // accepts.
    void HandleClientEmergencyFailoverState();
    // OnAgentError(`agentErrorKind`) to every non-null handler of `record`; the caller holds the
    // registry's proxy. A throwing handler is collected and the next one is called.
    void DispatchAgentError(const XClientHandler& record, DWORD agentErrorKind);
    // The same for every registration, under the registry's read proxy (the worker's end).
    void DispatchAgentError(DWORD agentErrorKind);
    // True when a failed `hr` means the server or the connection to it is lost (agent error kind 1
    // rather than 3).
    static bool IsCommunicationFailure(HRESULT hr);
};
