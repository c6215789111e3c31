#include <gtest/gtest.h>

#include <string>
#include <utility>

#include "VQConvert/XVQComBSTR.h"

namespace {

TEST(XVQComBSTR, HoldsUtf8AsWideEmptyAsNullAndCopiesDeep) {
    // The last character sets the high bits of every byte of a four-byte sequence.
    const XVQComBSTR narrow("Gr\xC3\xBC\xC3\x9F \xF4\x8F\xBF\xBD");
    EXPECT_EQ(narrow.ToWString(), L"Gr\u00FC\u00DF \U0010FFFD");
    EXPECT_EQ(narrow.ToUtf8(), "Gr\xC3\xBC\xC3\x9F \xF4\x8F\xBF\xBD");
    EXPECT_EQ(SysStringLen(XVQComBSTR(L"Init").GetBSTR()), 4u);
    EXPECT_EQ(XVQComBSTR("Init"), XVQComBSTR(L"Init"));
    EXPECT_NE(XVQComBSTR(L"ab"), XVQComBSTR(L"ac"));
    EXPECT_NE(XVQComBSTR(L"ab"), XVQComBSTR(L"abc"));

    for (const XVQComBSTR& empty :
         {XVQComBSTR(), XVQComBSTR(L""), XVQComBSTR(""), XVQComBSTR(static_cast<const OLECHAR*>(nullptr)),
          XVQComBSTR(static_cast<const char*>(nullptr))}) {
        EXPECT_TRUE(empty.IsEmpty());
        EXPECT_EQ(empty.GetBSTR(), nullptr) << "an empty text is a null BSTR";
        EXPECT_STREQ(static_cast<const OLECHAR*>(empty), L"") << "but never a null pointer";
    }

    XVQComBSTR a(L"alpha");
    XVQComBSTR b(a);
    EXPECT_NE(a.GetBSTR(), b.GetBSTR());
    b = XVQComBSTR(L"beta");
    EXPECT_EQ(a.ToWString(), L"alpha");

    const XVQComBSTR& self = a;
    a = self;
    a = static_cast<const OLECHAR*>(a) + 2;  // from inside its own buffer
    EXPECT_EQ(a.ToWString(), L"pha");
    const XVQComBSTR moved(std::move(a));
    EXPECT_EQ(moved.ToWString(), L"pha");
    EXPECT_TRUE(a.IsEmpty());  // NOLINT(bugprone-use-after-move): the moved-from state is specified
}

// What Attach frees or fails to free shows under the sanitizers.
TEST(XVQComBSTR, AttachTakesTheTextAsItIsAndFreesTheOneBefore) {
    XVQComBSTR text(L"before");
    const BSTR server = SysAllocString(L"server");
    text.Attach(server);
    EXPECT_EQ(text.GetBSTR(), server) << "taken, not copied";
    text.Attach(server);
    EXPECT_EQ(text.ToWString(), L"server") << "its own text is kept";
    text.Attach(SysAllocString(L""));
    EXPECT_EQ(text.GetBSTR(), nullptr) << "an empty text is a null BSTR";
    text.Attach(SysAllocString(L"last"));
    text.Attach(nullptr);
    EXPECT_TRUE(text.IsEmpty());
}

TEST(VQUtf8, MalformedInputBecomesReplacementCharacters) {
    EXPECT_EQ(VQUtf8ToWide("a\xFFz"), L"a\uFFFDz");
    EXPECT_EQ(VQUtf8ToWide("\xE2\x82"), L"\uFFFD");                              // truncated at the end
    EXPECT_EQ(VQUtf8ToWide("\xE2z\xC3z"), L"\uFFFDz\uFFFDz");                    // no continuation byte
    EXPECT_EQ(VQUtf8ToWide("\xE0\x80\xAF"), L"\uFFFD\uFFFD\uFFFD");              // overlong
    EXPECT_EQ(VQUtf8ToWide("\xED\xA0\x80"), L"\uFFFD\uFFFD\uFFFD");              // encoded surrogate
    EXPECT_EQ(VQUtf8ToWide("\xF4\x90\x80\x80x"), L"\uFFFD\uFFFD\uFFFD\uFFFDx");  // past U+10FFFF
    EXPECT_EQ(VQWideToUtf8(nullptr), "");
    const wchar_t loneSurrogate[] = {L'a', static_cast<wchar_t>(0xD800), L'z', L'\0'};
    EXPECT_EQ(VQWideToUtf8(loneSurrogate), "a\xEF\xBF\xBDz");
}

}  // namespace
