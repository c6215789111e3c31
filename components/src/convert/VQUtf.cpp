// UTF-8 <-> wide conversion. A wide string is UTF-16 where wchar_t has 16 bits (Windows) and UTF-32
// where it has 32 (Linux). Malformed input of either side becomes U+FFFD, one per maximal bad
// subsequence, so that logs and messages never lose the text around a bad character.
#include <cstdint>
#include <string>

#include "VQConvert/XVQComBSTR.h"

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr bool kWideIsUtf16 = sizeof(wchar_t) == 2;

bool IsSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDFFF;
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c > 0x10FFFF || IsSurrogate(c)) {
        c = kReplacement;
    }
    if (c < 0x80) {
        out += static_cast<char>(c);
    } else if (c < 0x800) {
        out += static_cast<char>(0xC0 | (c >> 6));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
        out += static_cast<char>(0xE0 | (c >> 12));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (c >> 18));
        out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (c & 0x3F));
    }
}

void AppendWide(std::wstring& out, char32_t c) {
    if constexpr (kWideIsUtf16) {
        if (c >= 0x10000) {
            c -= 0x10000;
            out += static_cast<wchar_t>(0xD800 + (c >> 10));
            out += static_cast<wchar_t>(0xDC00 + (c & 0x3FF));
            return;
        }
    }
    out += static_cast<wchar_t>(c);
}

// Decodes one UTF-8 sequence at `p`, advancing it past the sequence or past the maximal invalid
// prefix (at least one byte).
char32_t DecodeUtf8(const unsigned char*& p) {
    const unsigned char lead = *p++;
    if (lead < 0x80) {
        return lead;
    }
    int trail = 0;
    char32_t c = 0;
    // Bounds of the first continuation byte exclude overlong forms, surrogates and values past
    // U+10FFFF.
    unsigned char low = 0x80;
    unsigned char high = 0xBF;
    if (lead >= 0xC2 && lead <= 0xDF) {
        trail = 1;
        c = lead & 0x1F;
    } else if (lead >= 0xE0 && lead <= 0xEF) {
        trail = 2;
        c = lead & 0x0F;
        low = lead == 0xE0 ? 0xA0 : 0x80;
        high = lead == 0xED ? 0x9F : 0xBF;
    } else if (lead >= 0xF0 && lead <= 0xF4) {
        trail = 3;
        c = lead & 0x07;
        low = lead == 0xF0 ? 0x90 : 0x80;
        high = lead == 0xF4 ? 0x8F : 0xBF;
    } else {
        return kReplacement;
    }
    for (int i = 0; i < trail; ++i) {
        const unsigned char next = *p;
        if (next < low || next > high) {
            return kReplacement;  // `p` stays on the offending byte (the terminator included)
        }
        c = (c << 6) | (next & 0x3F);
        ++p;
        low = 0x80;
        high = 0xBF;
    }
    return c;
}

}  // namespace

std::string VQWideToUtf8(const wchar_t* text) {
    std::string out;
    if (text == nullptr) {
        return out;
    }
    for (const wchar_t* p = text; *p != L'\0'; ++p) {
        char32_t c = static_cast<char32_t>(*p);
        if constexpr (kWideIsUtf16) {
            c &= 0xFFFF;
            if (c >= 0xD800 && c <= 0xDBFF) {
                const char32_t next = static_cast<char32_t>(p[1]) & 0xFFFF;
                if (next >= 0xDC00 && next <= 0xDFFF) {
                    c = 0x10000 + ((c - 0xD800) << 10) + (next - 0xDC00);
                    ++p;
                }
            }
        }
        AppendUtf8(out, c);
    }
    return out;
}

std::wstring VQUtf8ToWide(const char* text) {
    std::wstring out;
    if (text == nullptr) {
        return out;
    }
    const auto* p = reinterpret_cast<const unsigned char*>(text);
    while (*p != 0) {
        AppendWide(out, DecodeUtf8(p));
    }
    return out;
}
