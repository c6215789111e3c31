#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <list>
#include <set>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "xemergencyhandlerthreadscheduler.h"
#include "xstatehandlerinstance.h"
#include "vqplatform/testing.h"

namespace {

namespace seams = vqplatform::testing;

constexpr DWORD kSafetyTimeout = 5000;
const char* const kFile = ".\\xemergencyhandlerinstance";
const wchar_t* const kRunThreadTask = L"XEmergencyHandlerThreadScheduler::RunThreadTask";

std::list<void*> RegistryCopy() {
    auto registry = XStateHandlerInstance::Instance()->GetProxy();
    return *registry;
}

// Blocks until released, so the thread is alive while a test looks at it; returns its value.
struct Gate {
    std::atomic<bool> open{false};
    std::atomic<bool> ran{false};
    unsigned result = 5;
};

unsigned GatedRoutine(void* param) {
    auto* gate = static_cast<Gate*>(param);
    gate->ran = true;
    while (!gate->open.load()) {
        std::this_thread::yield();
    }
    return gate->result;
}

unsigned ThrowingRoutine(void* param) {
    const int kind = *static_cast<int*>(param);
    if (kind == 0) {
        throw std::runtime_error("routine failed");
    }
    if (kind == 1) {
        ThrowExcepIfFailed(XVQEXCEP::TYPE_MODULE, E_ACCESSDENIED, XVQEXCEP::SEVERITY_ERROR,
                           VQErrorLocation("elsewhere", 3, VQModuleName(), XVQComBSTR(L"g")), L"wrapped", L"",
                           1);
    }
    throw kind;
}

class SchedulerTest : public ::testing::Test {
  protected:
    void SetUp() override {
        XVQLogBook::SetSink(XVQLogBook::Sink::None);
        XVQLogBook::Clear();
    }
    void TearDown() override { XVQLogBook::Clear(); }

    // Starts a thread and returns its handle, the registry's newest entry.
    HANDLE Start(XThreadTaskRoutine routine, void* param, int priority) {
        const std::size_t before = RegistryCopy().size();
        XEmergencyHandlerThreadScheduler::StartThread(routine, param, priority);
        const std::list<void*> after = RegistryCopy();
        EXPECT_EQ(after.size(), before + 1) << "one handle per started thread";
        return after.empty() ? nullptr : after.back();
    }
    static DWORD ExitCode(HANDLE thread) {
        EXPECT_EQ(WaitForSingleObject(thread, kSafetyTimeout), WAIT_OBJECT_0);
        DWORD code = 0xDEAD;
        EXPECT_TRUE(GetExitCodeThread(thread, &code));
        return code;
    }

    seams::ScopedReset m_reset;
};

TEST_F(SchedulerTest, RoutineResultIsTheExitCodeAndTheHandleStaysRecorded) {
    Gate gate;
    HANDLE thread = Start(GatedRoutine, &gate, -1);
    ASSERT_NE(thread, nullptr);
    while (!gate.ran.load()) {
        std::this_thread::yield();
    }
    EXPECT_EQ(GetThreadPriority(thread), THREAD_PRIORITY_NORMAL) << "a negative priority is not set";
    gate.open = true;
    EXPECT_EQ(ExitCode(thread), 5u);
    const std::list<void*> registry = RegistryCopy();
    EXPECT_EQ(std::count(registry.begin(), registry.end(), thread), 1);
    EXPECT_TRUE(XVQLogBook::Entries().empty());
}

TEST_F(SchedulerTest, RoutineErrorsAndANullParameterAreLoggedAndGiveAllOnes) {
    int kinds[] = {0, 1, 2};
    for (int& kind : kinds) {
        EXPECT_EQ(ExitCode(Start(ThrowingRoutine, &kind, -1)), 0xFFFFFFFFu);
    }
    const std::vector<XVQLogEntry> entries = XVQLogBook::Entries();
    ASSERT_EQ(entries.size(), 3u);
    EXPECT_EQ(entries[0].kind, XVQLogEntry::Kind::StdException);
    EXPECT_EQ(entries[0].severity, XVQEXCEP::SEVERITY_SEVERE);
    EXPECT_EQ(entries[0].line, 212u);
    EXPECT_EQ(entries[0].file, kFile);
    EXPECT_EQ(entries[0].function, kRunThreadTask);
    EXPECT_EQ(entries[1].kind, XVQLogEntry::Kind::Exception);
    EXPECT_EQ(entries[1].message, L"wrapped");
    EXPECT_EQ(entries[1].file, "elsewhere") << "a wrapped exception keeps its own place";
    EXPECT_EQ(entries[2].kind, XVQLogEntry::Kind::Unknown);
    EXPECT_EQ(entries[2].line, 216u);
    EXPECT_EQ(entries[2].function, kRunThreadTask);

    XVQLogBook::Clear();
    EXPECT_EQ(XEmergencyHandlerThreadScheduler::RunThreadTask(nullptr), 0xFFFFFFFFu);
    const std::vector<XVQLogEntry> line = XVQLogBook::Entries();
    ASSERT_EQ(line.size(), 1u);
    EXPECT_EQ(line[0].kind, XVQLogEntry::Kind::Line);
    EXPECT_EQ(line[0].message, L"thread param == NULL - cannot run thread task routine");
    EXPECT_EQ(line[0].line, 194u);
    EXPECT_EQ(line[0].file, kFile);
    EXPECT_EQ(line[0].function, kRunThreadTask);
}

TEST_F(SchedulerTest, FailedThreadCreationIsThrownAndRecordsNothing) {
    if (!seams::FaultInjectionSupported(seams::Operation::CreateThread)) {
        GTEST_SKIP() << "_beginthreadex cannot fail on demand here";
    }
    const std::size_t before = RegistryCopy().size();
    Gate gate;
    seams::FailNext(seams::Operation::CreateThread, 1, ERROR_NOT_ENOUGH_MEMORY);
    try {
        XEmergencyHandlerThreadScheduler::StartThread(GatedRoutine, &gate, 0);
        ADD_FAILURE() << "nothing thrown";
    } catch (XWrappedVQException& e) {
        EXPECT_EQ(e->Type(), XVQEXCEP::TYPE_MODULE);
        EXPECT_EQ(e->Severity(), XVQEXCEP::SEVERITY_SEVERE);
        EXPECT_EQ(e->HResult(), HRESULT_FROM_WIN32(ERROR_NOT_ENOUGH_MEMORY));
        EXPECT_EQ(e->Message().ToWString(), L"_beginthreadex failed");
        EXPECT_EQ(e->Location().File(), kFile);
        EXPECT_EQ(e->Location().Line(), 237u);
        EXPECT_EQ(e->Location().Function().ToWString(), L"XEmergencyHandlerThreadScheduler::StartThread");
    }
    EXPECT_EQ(RegistryCopy().size(), before);
    EXPECT_FALSE(gate.ran.load());
}

TEST_F(SchedulerTest, PriorityAndResumeFailuresAreLoggedAndTheThreadStillRecorded) {
    for (seams::Operation op : {seams::Operation::SetThreadPriority, seams::Operation::ResumeThread}) {
        if (!seams::FaultInjectionSupported(op)) {
            GTEST_SKIP() << "the kernel's thread calls cannot fail on demand here";
        }
    }
    Gate gate;
    gate.open = true;
    seams::FailNext(seams::Operation::SetThreadPriority, 1, ERROR_ACCESS_DENIED);
    EXPECT_EQ(ExitCode(Start(GatedRoutine, &gate, -1)), 5u);
    EXPECT_TRUE(XVQLogBook::Entries().empty()) << "a negative priority makes no call";
    EXPECT_EQ(ExitCode(Start(GatedRoutine, &gate, 0)), 5u) << "priority 0 is set, fails, and the thread runs";

    gate.ran = false;
    seams::FailNext(seams::Operation::ResumeThread, 1, ERROR_NOT_ENOUGH_MEMORY);
    HANDLE suspended = Start(GatedRoutine, &gate, -1);
    EXPECT_FALSE(gate.ran.load());
    EXPECT_EQ(ResumeThread(suspended), 1u);
    EXPECT_EQ(ExitCode(suspended), 5u);

    const std::vector<XVQLogEntry> entries = XVQLogBook::Entries();
    ASSERT_EQ(entries.size(), 2u);
    EXPECT_EQ(entries[0].kind, XVQLogEntry::Kind::ApiError);
    EXPECT_EQ(entries[0].message, L"SetThreadPriority failed.");
    EXPECT_EQ(entries[0].apiError, static_cast<DWORD>(ERROR_ACCESS_DENIED));
    EXPECT_EQ(entries[0].line, 243u);
    EXPECT_EQ(entries[1].kind, XVQLogEntry::Kind::ApiError);
    EXPECT_EQ(entries[1].message, L"after resuming the thread it still remains suspended.");
    EXPECT_EQ(entries[1].apiError, static_cast<DWORD>(ERROR_NOT_ENOUGH_MEMORY));
    EXPECT_EQ(entries[1].line, 249u);
}

TEST_F(SchedulerTest, TasksStartThroughTheSchedulerTraits) {
    struct Owner {};
    class SevenTask
        : public XThreadedTask<
              Owner, XThreadedTaskTraits::XThreadSchedulerTraits<XEmergencyHandlerThreadScheduler>> {
      public:
        SevenTask() : XThreadedTask(-1) {}
        ~SevenTask() override { Stop(); }
        DWORD Execute(Owner* /*p*/) override { return 7; }
    };
    Owner owner;
    SevenTask task;
    const std::size_t before = RegistryCopy().size();
    task.Start(&owner);
    const std::list<void*> after = RegistryCopy();
    ASSERT_EQ(after.size(), before + 1);
    EXPECT_EQ(ExitCode(after.back()), 7u);
}

TEST_F(SchedulerTest, RacingFirstCallersShareOneRegistryAndOneScheduler) {
    std::vector<std::thread> racers;
    std::vector<XStateHandlerInstance::ThreadRegistry*> registries(4, nullptr);
    std::vector<XEmergencyHandlerThreadScheduler*> schedulers(4, nullptr);
    for (std::size_t i = 0; i < registries.size(); ++i) {
        racers.emplace_back([&, i] {
            registries[i] = XStateHandlerInstance::Instance();
            schedulers[i] = XEmergencyHandlerThreadScheduler::Instance();
        });
    }
    for (std::thread& racer : racers) {
        racer.join();
    }
    EXPECT_NE(registries[0], nullptr);
    EXPECT_NE(schedulers[0], nullptr);
    EXPECT_EQ(std::set<void*>(registries.begin(), registries.end()).size(), 1u);
    EXPECT_EQ(std::set<void*>(schedulers.begin(), schedulers.end()).size(), 1u);
}

TEST_F(SchedulerTest, TerminateRegisteredThreadsClosesEveryHandleAndEmptiesTheRegistry) {
#if defined(_WIN32)
    // Terminating would really kill threads that other tests of this program still rely on.
    for (void* thread : RegistryCopy()) {
        if (thread != nullptr && WaitForSingleObject(thread, 0) != WAIT_OBJECT_0) {
            GTEST_SKIP() << "a registered thread still runs";
        }
    }
#endif
    Gate gate;
    gate.open = true;
    HANDLE ended = Start(GatedRoutine, &gate, -1);
    ExitCode(ended);
    XStateHandlerInstance::TerminateRegisteredThreads();
    EXPECT_TRUE(RegistryCopy().empty());
    XStateHandlerInstance::TerminateRegisteredThreads();
    EXPECT_TRUE(RegistryCopy().empty()) << "an empty registry stays empty";
#if !defined(_WIN32)
    // Here handle values are never reused, so the closed handle is certainly invalid.
    EXPECT_FALSE(CloseHandle(ended));
#endif
}

}  // namespace
