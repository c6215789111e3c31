// widl's header of VQServerEmergencyAgent.idl next to ours, its names prefixed with Widl_ so that the
// two can be compared in one translation unit, and the compile-time part of that comparison:
// interface ids (the constants and what __uuidof gives for both), record sizes and field offsets. The slots
// of widl's methods are checked at compile time from its C vtables (agent_idl_slots.c); ours against widl's
// at run time (tests/test_agent_slots.cpp), since C++ cannot read a virtual slot at compile time.
#pragma once

#include <objbase.h>
#include <oaidl.h>

#include <cstddef>

#include "VQProcessStateHandler/IVQServerEmergencyAgent.h"

#define IVQServerEmergencyAgent Widl_IVQServerEmergencyAgent
#define IVQServerIdentity Widl_IVQServerIdentity
#define EmergencyConfiguration Widl_EmergencyConfiguration
#define ServerIdentity Widl_ServerIdentity
#define IID_IVQServerEmergencyAgent Widl_IID_IVQServerEmergencyAgent
#define IID_IVQServerIdentity Widl_IID_IVQServerIdentity
#include "VQServerEmergencyAgent_h.h"
#undef IVQServerEmergencyAgent
#undef IVQServerIdentity
#undef EmergencyConfiguration
#undef ServerIdentity
#undef IID_IVQServerEmergencyAgent
#undef IID_IVQServerIdentity

namespace vqdemo::idlcheck {

constexpr bool SameGuid(const GUID& a, const GUID& b) {
    for (int i = 0; i < 8; ++i) {
        if (a.Data4[i] != b.Data4[i]) {
            return false;
        }
    }
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3;
}

static_assert(SameGuid(__uuidof(Widl_IVQServerEmergencyAgent), IID_IVQServerEmergencyAgent),
              "the IDL's IVQServerEmergencyAgent has another interface id");
static_assert(SameGuid(__uuidof(Widl_IVQServerIdentity), IID_IVQServerIdentity),
              "the IDL's IVQServerIdentity has another interface id");
static_assert(SameGuid(__uuidof(IVQServerEmergencyAgent), IID_IVQServerEmergencyAgent),
              "__uuidof(IVQServerEmergencyAgent) is not its interface id");
static_assert(SameGuid(__uuidof(IVQServerIdentity), IID_IVQServerIdentity),
              "__uuidof(IVQServerIdentity) is not its interface id");

static_assert(sizeof(Widl_EmergencyConfiguration) == sizeof(EmergencyConfiguration) &&
                  offsetof(Widl_EmergencyConfiguration, serverData) ==
                      offsetof(EmergencyConfiguration, serverData) &&
                  offsetof(Widl_EmergencyConfiguration, activation) ==
                      offsetof(EmergencyConfiguration, activation) &&
                  offsetof(Widl_EmergencyConfiguration, emergencyStateMask) ==
                      offsetof(EmergencyConfiguration, emergencyStateMask),
              "the IDL's EmergencyConfiguration has another layout");
static_assert(sizeof(Widl_ServerIdentity) == sizeof(ServerIdentity) &&
                  offsetof(Widl_ServerIdentity, serverName) == offsetof(ServerIdentity, serverName) &&
                  offsetof(Widl_ServerIdentity, serverId) == offsetof(ServerIdentity, serverId) &&
                  offsetof(Widl_ServerIdentity, reserved) == offsetof(ServerIdentity, reserved),
              "the IDL's ServerIdentity has another layout");

}  // namespace vqdemo::idlcheck
