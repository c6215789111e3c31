#include <gtest/gtest.h>

#include <chrono>
#include <future>
#include <thread>

#include "VQComUtilities/XCriticalSectionEx.h"
#include "VQConvert/XVQComBSTR.h"

namespace {

using namespace std::chrono_literals;

TEST(XVQComBSTR, HoldsWideAndUtf8TextAsOneBSTR) {
    const XVQComBSTR wide(L"XThreadSync::WaitForEvent");
    EXPECT_EQ(wide.ToWString(), L"XThreadSync::WaitForEvent");
    EXPECT_EQ(wide.Length(), 25u);
    ASSERT_NE(wide.GetBSTR(), nullptr);
    EXPECT_EQ(SysStringLen(wide.GetBSTR()), 25u);

    const XVQComBSTR narrow("Gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80");
    EXPECT_EQ(narrow.ToWString(), std::wstring(L"Gr\u00FC\u00DF ") + L"\U0001F600");
    EXPECT_EQ(narrow.ToUtf8(), "Gr\xC3\xBC\xC3\x9F \xF0\x9F\x98\x80");
    EXPECT_EQ(XVQComBSTR("XEmergencyHandlerInstance::Init"), XVQComBSTR(L"XEmergencyHandlerInstance::Init"));
}

TEST(XVQComBSTR, EmptyTextIsANullBSTRButNeverANullPointer) {
    const XVQComBSTR values[] = {XVQComBSTR(), XVQComBSTR(L""), XVQComBSTR(""),
                                 XVQComBSTR(static_cast<const OLECHAR*>(nullptr)),
                                 XVQComBSTR(static_cast<const char*>(nullptr))};
    for (const XVQComBSTR& value : values) {
        EXPECT_TRUE(value.IsEmpty());
        EXPECT_EQ(value.GetBSTR(), nullptr);
        const OLECHAR* text = value;
        ASSERT_NE(text, nullptr);
        EXPECT_EQ(text[0], L'\0');
        EXPECT_EQ(value, XVQComBSTR());
        EXPECT_EQ(value.ToUtf8(), "");
    }
    EXPECT_FALSE(XVQComBSTR(L" ").IsEmpty());
}

TEST(XVQComBSTR, CopiesAreDeepAndAssignmentSurvivesAliasing) {
    XVQComBSTR a(L"alpha");
    XVQComBSTR b(a);
    EXPECT_EQ(a, b);
    EXPECT_NE(a.GetBSTR(), b.GetBSTR());

    b = XVQComBSTR(L"beta");
    EXPECT_EQ(a.ToWString(), L"alpha");
    b = a;
    EXPECT_EQ(b.ToWString(), L"alpha");

    const XVQComBSTR& self = a;
    a = self;
    EXPECT_EQ(a.ToWString(), L"alpha");
    a = static_cast<const OLECHAR*>(a);  // assigning from its own buffer
    EXPECT_EQ(a.ToWString(), L"alpha");
    a = static_cast<const OLECHAR*>(a) + 2;
    EXPECT_EQ(a.ToWString(), L"pha");

    XVQComBSTR moved(std::move(a));
    EXPECT_EQ(moved.ToWString(), L"pha");
    EXPECT_TRUE(a.IsEmpty());  // NOLINT(bugprone-use-after-move): moved-from state is specified
    b = L"";
    EXPECT_TRUE(b.IsEmpty());

    EXPECT_NE(XVQComBSTR(L"ab"), XVQComBSTR(L"ac"));
    EXPECT_NE(XVQComBSTR(L"ab"), XVQComBSTR(L"abc"));
}

TEST(VQUtf8, MalformedInputBecomesReplacementCharacters) {
    EXPECT_EQ(VQUtf8ToWide("a\xFF"
                           "b"),
              L"a\uFFFDb");
    EXPECT_EQ(VQUtf8ToWide("\xE2\x82"), L"\uFFFD");                              // truncated at the end
    EXPECT_EQ(VQUtf8ToWide("\xC0\xAF"), L"\uFFFD\uFFFD");                        // overlong
    EXPECT_EQ(VQUtf8ToWide("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");              // encoded surrogate
    EXPECT_EQ(VQUtf8ToWide("\xF4\x90\x80\x80x"), L"\uFFFD\uFFFD\uFFFD\uFFFDx");  // past U+10FFFF
    EXPECT_EQ(VQUtf8ToWide(nullptr), L"");
    EXPECT_EQ(VQWideToUtf8(nullptr), "");

    const wchar_t loneSurrogate[] = {L'a', static_cast<wchar_t>(0xD800), L'b', L'\0'};
    EXPECT_EQ(VQWideToUtf8(loneSurrogate),
              "a\xEF\xBF\xBD"
              "b");
}

// Waits that must end do so at once when the lock is right; the bound only limits a failing run.
constexpr auto kMustEnter = 2s;
// A contender that must stay blocked is given this long to get in wrongly.
constexpr auto kMustWait = 20ms;

// Takes `held` on the calling thread, then runs `contender` on another and tells whether that got in
// while `held` was kept (`wait` long) and after it was dropped. The lock is always dropped before
// the join, so a wrong result fails the test instead of hanging it.
struct Contention {
    bool inWhileHeld;
    bool inAfterRelease;
};

Contention Contend(XCriticalSectionEx& lock, bool held, bool contender, std::chrono::milliseconds wait) {
    lock.Lock(held);
    std::promise<void> entered;
    std::future<void> in = entered.get_future();
    std::thread thread([&lock, &entered, contender] {
        lock.Lock(contender);
        entered.set_value();
        lock.Unlock(contender);
    });
    const bool inWhileHeld = in.wait_for(wait) == std::future_status::ready;
    lock.Unlock(held);
    const bool inAfterRelease = in.wait_for(kMustEnter) == std::future_status::ready;
    thread.join();
    return {inWhileHeld, inAfterRelease};
}

TEST(XCriticalSectionEx, ReadersShareAndAWriterExcludesEveryone) {
    XCriticalSectionEx lock;
    const Contention readers = Contend(lock, true, true, kMustEnter);
    EXPECT_TRUE(readers.inWhileHeld) << "a second reader must share";

    const Contention writerAfterReader = Contend(lock, true, false, kMustWait);
    EXPECT_FALSE(writerAfterReader.inWhileHeld) << "a writer must wait for the reader";
    EXPECT_TRUE(writerAfterReader.inAfterRelease);

    const Contention readerAfterWriter = Contend(lock, false, true, kMustWait);
    EXPECT_FALSE(readerAfterWriter.inWhileHeld) << "a reader must wait for the writer";
    EXPECT_TRUE(readerAfterWriter.inAfterRelease);

    const Contention writers = Contend(lock, false, false, kMustWait);
    EXPECT_FALSE(writers.inWhileHeld) << "writers exclude each other";
    EXPECT_TRUE(writers.inAfterRelease);
}

}  // namespace
