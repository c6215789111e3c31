// The method order of widl's interfaces against ours: an object that implements ours, called through
// widl's, must run the method of the same name. (Interface ids and records: GeneratedAgentHeader.h.)
#include <gtest/gtest.h>

#include <memory>

#include "com/GeneratedAgentHeader.h"

namespace {

// Each method answers its virtual slot (counted from 0, with IUnknown's three) as a success code.
class XSlotAgent : public IVQServerEmergencyAgent, public IVQServerIdentity {
  public:
    virtual ~XSlotAgent() = default;
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID, void**) override { return E_NOTIMPL; }
    ULONG STDMETHODCALLTYPE AddRef() override { return 1; }
    ULONG STDMETHODCALLTYPE Release() override { return 1; }

    HRESULT STDMETHODCALLTYPE GetServerEmergencyState(DWORD*) override { return 3; }
    HRESULT STDMETHODCALLTYPE SetServerEmergencyState(DWORD) override { return 4; }
    HRESULT STDMETHODCALLTYPE GetServerEmergencyStateText(DWORD, BSTR*) override { return 5; }
    HRESULT STDMETHODCALLTYPE GetServerEmergencyStateAge(DWORD*) override { return 6; }
    HRESULT STDMETHODCALLTYPE AcknowledgeServerEmergency(DWORD, BSTR) override { return 7; }
    HRESULT STDMETHODCALLTYPE SetEmergencyConfiguration(EmergencyConfiguration*) override { return 8; }
    HRESULT STDMETHODCALLTYPE GetEmergencyConfiguration(EmergencyConfiguration*) override { return 9; }
    HRESULT STDMETHODCALLTYPE GetEmergencyClientCount(LONG*) override { return 10; }
    HRESULT STDMETHODCALLTYPE GetEmergencyClient(LONG, DWORD*, BSTR*) override { return 11; }
    HRESULT STDMETHODCALLTYPE GetFailoverServerName(BSTR*) override { return 12; }
    HRESULT STDMETHODCALLTYPE SetFailoverServerName(BSTR) override { return 13; }
    HRESULT STDMETHODCALLTYPE StartEmergencyDrill(DWORD) override { return 14; }
    HRESULT STDMETHODCALLTYPE StopEmergencyDrill() override { return 15; }
    HRESULT STDMETHODCALLTYPE CancelClientEmergencyFailover(DWORD, BSTR) override { return 16; }
    HRESULT STDMETHODCALLTYPE RequestClientEmergencyFailover(DWORD, BSTR, LONG*) override { return 17; }

    HRESULT STDMETHODCALLTYPE GetServerId(DWORD*) override { return 3; }
    HRESULT STDMETHODCALLTYPE GetServerName(BSTR*) override { return 4; }
    HRESULT STDMETHODCALLTYPE GetServerVersion(BSTR*) override { return 5; }
    HRESULT STDMETHODCALLTYPE GetServerProcessId(DWORD*) override { return 6; }
    HRESULT STDMETHODCALLTYPE GetServerComputerName(BSTR*) override { return 7; }
    HRESULT STDMETHODCALLTYPE GetServerIdentity(ServerIdentity*) override { return 8; }
};

TEST(AgentSlots, WidlsMethodsSitInOurSlots) {
    // The binary view a COM stub has of our object. On the heap, and its addresses read back through
    // volatiles, so that the compiler does not follow the object across the casts.
    const auto object = std::make_unique<XSlotAgent>();
    IVQServerEmergencyAgent* volatile ourAgent = object.get();
    IVQServerIdentity* volatile ourIdentity = object.get();
    auto* agent = reinterpret_cast<Widl_IVQServerEmergencyAgent*>(ourAgent);
    auto* identity = reinterpret_cast<Widl_IVQServerIdentity*>(ourIdentity);
    EXPECT_EQ(agent->GetServerEmergencyState(nullptr), 3);
    EXPECT_EQ(agent->SetServerEmergencyState(0), 4);
    EXPECT_EQ(agent->GetServerEmergencyStateText(0, nullptr), 5);
    EXPECT_EQ(agent->GetServerEmergencyStateAge(nullptr), 6);
    EXPECT_EQ(agent->AcknowledgeServerEmergency(0, nullptr), 7);
    EXPECT_EQ(agent->SetEmergencyConfiguration(nullptr), 8);
    EXPECT_EQ(agent->GetEmergencyConfiguration(nullptr), 9);
    EXPECT_EQ(agent->GetEmergencyClientCount(nullptr), 10);
    EXPECT_EQ(agent->GetEmergencyClient(0, nullptr, nullptr), 11);
    EXPECT_EQ(agent->GetFailoverServerName(nullptr), 12);
    EXPECT_EQ(agent->SetFailoverServerName(nullptr), 13);
    EXPECT_EQ(agent->StartEmergencyDrill(0), 14);
    EXPECT_EQ(agent->StopEmergencyDrill(), 15);
    EXPECT_EQ(agent->CancelClientEmergencyFailover(0, nullptr), 16);
    EXPECT_EQ(agent->RequestClientEmergencyFailover(0, nullptr, nullptr), 17);
    EXPECT_EQ(identity->GetServerId(nullptr), 3);
    EXPECT_EQ(identity->GetServerName(nullptr), 4);
    EXPECT_EQ(identity->GetServerVersion(nullptr), 5);
    EXPECT_EQ(identity->GetServerProcessId(nullptr), 6);
    EXPECT_EQ(identity->GetServerComputerName(nullptr), 7);
    EXPECT_EQ(identity->GetServerIdentity(nullptr), 8);
}

}  // namespace
