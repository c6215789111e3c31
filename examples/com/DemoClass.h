// The class of the demo agent that vqdemo_com_server serves by default.
#pragma once

#include <objbase.h>

#include <string>

#include "protocol/text.h"

namespace vqdemo {

// {5D0C3E7B-8A41-4C52-9F06-2B7E1D4A6C93}
inline constexpr CLSID kDemoClassId = {
    0x5D0C3E7B, 0x8A41, 0x4C52, {0x9F, 0x06, 0x2B, 0x7E, 0x1D, 0x4A, 0x6C, 0x93}};

// "{XXXXXXXX-XXXX-XXXX-XXXX-XXXXXXXXXXXX}"
inline std::wstring ClassIdText(const CLSID& classId) {
    wchar_t text[40] = {};
    StringFromGUID2(classId, text, 40);
    return text;
}

// A class id in the form ClassIdText writes, from a command line.
inline bool ParseClassId(const std::string& text, CLSID* classId) {
    return SUCCEEDED(CLSIDFromString(WideFromUtf16(Utf16FromUtf8(text)).c_str(), classId));
}

}  // namespace vqdemo
