// The computer name's source, replaced for tests (seams/Interposition.h). On Linux the platform
// library derives the computer name from gethostname, which the test program replaces; on Windows
// the computer name is the system's own, and GetComputerNameW itself is replaced.
#pragma once

namespace vqtest {

// The computer name cannot be read until the scope ends: on Linux gethostname fails, on Windows
// GetComputerNameW fails with ERROR_GEN_FAILURE, as the Linux stand-in does then.
class ScopedUnreadableComputerName {
  public:
    ScopedUnreadableComputerName();
    ~ScopedUnreadableComputerName();
    ScopedUnreadableComputerName(const ScopedUnreadableComputerName&) = delete;
    ScopedUnreadableComputerName& operator=(const ScopedUnreadableComputerName&) = delete;
};

#if !defined(_WIN32)
// gethostname reports `name` until the scope ends.
class ScopedHostName {
  public:
    explicit ScopedHostName(const char* name);
    ~ScopedHostName();
    ScopedHostName(const ScopedHostName&) = delete;
    ScopedHostName& operator=(const ScopedHostName&) = delete;
};
#endif

}  // namespace vqtest
