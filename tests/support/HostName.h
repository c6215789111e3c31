// The host name as the platform layer reads it, replaced for tests. On Linux the test program
// interposes gethostname (HostName.cpp), which the platform library calls through the dynamic
// linker, so no seam sits in production code. On Windows the computer name is the SDK's own.
#pragma once

namespace vqtest {

// False where the host name cannot be replaced; tests that need it skip.
bool HostNameSeamSupported();

// gethostname reports `name` (nullptr: fails with ENAMETOOLONG) until ResetHostName.
void SetHostName(const char* name);
void ResetHostName();

// Replaces the host name for one scope.
class ScopedHostName {
  public:
    explicit ScopedHostName(const char* name) { SetHostName(name); }
    ~ScopedHostName() { ResetHostName(); }
    ScopedHostName(const ScopedHostName&) = delete;
    ScopedHostName& operator=(const ScopedHostName&) = delete;
};

}  // namespace vqtest
