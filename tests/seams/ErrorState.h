// The error component's error state as the tests steer and watch it. The component holds no test
// hook: the test program replaces its exported calls (seams/Interposition.h) to make the error state
// absent, to record the failover registry's calls and to make them fail.
#pragma once

#include <vector>

#include "VQError/XVQErrorStateHandler.h"

namespace vqtest::errorstate {

// While absent, XVQErrorStateHandler::GetInstance() returns null; the object itself lives on.
void SetAbsent(bool absent);

// One call on the failover registry, whichever object it was made on.
enum class CallKind { Register, Deregister, RemoveServerEmergencyHandler };
struct Call {
    CallKind kind;
    DWORD cookie;
    LONG clientId;          // 0 for RemoveServerEmergencyHandler
    LONG serverId;          // Register only
    XVQComBSTR serverName;  // Register only
};

// The calls since the last Reset, oldest first; failed calls are not among them.
std::vector<Call> Calls();

// The next `calls` calls of Register, Deregister and RemoveServerEmergencyHandler throw
// std::runtime_error and change nothing.
void FailNext(unsigned calls);

// Present, an empty registry, the default user-interaction time-out, no calls recorded, no failures
// armed.
void Reset();

}  // namespace vqtest::errorstate
