// The binary layout of the public interfaces: a server or client built by another compiler reaches
// each method through its virtual slot, so the slots are checked as such a caller uses them.
//
// Each test reads an object's table of virtual functions and calls one entry as a plain function
// with the interface pointer as first argument. That is the COM calling convention, which GCC and
// MinGW follow for these single-inheritance interfaces (the table pointer points at slot 0); it is
// not portable C++, and it is what makes the check meaningful.
#include <gtest/gtest.h>

#include "support/RecordingHandler.h"
#include "support/TestAgent.h"

namespace vqtest {
namespace {

template <class Fn, class Interface>
Fn Slot(Interface* object, int index) {
    void* const* table = *reinterpret_cast<void* const* const*>(object);
    return reinterpret_cast<Fn>(table[index]);
}

TEST(InterfaceLayoutTest, AgentMethodsSitInTheirSlots) {
    auto agent = TestAgent::Create();
    IVQServerEmergencyAgent* const itf = agent->AsAgent();
    agent->State().Queue({S_OK, 0x1234});
    agent->Configuration().Queue({S_OK, 1, 0x0F0});
    agent->Failover().Queue({S_OK, 5});

    // 1st, 7th and 15th method after the three of IUnknown.
    DWORD state = 0;
    using GetState = HRESULT(STDMETHODCALLTYPE*)(IVQServerEmergencyAgent*, DWORD*);
    EXPECT_EQ(Slot<GetState>(itf, 3)(itf, &state), S_OK);
    EXPECT_EQ(state, 0x1234u);

    EmergencyConfiguration configuration = {};
    using GetConfiguration = HRESULT(STDMETHODCALLTYPE*)(IVQServerEmergencyAgent*, EmergencyConfiguration*);
    EXPECT_EQ(Slot<GetConfiguration>(itf, 9)(itf, &configuration), S_OK);
    EXPECT_EQ(configuration.activation, 1);
    EXPECT_EQ(configuration.emergencyStateMask, 0x0F0u);

    LONG result = 0;
    BSTR computer = SysAllocString(L"HOST");
    using RequestFailover = HRESULT(STDMETHODCALLTYPE*)(IVQServerEmergencyAgent*, DWORD, BSTR, LONG*);
    EXPECT_EQ(Slot<RequestFailover>(itf, 17)(itf, 77, computer, &result), S_OK);
    SysFreeString(computer);
    EXPECT_EQ(result, 5);

    const auto calls = agent->Calls();
    ASSERT_EQ(calls.size(), 3u);
    EXPECT_EQ(calls[0].method, AgentMethod::GetServerEmergencyState);
    EXPECT_EQ(calls[1].method, AgentMethod::GetEmergencyConfiguration);
    EXPECT_EQ(calls[2].method, AgentMethod::RequestClientEmergencyFailover);
    EXPECT_EQ(calls[2].processId, 77u);
    EXPECT_EQ(calls[2].computerName, L"HOST");
}

TEST(InterfaceLayoutTest, GetServerIdentitySitsInSlotEight) {
    auto agent = TestAgent::Create(IdentityMode::Named, 9, L"srv");
    IVQServerIdentity* itf = nullptr;
    ASSERT_EQ(agent->QueryInterface(IID_IVQServerIdentity, reinterpret_cast<void**>(&itf)), S_OK);

    ServerIdentity record = {};
    using GetIdentity = HRESULT(STDMETHODCALLTYPE*)(IVQServerIdentity*, ServerIdentity*);
    Slot<GetIdentity>(itf, 8)(itf, &record);
    itf->Release();

    EXPECT_EQ(record.serverId, 9u);
    ASSERT_NE(record.serverName, nullptr);
    EXPECT_STREQ(record.serverName, L"srv");
    SysFreeString(record.serverName);
    EXPECT_EQ(agent->CallCount(AgentMethod::GetServerIdentity), 1u);
}

TEST(InterfaceLayoutTest, HandlerCallbacksSitInSlotsZeroToTwo) {
    Journal journal;
    RecordingHandler handler(journal);
    XClientEmergencyHandler* const itf = &handler;

    using OnState = void (*)(XClientEmergencyHandler*, DWORD, LONG);
    using OnError = void (*)(XClientEmergencyHandler*, DWORD);
    using OnFailover = void (*)(XClientEmergencyHandler*, LONG, DWORD);
    Slot<OnState>(itf, 0)(itf, 0xAB, 2);
    Slot<OnError>(itf, 1)(itf, 3);
    Slot<OnFailover>(itf, 2)(itf, 2, 0x55);

    const auto events = journal.Events();
    ASSERT_EQ(events.size(), 3u);
    EXPECT_EQ(events[0].slot, HandlerSlot::ServerEmergencyState);
    EXPECT_EQ(events[0].first, 0xABu);
    EXPECT_EQ(events[0].second, 2u);
    EXPECT_EQ(events[1].slot, HandlerSlot::AgentError);
    EXPECT_EQ(events[1].first, 3u);
    EXPECT_EQ(events[2].slot, HandlerSlot::ClientEmergencyFailover);
    EXPECT_EQ(events[2].first, 2u);
    EXPECT_EQ(events[2].second, 0x55u);
}

}  // namespace
}  // namespace vqtest
