/* The virtual slots of widl's interfaces, read from its C vtable structures at compile time: the
 * positions that IVQServerEmergencyAgent.h gives each method (counted from 0, with IUnknown's three).
 * That our C++ interfaces put their methods in these slots too is checked at run time by
 * test_com_agent (tests/test_agent_slots.cpp). */
#include <stddef.h>

#include "VQServerEmergencyAgent_h.h"

#define VQ_SLOT(vtbl, method, slot) \
    _Static_assert(offsetof(vtbl, method) == (slot) * sizeof(void*), #method " is not in slot " #slot)

VQ_SLOT(IVQServerEmergencyAgentVtbl, GetServerEmergencyState, 3);
VQ_SLOT(IVQServerEmergencyAgentVtbl, SetServerEmergencyState, 4);
VQ_SLOT(IVQServerEmergencyAgentVtbl, GetServerEmergencyStateText, 5);
VQ_SLOT(IVQServerEmergencyAgentVtbl, GetServerEmergencyStateAge, 6);
VQ_SLOT(IVQServerEmergencyAgentVtbl, AcknowledgeServerEmergency, 7);
VQ_SLOT(IVQServerEmergencyAgentVtbl, SetEmergencyConfiguration, 8);
VQ_SLOT(IVQServerEmergencyAgentVtbl, GetEmergencyConfiguration, 9);
VQ_SLOT(IVQServerEmergencyAgentVtbl, GetEmergencyClientCount, 10);
VQ_SLOT(IVQServerEmergencyAgentVtbl, GetEmergencyClient, 11);
VQ_SLOT(IVQServerEmergencyAgentVtbl, GetFailoverServerName, 12);
VQ_SLOT(IVQServerEmergencyAgentVtbl, SetFailoverServerName, 13);
VQ_SLOT(IVQServerEmergencyAgentVtbl, StartEmergencyDrill, 14);
VQ_SLOT(IVQServerEmergencyAgentVtbl, StopEmergencyDrill, 15);
VQ_SLOT(IVQServerEmergencyAgentVtbl, CancelClientEmergencyFailover, 16);
VQ_SLOT(IVQServerEmergencyAgentVtbl, RequestClientEmergencyFailover, 17);
_Static_assert(sizeof(IVQServerEmergencyAgentVtbl) == 18 * sizeof(void*),
               "IVQServerEmergencyAgent has 18 slots");

VQ_SLOT(IVQServerIdentityVtbl, GetServerId, 3);
VQ_SLOT(IVQServerIdentityVtbl, GetServerName, 4);
VQ_SLOT(IVQServerIdentityVtbl, GetServerVersion, 5);
VQ_SLOT(IVQServerIdentityVtbl, GetServerProcessId, 6);
VQ_SLOT(IVQServerIdentityVtbl, GetServerComputerName, 7);
VQ_SLOT(IVQServerIdentityVtbl, GetServerIdentity, 8);
_Static_assert(sizeof(IVQServerIdentityVtbl) == 9 * sizeof(void*), "IVQServerIdentity has 9 slots");
