#include "seams/HostName.h"

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <mutex>
#include <string>

#include "seams/Interposition.h"
#include "vqplatform/platform.h"

namespace vqtest {
namespace {

struct Replacement {
    std::mutex mutex;
    bool armed = false;
    bool unreadable = false;
    std::string name;
};

// Never destroyed: the libraries' static destructors may still ask for the name.
Replacement& TheReplacement() {
    static Replacement* replacement = new Replacement;
    return *replacement;
}

void Arm(bool unreadable, const char* name) {
    Replacement& replacement = TheReplacement();
    std::lock_guard<std::mutex> lock(replacement.mutex);
    replacement.armed = true;
    replacement.unreadable = unreadable;
    replacement.name = name;
}

void Disarm() {
    Replacement& replacement = TheReplacement();
    std::lock_guard<std::mutex> lock(replacement.mutex);
    replacement.armed = false;
}

}  // namespace

namespace replacements {

#if defined(_WIN32)
VQ_REPLACEMENT("GetComputerNameW", BOOL WINAPI, GetComputerNameW, (LPWSTR buffer, LPDWORD size)) {
    {
        Replacement& replacement = TheReplacement();
        std::lock_guard<std::mutex> lock(replacement.mutex);
        if (replacement.armed) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
    }
    return VQ_REAL(GetComputerNameW)(buffer, size);
}
#else
VQ_REPLACEMENT("gethostname", int, GetHostName, (char* name, std::size_t length)) {
    {
        Replacement& replacement = TheReplacement();
        std::lock_guard<std::mutex> lock(replacement.mutex);
        if (replacement.armed) {
            if (replacement.unreadable || replacement.name.size() >= length) {
                errno = ENAMETOOLONG;
                return -1;
            }
            std::memcpy(name, replacement.name.c_str(), replacement.name.size() + 1);
            return 0;
        }
    }
    return VQ_REAL(GetHostName)(name, length);
}
#endif

}  // namespace replacements

ScopedUnreadableComputerName::ScopedUnreadableComputerName() {
    Arm(true, "");
}

ScopedUnreadableComputerName::~ScopedUnreadableComputerName() {
    Disarm();
}

#if !defined(_WIN32)
ScopedHostName::ScopedHostName(const char* name) {
    Arm(false, name);
}

ScopedHostName::~ScopedHostName() {
    Disarm();
}
#endif

}  // namespace vqtest
