// XStateHandlerInstance: the thread registry, the handles of every thread that the module's
// scheduler started, in creation order.
//
// Contract:
// - Instance() creates the registry on first use (lock-free: racing first callers all receive the
//   one published object) and returns it; it lives until the process ends. Entries are appended by
//   XEmergencyHandlerThreadScheduler::StartThread only; a thread that ends keeps its entry and its
//   handle stays open.
// - TerminateRegisteredThreads() terminates and closes every recorded thread and empties the
//   registry, holding the registry's lock throughout; it never throws. On Linux a thread that is
//   already running cannot be terminated (vqplatform/threads.h): it runs on, only its handle is
//   closed.
// - The registry is guarded data of the ATL lock variant: touch it only through GetProxy(). It ranks
//   after the threaded task's status in the lock order (xmodule.h).
#pragma once

#include <list>

#include "Rudada64/XCComCritData.h"

class XStateHandlerInstance {
  public:
    using ThreadRegistry = XCComCritData<std::list<void*>>;

    static ThreadRegistry* Instance();
    static void TerminateRegisteredThreads();
};
