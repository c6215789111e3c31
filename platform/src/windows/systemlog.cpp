#include "vqplatform/systemlog.h"

#include <string>

namespace vqplatform {

void WriteSystemLog(LogLevel /*level*/, const char* utf8Line) noexcept {
    try {
        const int length = MultiByteToWideChar(CP_UTF8, 0, utf8Line, -1, nullptr, 0);
        if (length <= 0) {
            return;
        }
        std::wstring wide(static_cast<std::size_t>(length), L'\0');
        MultiByteToWideChar(CP_UTF8, 0, utf8Line, -1, wide.data(), length);
        wide.back() = L'\n';  // in place of the terminating null, which the string keeps after it
        OutputDebugStringW(wide.c_str());
    } catch (...) {
        // No memory for the conversion: the line is dropped, as the contract says.
    }
}

}  // namespace vqplatform
