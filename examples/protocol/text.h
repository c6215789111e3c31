// Text helpers of the demo: conversions between the wire's UTF-16, the platform's wide strings
// (UTF-16 on Windows, UTF-32 on Linux) and UTF-8 for the console, and timestamped console lines.
//
// Contract: the conversions never fail; an unpaired surrogate or an invalid UTF-8 sequence becomes
// U+FFFD. PrintLine may be called from any thread: each line is written and flushed whole.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <string>

namespace vqdemo {

std::u16string Utf16FromWide(const wchar_t* text, std::size_t length);
std::wstring WideFromUtf16(const std::u16string& text);
std::string Utf8FromUtf16(const std::u16string& text);
std::u16string Utf16FromUtf8(const std::string& text);
std::string Utf8FromWide(const std::wstring& text);

// Local time of day, "HH:MM:SS.mmm".
std::string Timestamp();

// Writes "<timestamp> <text>" and a new line to `stream` (standard output by default).
void PrintLine(const std::string& text, std::FILE* stream = stdout);

// "0x" and eight upper-case hexadecimal digits, as HRESULTs are written.
std::string HexText(std::uint32_t value);

// From the call on, SIGINT and SIGTERM only set a flag, which the programs poll.
void CatchStopSignals();
bool StopSignalled();

}  // namespace vqdemo
