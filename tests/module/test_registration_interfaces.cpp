// The binary layout of the public interfaces: a server or client built by another compiler reaches
// each method through its virtual slot, so the slots are checked as such a caller uses them.
//
// Each entry is read from the object's table of virtual functions and called as a plain function
// with the interface pointer as first argument. That is the COM calling convention, which GCC and
// MinGW follow for these single-inheritance interfaces (the table pointer points at slot 0); it is
// not portable C++, and it is what makes the check meaningful.
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "support/RecordingHandler.h"
#include "support/TestAgent.h"

namespace vqtest {
namespace {

template <class Fn, class Interface>
Fn Slot(Interface* object, int index) {
    void* const* table = *reinterpret_cast<void* const* const*>(object);
    return reinterpret_cast<Fn>(table[index]);
}

// Servers built elsewhere answer QueryInterface for these very ids, as the system's objects do.
TEST(InterfaceLayoutTest, InterfaceIdsAreThePublishedOnes) {
    const GUID agent = {0x903E543A, 0xF3A0, 0x49D9, {0xB1, 0xBC, 0x23, 0x58, 0x9C, 0xF6, 0x6E, 0xF6}};
    const GUID identity = {0x9DD35ABC, 0x28DD, 0x48A1, {0x9D, 0x79, 0x62, 0x07, 0x7D, 0xF8, 0xA5, 0xCD}};
    EXPECT_TRUE(IsEqualGUID(IID_IVQServerEmergencyAgent, agent));
    EXPECT_TRUE(IsEqualGUID(IID_IVQServerIdentity, identity));
    // The system's, which the platform layer on Linux defines itself.
    const GUID unknown = {0x00000000, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    const GUID table = {0x00000146, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    const GUID tableClass = {0x00000323, 0, 0, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
    EXPECT_TRUE(IsEqualGUID(IID_IUnknown, unknown) && IsEqualGUID(IID_IGlobalInterfaceTable, table) &&
                IsEqualGUID(CLSID_StdGlobalInterfaceTable, tableClass));
}

TEST(InterfaceLayoutTest, MethodsSitInTheirSlots) {
    auto agent = TestAgent::Create(IdentityMode::Named, 9, L"srv");
    IVQServerEmergencyAgent* const itf = agent;
    IVQServerIdentity* const identity = agent;
    DWORD state = 0;
    EmergencyConfiguration configuration = {};
    LONG result = 0;
    ServerIdentity record = {};
    // The 1st, 7th and 15th method after the three of IUnknown; the 6th of the identity interface.
    Slot<HRESULT(STDMETHODCALLTYPE*)(IVQServerEmergencyAgent*, DWORD*)>(itf, 3)(itf, &state);
    Slot<HRESULT(STDMETHODCALLTYPE*)(IVQServerEmergencyAgent*, EmergencyConfiguration*)>(itf, 9)(
        itf, &configuration);
    Slot<HRESULT(STDMETHODCALLTYPE*)(IVQServerEmergencyAgent*, DWORD, BSTR, LONG*)>(itf, 17)(itf, 77, nullptr,
                                                                                             &result);
    Slot<HRESULT(STDMETHODCALLTYPE*)(IVQServerIdentity*, ServerIdentity*)>(identity, 8)(identity, &record);
    SysFreeString(record.serverName);
    std::vector<AgentMethod> methods;
    for (const AgentCall& call : agent->Calls()) {
        methods.push_back(call.method);
    }
    EXPECT_EQ(methods, (std::vector<AgentMethod>{
                           AgentMethod::GetServerEmergencyState, AgentMethod::GetEmergencyConfiguration,
                           AgentMethod::RequestClientEmergencyFailover, AgentMethod::GetServerIdentity}));
    EXPECT_EQ(std::make_tuple(agent->Calls().at(2).processId, record.serverId), std::make_tuple(77u, 9u));

    Journal journal;
    RecordingHandler handler(journal);
    XClientEmergencyHandler* const client = &handler;
    Slot<void (*)(XClientEmergencyHandler*, DWORD, LONG)>(client, 0)(client, 0xAB, 2);
    Slot<void (*)(XClientEmergencyHandler*, DWORD)>(client, 1)(client, 3);
    Slot<void (*)(XClientEmergencyHandler*, LONG, DWORD)>(client, 2)(client, 2, 0x55);
    const auto events = journal.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(std::make_tuple(events[0].slot, events[0].first, events[1].slot, events[1].first,
                              events[2].slot, events[2].second),
              std::make_tuple(HandlerSlot::ServerEmergencyState, 0xABu, HandlerSlot::AgentError, 3u,
                              HandlerSlot::ClientEmergencyFailover, 0x55u));
}

}  // namespace
}  // namespace vqtest
