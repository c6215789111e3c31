#include "support/HostName.h"

#if !defined(_WIN32)
#include <dlfcn.h>

#include <cerrno>
#include <cstring>
#include <mutex>
#include <string>

namespace {

struct Replacement {
    std::mutex mutex;
    bool armed = false;
    bool fails = false;
    std::string name;
};

Replacement& TheReplacement() {
    static Replacement replacement;
    return replacement;
}

}  // namespace

// The program's definition comes first in the dynamic linker's search, so the platform library's
// call lands here. Default visibility: the project builds with hidden symbols, and a hidden
// definition would not be exported from the program.
extern "C" __attribute__((visibility("default"))) int gethostname(char* name, std::size_t length) {
    Replacement& replacement = TheReplacement();
    {
        std::lock_guard<std::mutex> lock(replacement.mutex);
        if (replacement.armed) {
            if (replacement.fails || replacement.name.size() >= length) {
                errno = ENAMETOOLONG;
                return -1;
            }
            std::memcpy(name, replacement.name.c_str(), replacement.name.size() + 1);
            return 0;
        }
    }
    using Real = int (*)(char*, std::size_t);
    static const auto real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "gethostname"));
    return real(name, length);
}

namespace vqtest {

bool HostNameSeamSupported() {
    return true;
}

void SetHostName(const char* name) {
    Replacement& replacement = TheReplacement();
    std::lock_guard<std::mutex> lock(replacement.mutex);
    replacement.armed = true;
    replacement.fails = name == nullptr;
    replacement.name = name != nullptr ? name : "";
}

void ResetHostName() {
    Replacement& replacement = TheReplacement();
    std::lock_guard<std::mutex> lock(replacement.mutex);
    replacement.armed = false;
}

}  // namespace vqtest

#else

namespace vqtest {

bool HostNameSeamSupported() {
    return false;
}

void SetHostName(const char* /*name*/) {}

void ResetHostName() {}

}  // namespace vqtest

#endif
