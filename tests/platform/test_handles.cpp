// The owners of vqplatform/handles.h: each releases what it owns once, and nothing it gave up.
#include <gtest/gtest.h>

#include <thread>
#include <utility>

#include "vqplatform/handles.h"
#include "vqplatform/platform.h"

namespace {

HANDLE NewEvent() {
    const HANDLE event = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    EXPECT_NE(event, nullptr);
    return event;
}

// A closed handle fails every call. Checked before any new handle is made: Windows may give a
// closed handle's value to the next one.
bool IsOpen(HANDLE handle) {
    if (WaitForSingleObject(handle, 0) != WAIT_FAILED) {
        return true;
    }
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_INVALID_HANDLE));
    return false;
}

TEST(UniqueHandle, ClosesWhatItOwnsOnceAndNothingItGaveUp) {
    const HANDLE first = NewEvent();
    const HANDLE second = NewEvent();
    {
        vqplatform::unique_handle owner(first);
        {
            vqplatform::unique_handle moved(std::move(owner));
            EXPECT_TRUE(!owner && moved.get() == first);  // NOLINT(bugprone-use-after-move)
            owner = std::move(moved);
        }
        EXPECT_TRUE(IsOpen(first)) << "a moved-from owner closes nothing";
        owner.reset(second);
        EXPECT_FALSE(IsOpen(first)) << "reset closes the handle it replaces";
        owner.reset(second);
        EXPECT_TRUE(IsOpen(second)) << "reset to the handle held keeps it";
        EXPECT_EQ(owner.release(), second);
        EXPECT_FALSE(owner);
    }
    EXPECT_TRUE(IsOpen(second)) << "a released handle stays open";
    EXPECT_TRUE(CloseHandle(second));

    const HANDLE third = NewEvent();
    { const vqplatform::unique_handle owner(third); }
    EXPECT_FALSE(IsOpen(third)) << "the owner's end closes it";
}

TEST(AtomicUniqueHandle, PublishesClosesTheReplacedAndKeepsTheReleased) {
    const HANDLE first = NewEvent();
    const HANDLE second = NewEvent();
    HANDLE kept = nullptr;
    {
        vqplatform::atomic_unique_handle owner;
        owner.reset(first);
        EXPECT_EQ(owner.get(), first);
        owner.reset(second);
        EXPECT_FALSE(IsOpen(first));
        kept = owner.release();
        EXPECT_FALSE(owner);
        owner.reset(kept);
    }
    EXPECT_FALSE(IsOpen(kept)) << "the owner's end closes what it holds";
    EXPECT_EQ(kept, second);

    const HANDLE third = NewEvent();
    {
        vqplatform::atomic_unique_handle owner;
        owner.reset(third);
        static_cast<void>(owner.release());
    }
    EXPECT_TRUE(CloseHandle(third)) << "a released handle stays open";
}

// On a thread of its own, whose apartment no other test touches: how many initialisations await
// their CoUninitialize shows in what the next CoInitializeEx returns (S_OK: none, S_FALSE: some).
TEST(UniqueCoUninitialize, UndoesEverySuccessfulInitialisationOnceAndNoFailedOne) {
    std::thread([] {
        {
            vqplatform::unique_couninitialize outer(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
            EXPECT_TRUE(outer);
            {
                const vqplatform::unique_couninitialize refused(
                    CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED));
                EXPECT_FALSE(refused) << "another model is refused and needs no undoing";
                vqplatform::unique_couninitialize nested(CoInitializeEx(nullptr, COINIT_MULTITHREADED));
                EXPECT_TRUE(nested) << "S_FALSE counts as a call to undo";
                const vqplatform::unique_couninitialize moved(std::move(nested));
            }
            EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_FALSE)
                << "the outer initialisation still stands";
            CoUninitialize();
        }
        EXPECT_EQ(CoInitializeEx(nullptr, COINIT_MULTITHREADED), S_OK) << "and went with its owner";
        CoUninitialize();
    }).join();
}

}  // namespace
