// The emergency handler instance outside the worker's passes: creation with its first-call race,
// Init (client identity, worker start), server registrations with the agents' table entries and
// identities, RemoveHandler through the handler index, and client connection ids with the failover
// registry.
#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <future>
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "VQError/VQError.h"
#include "components/test_error_support.h"
#include "platform/test_helpers.h"
#include "seams/ErrorState.h"
#include "seams/HostName.h"
#include "seams/PlatformSeams.h"
#include "support/ModuleTest.h"
#include "support/RecordingHandler.h"
#include "support/TestAgent.h"
#include "xemergencyhandlerinstance.h"
#include "xstatehandlerinstance.h"

namespace vqtest {
namespace {

using seams::Operation;
using FailoverKind = errorstate::CallKind;
// One call on the failover registry: kind, cookie, client id, server id, server name.
using Calls = std::vector<std::tuple<FailoverKind, DWORD, LONG, LONG, std::wstring>>;
using Handlers = std::map<XClientEmergencyHandler*, std::set<LONG>>;

constexpr FailoverKind kRegister = FailoverKind::Register;
constexpr FailoverKind kDeregister = FailoverKind::Deregister;
constexpr FailoverKind kRemoved = FailoverKind::RemoveServerEmergencyHandler;

Calls FailoverCalls() {
    Calls calls;
    for (const auto& call : errorstate::Calls()) {
        calls.emplace_back(call.kind, call.cookie, call.clientId, call.serverId, call.serverName.ToWString());
    }
    return calls;
}

using TeardownTest = ModuleTest;

// An instance of its own (its worker start replaced by a counter).
class InstanceTest : public LogBookTest {
  protected:
    void TearDown() override {
        for (const DWORD cookie : m_added) {
            instance.RevokeFromGIT(cookie);
        }
        instance.ReleaseGIT();
        LogBookTest::TearDown();
    }

    // Registers `agent` for `handler` through AddHandler; returns the new registration's cookie.
    DWORD Add(XClientEmergencyHandler* handler, TestAgent* agent) {
        const auto before = Registry();
        instance.AddHandler(handler, agent->AsAgent());
        for (const auto& entry : Registry()) {
            if (before.count(entry.first) == 0) {
                return m_added.emplace_back(entry.first);
            }
        }
        return 0;
    }
    XEmergencyHandlerInstance::ClientHandlerMap Registry() {
        return instance.Registry().Read().registrations;
    }

    std::atomic<int> workerStarts{0};
    XEmergencyHandlerInstance instance{[this](XEmergencyHandlerInstance&) { ++workerStarts; }};
    Journal journal;
    RecordingHandler handlerA{journal};
    RecordingHandler handlerB{journal};

  private:
    std::vector<DWORD> m_added;
};

TEST_F(InstanceTest, FirstCallRaceInstallsOneInstanceAndStartsOneWorker) {
    std::atomic<XEmergencyHandlerInstance*> slot{nullptr};
    // Every instance holds a copy: the count tells how many are alive.
    const auto alive = std::make_shared<int>(0);
    std::atomic<int> created{0};
    const XEmergencyHandlerInstance::Factory create = [&] {
        // Nothing is installed before two threads have made an instance: the race always has a loser.
        for (++created; created < 2;) {
            std::this_thread::yield();
        }
        return new XEmergencyHandlerInstance([this, alive](XEmergencyHandlerInstance&) { ++workerStarts; });
    };
    std::vector<std::future<XEmergencyHandlerInstance*>> calls;
    calls.reserve(8);
    for (int i = 0; i < 8; ++i) {
        calls.push_back(std::async(std::launch::async,
                                   [&] { return XEmergencyHandlerInstance::InstanceIn(slot, create); }));
    }
    std::vector<XEmergencyHandlerInstance*> results;
    results.reserve(calls.size());
    for (auto& call : calls) {
        results.push_back(call.get());  // before the slot is read: every call has ended
    }
    XEmergencyHandlerInstance* const installed = slot.load();
    EXPECT_EQ(results, std::vector<XEmergencyHandlerInstance*>(calls.size(), installed));
    ASSERT_NE(installed, nullptr);
    EXPECT_EQ(alive.use_count(), 2);  // ours and the installed one's: the losers were destroyed
    installed->Init();
    EXPECT_EQ(workerStarts, 1) << "a later Init starts no second worker";
    delete installed;
}

// A task that could not be created leaves none, so the next Init (a racing first call) creates it.
TEST(InitTest, ATaskWhoseCreationFailedIsCreatedByTheNextInit) {
    XVQLogBook::SetSink(XVQLogBook::Sink::None);
    std::atomic<XEmergencyHandlerInstance*> slot{nullptr};
    seams::FailNext(Operation::CreateEvent, 1, ERROR_NOT_ENOUGH_MEMORY);
    EXPECT_THROW(XEmergencyHandlerInstance::InstanceIn(slot, [] { return new XEmergencyHandlerInstance(); }),
                 XWrappedVQException);
    ASSERT_NE(slot.load(), nullptr);
    EXPECT_EQ(slot.load()->Task(), nullptr);
    slot.load()->Init();
    EXPECT_NE(slot.load()->Task(), nullptr);
    XEmergencyHandlerInstance::DestroyInstanceIn(slot);
    seams::ResetAll();
}

// Init records the process id and the computer name as GetComputerNameW gives them; a name that
// cannot be read is logged, and neither is recorded.
TEST_F(InstanceTest, InitRecordsTheComputerNameUnlessItCannotBeRead) {
    wchar_t name[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = MAX_COMPUTERNAME_LENGTH + 1;
    ASSERT_TRUE(GetComputerNameW(name, &size));
    for (const bool readable : {true, false}) {
        SCOPED_TRACE(readable ? "readable" : "unreadable");
        XVQLogBook::Clear();
        XEmergencyHandlerInstance fresh([](XEmergencyHandlerInstance&) {});
        if (readable) {
            fresh.Init();
        } else {
            ScopedUnreadableComputerName unreadable;
            fresh.Init();
        }
        EXPECT_EQ(fresh.GetClientProcessId(), readable ? GetCurrentProcessId() : 0xFFFFFFFFu);
        EXPECT_EQ(fresh.GetClientComputerName().ToWString(), readable ? name : L"");
        const auto entries = XVQLogBook::Entries();
        ASSERT_EQ(entries.size(), readable ? 0u : 1u);
        if (!readable) {
            EXPECT_EQ(entries.front().message, L"GetComputerName failed");
            EXPECT_EQ(entries.front().line, 283u);
            EXPECT_EQ(static_cast<DWORD>(entries.front().hr), 0x8007001Fu);  // ERROR_GEN_FAILURE
        }
    }
}

using RegistrationTest = InstanceTest;

// The identity travels with every client id to the failover registry. A null name discards the id
// too; a throwing identity call is logged and costs nothing else.
TEST_F(RegistrationTest, TheAgentsIdentityGoesWithTheClientIds) {
    const std::tuple<IdentityMode, LONG, const wchar_t*> rows[] = {{IdentityMode::None, -1, L""},
                                                                   {IdentityMode::NullName, -1, L""},
                                                                   {IdentityMode::Named, 42, L"server-A"},
                                                                   {IdentityMode::Throwing, -1, L""}};
    for (const auto& [mode, serverId, serverName] : rows) {
        SCOPED_TRACE(static_cast<int>(mode));
        ResetProcessState();
        auto agent = TestAgent::Create(mode, 42, L"server-A");
        const DWORD cookie = Add(&handlerA, agent);
        EXPECT_EQ(agent->RefCount(), 2u);  // ours and the table's; the identity interface went back
        instance.AddClientId(&handlerA, 7);
        EXPECT_EQ(FailoverCalls(), (Calls{{kRegister, cookie, 7, serverId, serverName}}));
        EXPECT_EQ(XVQLogBook::Entries().size(), mode == IdentityMode::Throwing ? 1u : 0u);
        instance.RemoveHandler(&handlerA);
    }
    EXPECT_EQ(journal.Count(), 0u);  // registering calls nothing back
}

TEST_F(RegistrationTest, ARemovalThatFailedHalfWayIsFinishedByTheNextRemoval) {
    auto agent = TestAgent::Create();
    const DWORD cookie = Add(&handlerA, agent);
    errorstate::FailNext(1);
    EXPECT_THROW(instance.RemoveHandler(&handlerA), std::runtime_error);
    instance.RemoveHandler(&handlerB);  // any later removal, of any handler
    EXPECT_TRUE(Registry().empty());
    EXPECT_EQ(FailoverCalls(), (Calls{{kRemoved, cookie, 0, 0, L""}}));
    EXPECT_EQ(agent->RefCount(), 1u) << "revoked from the table";
}

// A table that cannot be made, or that refuses the agent, is thrown; nothing is registered. A
// released table is made anew.
TEST_F(RegistrationTest, ATableOrAgentRegistrationFailureIsThrown) {
    auto agent = TestAgent::Create();
    const auto failure = [&](Operation op, DWORD hr) {
        seams::FailNext(op, 1, hr);
        return Fields(Caught([&] { instance.AddHandler(&handlerA, agent->AsAgent()); }));
    };
    const ExcepFields noTable(2, static_cast<HRESULT>(0x8007000E), 8,
                              L"CoCreateInstance IID_IGlobalInterfaceTable failed", 2, 367);
    EXPECT_EQ(failure(Operation::GitCreate, 0x8007000E), noTable);
    EXPECT_EQ(failure(Operation::GitRegister, 0x8000FFFF),
              ExcepFields(2, static_cast<HRESULT>(0x8000FFFF), 3,
                          L"RegisterInterfaceInGlobal IVQServerEmergencyAgent failed", 2, 380));
    instance.ReleaseGIT();
    EXPECT_EQ(failure(Operation::GitCreate, 0x8007000E), noTable) << "a released table is made anew";
    EXPECT_TRUE(Registry().empty() && FailoverCalls().empty());
    EXPECT_EQ(agent->RefCount(), 1u);
}

// An id goes to the handler's first registration only and leaves every registration; an id for a
// handler without registration is refused. Removing a handler removes, in cookie order, each
// registration no other handler shares. Without the error state the registry changes all the same,
// but the failover registry is not called.
TEST_F(InstanceTest, ClientIdsWithAndWithoutTheErrorState) {
    for (const bool absent : {false, true}) {
        SCOPED_TRACE(absent ? "without error state" : "with error state");
        ResetProcessState();
        auto agent = TestAgent::Create(IdentityMode::Named, 1, L"one");
        const auto [first, second] = std::minmax({Add(&handlerA, agent), Add(&handlerA, agent)});
        const DWORD other = Add(&handlerB, agent);
        errorstate::SetAbsent(absent);
        instance.AddClientId(&handlerA, 7);
        instance.AddClientId(&handlerA, 8);
        EXPECT_EQ(Registry().at(first).m_handlers, (Handlers{{&handlerA, {7, 8}}}));
        EXPECT_EQ(Registry().at(second).m_handlers, (Handlers{{&handlerA, {}}}));
        instance.RemoveClientId(&handlerA, 7);
        EXPECT_EQ(Registry().at(first).m_handlers, (Handlers{{&handlerA, {8}}}));
        RecordingHandler never(journal);
        EXPECT_THROW(instance.AddClientId(&never, 5), XWrappedVQException);
        instance.RemoveClientId(&never, 5);
        const DWORD shared = Add(&handlerA, agent);
        {
            auto proxy = instance.Registry().GetProxy();  // a second handler, which clients cannot add
            proxy->registrations.at(shared).m_handlers[&handlerB].insert(9);
            proxy->handlerCookies.emplace(&handlerB, shared);
        }
        // Never registered: deregistered all the same, from a registration it shares too, once.
        instance.RemoveClientId(&handlerA, 99);
        // The server deregistration drops the remaining id without deregistering it one by one.
        instance.RemoveHandler(&handlerA);
        instance.RemoveHandler(&handlerA);  // nothing left to remove
        EXPECT_THROW(instance.AddClientId(&handlerA, 5), XWrappedVQException);
        EXPECT_EQ(Registry().at(other).m_handlers, (Handlers{{&handlerB, {}}}));
        EXPECT_EQ(Registry().at(shared).m_handlers, (Handlers{{&handlerB, {9}}}));
        EXPECT_EQ(agent->RefCount(), 3u);  // ours and the two table entries left: both revoked
        errorstate::SetAbsent(false);
        EXPECT_EQ(FailoverCalls(), absent ? Calls{}
                                          : (Calls{{kRegister, first, 7, 1, L"one"},
                                                   {kRegister, first, 8, 1, L"one"},
                                                   {kDeregister, first, 7, 0, L""},
                                                   {kDeregister, second, 7, 0, L""},
                                                   {kDeregister, first, 99, 0, L""},
                                                   {kDeregister, second, 99, 0, L""},
                                                   {kDeregister, shared, 99, 0, L""},
                                                   {kRemoved, first, 0, 0, L""},
                                                   {kRemoved, second, 0, 0, L""}}));
        instance.RemoveHandler(&handlerB);
    }
}

// The references that the process's table counts, ours left out.
ULONG TableReferences() {
    ATL::CComPtr<IGlobalInterfaceTable> table;
    EXPECT_EQ(CoCreateInstance(CLSID_StdGlobalInterfaceTable, nullptr, CLSCTX_INPROC_SERVER,
                               IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&table)),
              S_OK);
    table.p->AddRef();
    return table.p->Release() - 1;
}

// The teardown ends the worker and gives the table back its one reference, once; an instance
// deleted without the teardown still ends its worker rather than leave it running on freed fields.
TEST_F(TeardownTest, EndsTheWorkerAndReleasesTheTableOnce) {
    const auto lastThread = [] { return XStateHandlerInstance::Instance()->GetProxy()->back(); };
    const ULONG references = TableReferences();
    std::atomic<XEmergencyHandlerInstance*> slot{nullptr};
    XEmergencyHandlerInstance* const installed =
        XEmergencyHandlerInstance::InstanceIn(slot, [] { return new XEmergencyHandlerInstance(); });
    const HANDLE worker = lastThread();
    Journal journal;
    RecordingHandler handler(journal);
    installed->AddHandler(&handler, TestAgent::Create()->AsAgent());
    XEmergencyHandlerInstance::DestroyInstanceIn(slot);
    EXPECT_EQ(ExitCode(worker), 0u);
    EXPECT_EQ(TableReferences(), references);

    auto* const deleted = new XEmergencyHandlerInstance();
    deleted->Init();
    const HANDLE deletedWorker = lastThread();
    delete deleted;
    EXPECT_EQ(ExitCode(deletedWorker), 0u);
    EXPECT_TRUE(journal.Events().empty()) << "the teardown makes no callback";
}

}  // namespace
}  // namespace vqtest
