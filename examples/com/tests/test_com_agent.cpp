// The library against real COM remoting: the demo's local server (vqdemo_com_server) in processes of
// its own, reached through widl's proxy/stub (vqdemo_agent_ps.dll). The worker's passes run directly
// for the scenario step by step; the real worker runs once, for one 10-second cycle.
#include <windows.h>

#include <objbase.h>

#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "VQProcessStateHandler/XVQProcessEmergencyHandler.h"
#include "agent_server/XDemoServerAgent.h"
#include "support/RecordingHandler.h"
#include "xemergencyhandlerinstance.h"

namespace {

using vqtest::HandlerSlot;

std::wstring BinaryDir() {
    wchar_t path[MAX_PATH] = {};
    GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir = path;
    return dir.substr(0, dir.find_last_of(L"\\/") + 1);
}

// Runs vqdemo_com_server with `arguments` to its end; its exit code, or -1 when it did not start.
long RunServerCommand(const std::wstring& arguments) {
    std::wstring command = L"\"" + BinaryDir() + L"vqdemo_com_server.exe\" " + arguments;
    STARTUPINFOW startup{};
    startup.cb = sizeof(startup);
    PROCESS_INFORMATION process{};
    if (!CreateProcessW(nullptr, command.data(), nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                        &process)) {
        return -1;
    }
    WaitForSingleObject(process.hProcess, INFINITE);
    DWORD code = 0;
    GetExitCodeProcess(process.hProcess, &code);
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return static_cast<long>(code);
}

class ComAgentTest : public ::testing::Test {
  protected:
    struct Server {
        std::wstring classId;
        HANDLE process = nullptr;
    };

    void SetUp() override {
        ASSERT_TRUE(SUCCEEDED(CoInitializeEx(nullptr, COINIT_MULTITHREADED)));
        // COM finds the proxy/stub of the agent interfaces through its registration.
        const HMODULE proxyStub = LoadLibraryW((BinaryDir() + L"vqdemo_agent_ps.dll").c_str());
        ASSERT_NE(proxyStub, nullptr);
        const auto registerServer = reinterpret_cast<HRESULT(STDAPICALLTYPE*)()>(
            reinterpret_cast<void*>(GetProcAddress(proxyStub, "DllRegisterServer")));
        ASSERT_NE(registerServer, nullptr);
        EXPECT_EQ(registerServer(), S_OK);
        FreeLibrary(proxyStub);
    }

    void TearDown() override {
        for (Server& server : m_servers) {
            Kill(server);
            EXPECT_EQ(RunServerCommand(L"/UnregServer --class-id " + server.classId), 0);
        }
        CoUninitialize();
    }

    // A server process of a class of its own, which COM starts from the class's LocalServer32 entry
    // (Wine keeps a killed server's class until its wineserver ends: a class is never reused).
    ATL::CComPtr<IVQServerEmergencyAgent> Launch() {
        GUID classId{};
        wchar_t text[40] = {};
        EXPECT_EQ(CoCreateGuid(&classId), S_OK);
        StringFromGUID2(classId, text, 40);
        m_servers.push_back({text, nullptr});
        EXPECT_EQ(RunServerCommand(L"/RegServer --class-id " + m_servers.back().classId), 0);
        ATL::CComPtr<IVQServerEmergencyAgent> agent;
        EXPECT_EQ(CoCreateInstance(classId, nullptr, CLSCTX_LOCAL_SERVER, __uuidof(IVQServerEmergencyAgent),
                                   reinterpret_cast<void**>(&agent)),
                  S_OK);
        ATL::CComPtr<IVQServerIdentity> identity;
        DWORD processId = 0;
        if (agent &&
            SUCCEEDED(
                agent->QueryInterface(__uuidof(IVQServerIdentity), reinterpret_cast<void**>(&identity))) &&
            SUCCEEDED(identity->GetServerProcessId(&processId))) {
            m_servers.back().process = OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, processId);
        }
        EXPECT_NE(m_servers.back().process, nullptr);
        return agent;
    }

    // Kills the server as a crash would: no COM shutdown in it.
    static void Kill(Server& server) {
        if (server.process != nullptr) {
            TerminateProcess(server.process, 1);
            WaitForSingleObject(server.process, INFINITE);
            CloseHandle(server.process);
            server.process = nullptr;
        }
    }

    // The client processes the server failed over in its current emergency.
    static std::vector<DWORD> FailedOver(IVQServerEmergencyAgent* agent) {
        LONG count = 0;
        std::vector<DWORD> processes;
        for (LONG i = 0; SUCCEEDED(agent->GetEmergencyClientCount(&count)) && i < count; ++i) {
            DWORD process = 0;
            BSTR computer = nullptr;
            EXPECT_EQ(agent->GetEmergencyClient(i, &process, &computer), S_OK);
            SysFreeString(computer);
            processes.push_back(process);
        }
        return processes;
    }

    std::vector<Server> m_servers;
    vqtest::Journal m_journal;
};

using Events = std::vector<std::pair<HandlerSlot, std::pair<DWORD, DWORD>>>;

Events EventsOf(const vqtest::RecordingHandler& handler) {
    Events events;
    for (const vqtest::HandlerEvent& event : handler.Events()) {
        events.push_back({event.slot, {event.first, event.second}});
    }
    return events;
}

TEST_F(ComAgentTest, PassesSeeStateEmergencyFailoverAndTheKilledServerThroughTheProxy) {
    XEmergencyHandlerInstance instance([](XEmergencyHandlerInstance&) {});
    instance.Init();
    vqtest::RecordingHandler handler(m_journal);
    const ATL::CComPtr<IVQServerEmergencyAgent> agent = Launch();
    ASSERT_TRUE(agent);
    instance.AddHandler(&handler, agent);
    const DWORD cookie = instance.Registry().Read().registrations.begin()->first;

    instance.HandleServerEmergencyState();
    ASSERT_EQ(agent->SetServerEmergencyState(vqdemo::kEmergencyState), S_OK);
    instance.HandleServerEmergencyState();
    instance.HandleClientEmergencyFailoverState();
    EXPECT_EQ(FailedOver(agent), std::vector<DWORD>{GetCurrentProcessId()});
    // The test keeps its proxy, as a client should: the pass gets that proxy from the table, and the
    // killed server shows in the call (a proxy unmarshaled anew would have to reach the server).
    Kill(m_servers.back());
    instance.HandleServerEmergencyState();

    const Events expected = {{HandlerSlot::ServerEmergencyState, {vqdemo::kNormalState, 1}},
                             {HandlerSlot::ServerEmergencyState, {vqdemo::kEmergencyState, 2}},
                             {HandlerSlot::ClientEmergencyFailover, {2, cookie}},
                             {HandlerSlot::AgentError, {1, 0}}};
    EXPECT_EQ(EventsOf(handler), expected);
    EXPECT_TRUE(instance.Registry().Read().registrations.empty());
    instance.ReleaseGIT();
}

// The only test that waits for the worker's 10-second cycle. One server is in an emergency, the
// other killed after its registration: the first cycle sees both.
TEST_F(ComAgentTest, TheWorkerWatchesServersInOtherProcesses) {
    const ATL::CComPtr<IVQServerEmergencyAgent> watched = Launch();
    const ATL::CComPtr<IVQServerEmergencyAgent> lost = Launch();
    ASSERT_TRUE(watched && lost);
    ASSERT_EQ(watched->SetServerEmergencyState(vqdemo::kEmergencyState), S_OK);
    vqtest::RecordingHandler watching(m_journal);
    vqtest::RecordingHandler losing(m_journal);
    XVQProcessEmergencyHandler::RegisterServerEmergencyHandler(&watching, watched);
    XVQProcessEmergencyHandler::RegisterServerEmergencyHandler(&losing, lost);
    Kill(m_servers.back());

    EXPECT_TRUE(m_journal.WaitForCount(3, std::chrono::seconds(30)));
    XVQProcessEmergencyHandler::DeregisterServerEmergencyHandler(&watching);
    XVQProcessEmergencyHandler::DeregisterServerEmergencyHandler(&losing);
    const Events watchingSaw = EventsOf(watching);
    ASSERT_EQ(watchingSaw.size(), 2u);
    EXPECT_EQ(watchingSaw[0],
              Events::value_type(HandlerSlot::ServerEmergencyState, {vqdemo::kEmergencyState, 2}));
    EXPECT_EQ(watchingSaw[1].first, HandlerSlot::ClientEmergencyFailover);
    EXPECT_EQ(watchingSaw[1].second.first, 2u);
    EXPECT_EQ(EventsOf(losing), (Events{{HandlerSlot::AgentError, {1, 0}}}));
    EXPECT_EQ(FailedOver(watched), std::vector<DWORD>{GetCurrentProcessId()});
}

}  // namespace
