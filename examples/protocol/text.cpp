#include "protocol/text.h"

#include <chrono>
#include <csignal>
#include <ctime>
#include <mutex>

namespace vqdemo {

namespace {

constexpr char32_t kReplacement = 0xFFFD;

bool IsHighSurrogate(char32_t c) {
    return c >= 0xD800 && c <= 0xDBFF;
}
bool IsLowSurrogate(char32_t c) {
    return c >= 0xDC00 && c <= 0xDFFF;
}

// Code points of UTF-16 units; unpaired surrogates become the replacement character.
template <class Unit, class Sink>
void DecodeUtf16(const Unit* units, std::size_t length, Sink sink) {
    for (std::size_t i = 0; i < length; ++i) {
        const char32_t c = static_cast<char16_t>(units[i]);
        if (IsHighSurrogate(c) && i + 1 < length && IsLowSurrogate(static_cast<char16_t>(units[i + 1]))) {
            const char32_t low = static_cast<char16_t>(units[++i]);
            sink(0x10000 + ((c - 0xD800) << 10) + (low - 0xDC00));
        } else if (IsHighSurrogate(c) || IsLowSurrogate(c)) {
            sink(kReplacement);
        } else {
            sink(c);
        }
    }
}

void AppendUtf16(std::u16string& out, char32_t c) {
    if (c > 0x10FFFF || IsHighSurrogate(c) || IsLowSurrogate(c)) {
        c = kReplacement;
    }
    if (c >= 0x10000) {
        c -= 0x10000;
        out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
        out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
    } else {
        out.push_back(static_cast<char16_t>(c));
    }
}

void AppendUtf8(std::string& out, char32_t c) {
    if (c < 0x80) {
        out.push_back(static_cast<char>(c));
    } else if (c < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (c >> 6)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else if (c < 0x10000) {
        out.push_back(static_cast<char>(0xE0 | (c >> 12)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xF0 | (c >> 18)));
        out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
    }
}

std::mutex g_consoleMutex;

}  // namespace

std::u16string Utf16FromWide(const wchar_t* text, std::size_t length) {
    std::u16string out;
    out.reserve(length);
    if constexpr (sizeof(wchar_t) == 2) {
        for (std::size_t i = 0; i < length; ++i) {
            out.push_back(static_cast<char16_t>(text[i]));
        }
    } else {
        for (std::size_t i = 0; i < length; ++i) {
            AppendUtf16(out, static_cast<char32_t>(text[i]));
        }
    }
    return out;
}

std::wstring WideFromUtf16(const std::u16string& text) {
    std::wstring out;
    out.reserve(text.size());
    if constexpr (sizeof(wchar_t) == 2) {
        out.assign(text.begin(), text.end());
    } else {
        DecodeUtf16(text.data(), text.size(), [&out](char32_t c) { out.push_back(static_cast<wchar_t>(c)); });
    }
    return out;
}

std::string Utf8FromUtf16(const std::u16string& text) {
    std::string out;
    out.reserve(text.size());
    DecodeUtf16(text.data(), text.size(), [&out](char32_t c) { AppendUtf8(out, c); });
    return out;
}

std::u16string Utf16FromUtf8(const std::string& text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto lead = static_cast<unsigned char>(text[i]);
        std::size_t extra = 0;
        char32_t c = 0;
        char32_t minimum = 0;
        if (lead < 0x80) {
            c = lead;
        } else if ((lead & 0xE0) == 0xC0) {
            extra = 1;
            c = lead & 0x1F;
            minimum = 0x80;
        } else if ((lead & 0xF0) == 0xE0) {
            extra = 2;
            c = lead & 0x0F;
            minimum = 0x800;
        } else if ((lead & 0xF8) == 0xF0) {
            extra = 3;
            c = lead & 0x07;
            minimum = 0x10000;
        } else {
            AppendUtf16(out, kReplacement);
            ++i;
            continue;
        }
        std::size_t taken = 1;
        while (taken <= extra && i + taken < text.size() &&
               (static_cast<unsigned char>(text[i + taken]) & 0xC0) == 0x80) {
            c = (c << 6) | (static_cast<unsigned char>(text[i + taken]) & 0x3F);
            ++taken;
        }
        // Truncated and overlong sequences are invalid; AppendUtf16 rejects surrogates and the rest.
        AppendUtf16(out, taken == extra + 1 && c >= minimum ? c : kReplacement);
        i += taken;
    }
    return out;
}

std::string Utf8FromWide(const std::wstring& text) {
    return Utf8FromUtf16(Utf16FromWide(text.data(), text.size()));
}

std::string Timestamp() {
    const auto now = std::chrono::system_clock::now();
    const std::time_t seconds = std::chrono::system_clock::to_time_t(now);
    const auto millis =
        std::chrono::duration_cast<std::chrono::milliseconds>(now.time_since_epoch()).count() % 1000;
    std::tm local{};
#if defined(_WIN32)
    localtime_s(&local, &seconds);
#else
    localtime_r(&seconds, &local);
#endif
    char text[16];
    std::snprintf(text, sizeof(text), "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min, local.tm_sec,
                  static_cast<int>(millis));
    return text;
}

void PrintLine(const std::string& text, std::FILE* stream) {
    const std::string line = Timestamp() + " " + text + "\n";
    std::lock_guard<std::mutex> lock(g_consoleMutex);
    std::fwrite(line.data(), 1, line.size(), stream);
    std::fflush(stream);
}

std::string HexText(std::uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof(text), "0x%08X", static_cast<unsigned>(value));
    return text;
}

namespace {

volatile std::sig_atomic_t g_stopSignalled = 0;

extern "C" void OnStopSignal(int) {
    g_stopSignalled = 1;
}

}  // namespace

void CatchStopSignals() {
    std::signal(SIGINT, OnStopSignal);
    std::signal(SIGTERM, OnStopSignal);
}

bool StopSignalled() {
    return g_stopSignalled != 0;
}

}  // namespace vqdemo
