// The per-thread structured-exception translator: every fault of a translating thread becomes its
// own exception, again and again, with the guards on the way released. The threads run their
// bodies within RunTranslated, as the library's worker does.
#include <gtest/gtest.h>

#include <csignal>
#include <functional>
#include <mutex>
#include <thread>

#include "platform/test_seh_faults.h"
#include "vqplatform/seh.h"

namespace {

struct Translated {
    unsigned int code;
    void* address;
};

void Translate(unsigned int code, EXCEPTION_POINTERS* pointers) {
    throw Translated{code, pointers->ExceptionRecord->ExceptionAddress};
}

int* volatile g_null = nullptr;
volatile int g_zero = 0;

// Runs `body` on a thread of its own within the translating frame and waits for its end.
template <class Body>
void OnTranslatingThread(Body body) {
    std::thread([&body] {
        vqplatform::RunTranslated(
            [](void* pBody) -> unsigned {
                (*static_cast<Body*>(pBody))();
                return 0;
            },
            &body);
    }).join();
}

TEST(StructuredExceptionTranslation, EachFaultOfATranslatingThreadIsThrownThereWithItsGuardsReleased) {
    std::mutex lock;
    const struct {
        std::function<void()> fault;
        DWORD code;
    } kFaults[] = {
        {[&lock] { vqtest::ReadUnderLock(lock, g_null); }, EXCEPTION_ACCESS_VIOLATION},
        {[&lock] { vqtest::DivideUnderLock(lock, 7, g_zero); }, EXCEPTION_INT_DIVIDE_BY_ZERO},
#if !defined(_WIN32)
        {[] { vqtest::ExecuteIllegalInstruction(); }, EXCEPTION_ILLEGAL_INSTRUCTION},
#endif
    };
    OnTranslatingThread([&] {
        EXPECT_EQ(vqplatform::SetThreadTranslator(Translate), nullptr);
        std::thread([] {
            EXPECT_EQ(vqplatform::SetThreadTranslator(nullptr), nullptr) << "each has its own";
        }).join();
        for (int round = 0; round < 2; ++round) {  // a thread goes on translating after recovering
            for (const auto& f : kFaults) {
                try {
                    f.fault();
                    ADD_FAILURE() << "the fault was not translated";
                } catch (const Translated& translated) {
                    EXPECT_EQ(translated.code, f.code);
                    EXPECT_NE(translated.address, nullptr);
                }
                // A guard left held would make the next fault's guard wait forever.
                ASSERT_TRUE(lock.try_lock()) << "the guard in the faulting frame was not released";
                lock.unlock();
            }
        }
        EXPECT_EQ(vqplatform::SetThreadTranslator(nullptr), &Translate);
    });
}

#if !defined(_WIN32)
// A translator that returns leaves the fault unhandled: the process dies of the fault's own signal.
TEST(StructuredExceptionTranslationDeathTest, AReturningTranslatorLeavesTheFaultsSignal) {
    GTEST_FLAG_SET(death_test_style, "threadsafe");
    EXPECT_EXIT(OnTranslatingThread([] {
                    vqplatform::SetThreadTranslator([](unsigned int, EXCEPTION_POINTERS*) {});
                    std::mutex lock;
                    vqtest::ReadUnderLock(lock, g_null);
                }),
                testing::KilledBySignal(SIGSEGV), "");
}
#else
// The translator sees only what no frame handler takes: system code that probes memory keeps its
// fault (a translation would throw out of it), and an exception raised with RaiseException that
// nobody handles is translated.
TEST(StructuredExceptionTranslation, FrameHandlersComeFirstAndRaisedExceptionsAreTranslated) {
    OnTranslatingThread([] {
        vqplatform::SetThreadTranslator(Translate);
        EXPECT_TRUE(IsBadReadPtr(g_null, sizeof(int)));
        constexpr DWORD kRaised = 0xE0001234;
        try {
            RaiseException(kRaised, 0, 0, nullptr);
            ADD_FAILURE() << "the raised exception was not translated";
        } catch (const Translated& translated) {
            EXPECT_EQ(translated.code, kRaised);
        }
        vqplatform::SetThreadTranslator(nullptr);
    });
}
#endif

}  // namespace
