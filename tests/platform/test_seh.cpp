// The per-thread structured-exception translator: a fault becomes an exception of the faulting
// thread, caught by its own catch clauses, with every guard on the way released.
#include <gtest/gtest.h>

#include <csignal>
#include <mutex>
#include <thread>

#include "platform/test_seh_faults.h"
#include "vqplatform/seh.h"

#if !defined(_WIN32)
#include <unistd.h>
#endif

namespace {

using vqtest::DivideUnderLock;
using vqtest::NoAccessPage;
using vqtest::ReadUnderLock;
using vqtest::WriteUnderLock;

// What the translator saw, thrown as the faulting thread's exception.
struct Translated {
    unsigned int code;
    void* address;
    DWORD parameters;
    ULONG_PTR information[2];
    DWORD64 contextPc;
};

thread_local int t_translations = 0;

void Translate(unsigned int code, EXCEPTION_POINTERS* pointers) {
    ++t_translations;
    const EXCEPTION_RECORD& record = *pointers->ExceptionRecord;
    throw Translated{code,
                     record.ExceptionAddress,
                     record.NumberParameters,
                     {record.ExceptionInformation[0], record.ExceptionInformation[1]},
                     pointers->ContextRecord->Rip};
}

// Runs `body` on a thread of its own that translates its faults, as the worker thread does.
template <class Body>
void OnTranslatingThread(Body body) {
    std::thread thread([&body] {
        EXPECT_EQ(vqplatform::SetThreadTranslator(Translate), nullptr);
        body();
    });
    thread.join();
}

// The translation of the fault `fault` raises on this thread; the test fails when there is none.
template <class Fault>
Translated Catch(Fault fault) {
    try {
        fault();
    } catch (const Translated& translated) {
        return translated;
    }
    ADD_FAILURE() << "the fault was not translated";
    return Translated{};
}

int* volatile g_null = nullptr;
volatile int g_zero = 0;

TEST(StructuredExceptionTranslation, ReadingNullBecomesAnAccessViolationOfTheFaultingThread) {
    OnTranslatingThread([] {
        std::mutex lock;
        const Translated fault = Catch([&lock] { ReadUnderLock(lock, g_null); });
        EXPECT_EQ(fault.code, EXCEPTION_ACCESS_VIOLATION);
        EXPECT_EQ(fault.parameters, 2u);
        EXPECT_EQ(fault.information[0], 0u) << "a read";
        EXPECT_EQ(fault.information[1], 0u) << "the address read";
        EXPECT_NE(fault.address, nullptr);
        EXPECT_EQ(fault.contextPc, reinterpret_cast<DWORD64>(fault.address));
        EXPECT_TRUE(lock.try_lock()) << "the guard in the faulting frame was not released";
        lock.unlock();
        EXPECT_EQ(t_translations, 1);
    });
}

TEST(StructuredExceptionTranslation, WritingAProtectedPageReportsTheWriteAndTheAddress) {
    const NoAccessPage page;
    ASSERT_TRUE(page.Valid());
    OnTranslatingThread([&page] {
        std::mutex lock;
        const Translated fault = Catch([&] { WriteUnderLock(lock, page.Address()); });
        EXPECT_EQ(fault.code, EXCEPTION_ACCESS_VIOLATION);
        EXPECT_EQ(fault.information[0], 1u) << "a write";
        EXPECT_EQ(fault.information[1], reinterpret_cast<ULONG_PTR>(page.Address()));
        EXPECT_TRUE(lock.try_lock());
        lock.unlock();
    });
}

TEST(StructuredExceptionTranslation, IntegerDivisionByZeroIsTranslated) {
    OnTranslatingThread([] {
        std::mutex lock;
        const Translated fault = Catch([&lock] { DivideUnderLock(lock, 7, g_zero); });
        EXPECT_EQ(fault.code, EXCEPTION_INT_DIVIDE_BY_ZERO);
        EXPECT_TRUE(lock.try_lock());
        lock.unlock();
    });
}

TEST(StructuredExceptionTranslation, AThreadGoesOnTranslatingAfterRecovering) {
    OnTranslatingThread([] {
        std::mutex lock;
        for (int round = 0; round < 3; ++round) {
            EXPECT_EQ(Catch([&lock] { ReadUnderLock(lock, g_null); }).code, EXCEPTION_ACCESS_VIOLATION);
            // A lock left held would make the next fault's guard wait forever.
            ASSERT_TRUE(lock.try_lock());
            lock.unlock();
            EXPECT_EQ(Catch([&lock] { DivideUnderLock(lock, 7, g_zero); }).code,
                      EXCEPTION_INT_DIVIDE_BY_ZERO);
            ASSERT_TRUE(lock.try_lock());
            lock.unlock();
        }
        EXPECT_EQ(t_translations, 6);
    });
}

// The translator itself faults while it handles a fault.
void TranslateWithAFaultInside(unsigned int code, EXCEPTION_POINTERS* pointers) {
    static thread_local bool inside = false;
    if (!inside) {
        inside = true;
        std::mutex lock;
        const Translated inner = Catch([&lock] { DivideUnderLock(lock, 1, g_zero); });
        EXPECT_EQ(inner.code, EXCEPTION_INT_DIVIDE_BY_ZERO);
        EXPECT_TRUE(lock.try_lock());
        lock.unlock();
        inside = false;
    }
    Translate(code, pointers);
}

TEST(StructuredExceptionTranslation, AFaultInsideTheTranslatorIsTranslatedToo) {
    std::thread thread([] {
        vqplatform::SetThreadTranslator(TranslateWithAFaultInside);
        std::mutex lock;
        EXPECT_EQ(Catch([&lock] { ReadUnderLock(lock, g_null); }).code, EXCEPTION_ACCESS_VIOLATION);
        EXPECT_EQ(t_translations, 2);
        EXPECT_TRUE(lock.try_lock());
        lock.unlock();
    });
    thread.join();
}

void OtherTranslator(unsigned int, EXCEPTION_POINTERS*) {}

TEST(StructuredExceptionTranslation, EachThreadHasItsOwnTranslator) {
    OnTranslatingThread([] {
        std::thread other([] { EXPECT_EQ(vqplatform::SetThreadTranslator(nullptr), nullptr); });
        other.join();
        EXPECT_EQ(vqplatform::SetThreadTranslator(OtherTranslator), &Translate);
        EXPECT_EQ(vqplatform::SetThreadTranslator(Translate), &OtherTranslator);
#if !defined(_WIN32)
        // The runtime's name for the same call.
        EXPECT_EQ(_set_se_translator(nullptr), &Translate);
        EXPECT_EQ(_set_se_translator(nullptr), nullptr);
#endif
    });
}

// Each death test runs in a fresh process (threadsafe style), so the fault handling is installed
// inside the statement, over whatever the statement put in place first.
class UntranslatedFaultDeathTest : public ::testing::Test {
  protected:
    void SetUp() override { GTEST_FLAG_SET(death_test_style, "threadsafe"); }
};

void InstallFaultHandlingFromAnotherThread() {
    std::thread thread([] { vqplatform::SetThreadTranslator(Translate); });
    thread.join();
}

#if defined(_WIN32)
TEST_F(UntranslatedFaultDeathTest, AThreadWithoutTranslatorDiesOfItsFault) {
    EXPECT_EXIT(
        {
            InstallFaultHandlingFromAnotherThread();
            std::mutex lock;
            ReadUnderLock(lock, g_null);
        },
        ::testing::ExitedWithCode(static_cast<int>(EXCEPTION_ACCESS_VIOLATION)), "");
}
#else
void DefaultAction(int signal) {
    struct sigaction action {};
    action.sa_handler = SIG_DFL;
    sigemptyset(&action.sa_mask);
    sigaction(signal, &action, nullptr);
}

void ExitReportingTheChain(int, siginfo_t*, void*) {
    static const char kMessage[] = "chained";
    static_cast<void>(write(STDERR_FILENO, kMessage, sizeof kMessage - 1));
    _exit(42);
}

TEST_F(UntranslatedFaultDeathTest, AThreadWithoutTranslatorDiesOfItsFault) {
    EXPECT_EXIT(
        {
            DefaultAction(SIGSEGV);
            InstallFaultHandlingFromAnotherThread();
            std::mutex lock;
            ReadUnderLock(lock, g_null);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
}

TEST_F(UntranslatedFaultDeathTest, TheHandlerInstalledBeforeIsCalledForAnUntranslatedFault) {
    EXPECT_EXIT(
        {
            struct sigaction previous {};
            previous.sa_sigaction = ExitReportingTheChain;
            previous.sa_flags = SA_SIGINFO;
            sigemptyset(&previous.sa_mask);
            sigaction(SIGSEGV, &previous, nullptr);
            InstallFaultHandlingFromAnotherThread();
            std::mutex lock;
            ReadUnderLock(lock, g_null);
        },
        ::testing::ExitedWithCode(42), "chained");
}

TEST_F(UntranslatedFaultDeathTest, ASignalSentToATranslatingThreadIsNoFault) {
    EXPECT_EXIT(
        {
            DefaultAction(SIGSEGV);
            vqplatform::SetThreadTranslator(Translate);
            raise(SIGSEGV);
        },
        ::testing::KilledBySignal(SIGSEGV), "");
}
#endif

}  // namespace
