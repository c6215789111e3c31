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

#if defined(_WIN32)
interposition::Replaced g_getComputerName{"GetComputerNameW"};
#else
interposition::Replaced g_getHostName{"gethostname"};
#endif

}  // namespace

namespace replacements {

#if defined(_WIN32)
BOOL WINAPI GetComputerNameW(LPWSTR buffer, LPDWORD size) {
    {
        Replacement& replacement = TheReplacement();
        std::lock_guard<std::mutex> lock(replacement.mutex);
        if (replacement.armed) {
            SetLastError(ERROR_GEN_FAILURE);
            return FALSE;
        }
    }
    return g_getComputerName.Real<decltype(&GetComputerNameW)>()(buffer, size);
}
#else
int GetHostName(char* name, std::size_t length) VQ_REPLACES("gethostname");
int GetHostName(char* name, std::size_t length) {
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
    return g_getHostName.Real<decltype(&GetHostName)>()(name, length);
}
#endif

}  // namespace replacements

namespace {

#if defined(_WIN32)
const struct Installation {
    Installation() { g_getComputerName.Install(reinterpret_cast<void*>(&replacements::GetComputerNameW)); }
} g_installation;
#endif

}  // namespace

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
