// The per-thread structured-exception translator: a fault becomes an exception of the faulting
// thread, caught by its own catch clauses, with every guard on the way released.
#include <gtest/gtest.h>

#include <csignal>
#include <mutex>
#include <thread>

#include "platform/test_seh_faults.h"
#include "vqplatform/seh.h"

namespace {

using vqtest::DivideUnderLock;
using vqtest::ReadUnderLock;

// What the translator saw, thrown as the faulting thread's exception.
struct Translated {
    unsigned int code;
    EXCEPTION_RECORD record;
    DWORD64 contextPc;
};

thread_local int t_translations = 0;

void Translate(unsigned int code, EXCEPTION_POINTERS* pointers) {
    ++t_translations;
    throw Translated{code, *pointers->ExceptionRecord, pointers->ContextRecord->Rip};
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

TEST(StructuredExceptionTranslation,
     FaultsAreThrownOnTheFaultingThreadByItsOwnTranslatorWithTheGuardsReleased) {
    std::thread([] {
        EXPECT_EQ(vqplatform::SetThreadTranslator(Translate), nullptr);
        std::thread([] {
            EXPECT_EQ(vqplatform::SetThreadTranslator(nullptr), nullptr) << "each has its own";
        }).join();
        std::mutex lock;
        for (int round = 0; round < 3; ++round) {  // a thread goes on translating after recovering
            const Translated read = Catch([&lock] { ReadUnderLock(lock, g_null); });
            EXPECT_EQ(read.code, EXCEPTION_ACCESS_VIOLATION);
            EXPECT_EQ(read.record.NumberParameters, 2u);
            EXPECT_EQ(read.record.ExceptionInformation[0], 0u) << "a read";
            EXPECT_EQ(read.record.ExceptionInformation[1], 0u) << "the address read";
            EXPECT_NE(read.record.ExceptionAddress, nullptr);
            EXPECT_EQ(read.contextPc, reinterpret_cast<DWORD64>(read.record.ExceptionAddress));
            // A guard left held would make the next fault's guard wait forever.
            ASSERT_TRUE(lock.try_lock()) << "the guard in the faulting frame was not released";
            lock.unlock();
            EXPECT_EQ(Catch([&lock] { DivideUnderLock(lock, 7, g_zero); }).code,
                      EXCEPTION_INT_DIVIDE_BY_ZERO);
            ASSERT_TRUE(lock.try_lock());
            lock.unlock();
        }
        EXPECT_EQ(t_translations, 6);
#if defined(_WIN32)
        EXPECT_EQ(vqplatform::SetThreadTranslator(nullptr), &Translate);
#else
        EXPECT_EQ(_set_se_translator(nullptr), &Translate) << "the runtime's name for the same call";
#endif
    }).join();
}

// A death test runs in a fresh process (threadsafe style), so the fault handling is installed
// inside the statement.
TEST(StructuredExceptionTranslationDeathTest, AThreadWithoutTranslatorDiesOfItsFault) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    const auto faultUntranslated = [] {
#if !defined(_WIN32)
        std::signal(SIGSEGV, SIG_DFL);  // not a sanitizer's handler, which would exit instead
#endif
        std::thread([] { vqplatform::SetThreadTranslator(Translate); }).join();
        std::mutex lock;
        ReadUnderLock(lock, g_null);
    };
#if defined(_WIN32)
    EXPECT_EXIT(faultUntranslated(), ::testing::ExitedWithCode(static_cast<int>(EXCEPTION_ACCESS_VIOLATION)),
                "");
#else
    EXPECT_EXIT(faultUntranslated(), ::testing::KilledBySignal(SIGSEGV), "");
#endif
}

}  // namespace
