// Seam state of the platform layer. Portable: on Windows only the lock operations read it, since
// the kernel and COM calls there are the SDK's own.
#include "vqplatform/testing.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>

#include "seams.h"

namespace vqplatform::testing {
namespace {

constexpr std::size_t kOperationCount = static_cast<std::size_t>(Operation::CritSecLeave) + 1;

struct Fault {
    unsigned remaining = 0;
    DWORD error = 0;
};

// The fast path of ConsumeFault reads only this flag: constant-initialised and trivially
// destructible, so it is valid at any time, static initialisation and exit included.
std::atomic<bool> g_anyFaultArmed{false};

// The counts change under the mutex, so that n armed faults fail exactly n calls however many
// threads race for them.
struct FaultRegistry {
    std::mutex mutex;
    std::array<Fault, kOperationCount> faults{};

    void UpdateArmedLocked() {
        bool armed = false;
        for (const Fault& fault : faults) {
            armed = armed || fault.remaining != 0;
        }
        g_anyFaultArmed.store(armed, std::memory_order_relaxed);
    }
};

enum class ClockMode : std::uint64_t { Real, Fixed, Offset };

// Mode and value in one word, so that a reader never pairs a new mode with an old value.
struct ClockSeam {
    std::atomic<std::uint64_t> state{0};

    void Store(ClockMode mode, DWORD value) {
        state.store(static_cast<std::uint64_t>(mode) << 32 | value, std::memory_order_relaxed);
    }
};

struct IdentitySeam {
    std::atomic<bool> armed{false};
    std::mutex mutex;
    bool replaced = false;
    std::wstring name;
    DWORD error = 0;
};

// Never destroyed: platform calls made by static destructors of other libraries still find them.
FaultRegistry& Faults() {
    static FaultRegistry* registry = new FaultRegistry;
    return *registry;
}

ClockSeam& Clock() {
    static ClockSeam* clock = new ClockSeam;
    return *clock;
}

IdentitySeam& Identity() {
    static IdentitySeam* identity = new IdentitySeam;
    return *identity;
}

}  // namespace

void FailNext(Operation op, unsigned count, DWORD error) {
    FaultRegistry& registry = Faults();
    std::lock_guard<std::mutex> lock(registry.mutex);
    Fault& fault = registry.faults.at(static_cast<std::size_t>(op));
    fault.remaining = count;
    fault.error = error;
    registry.UpdateArmedLocked();
}

bool FaultInjectionSupported(Operation op) {
#if defined(_WIN32)
    return op == Operation::CritSecInit || op == Operation::CritSecEnter || op == Operation::CritSecLeave;
#else
    return static_cast<std::size_t>(op) < kOperationCount;
#endif
}

bool ConsumeFault(Operation op, DWORD* error) {
    if (!g_anyFaultArmed.load(std::memory_order_relaxed)) {
        return false;
    }
    FaultRegistry& registry = Faults();
    std::lock_guard<std::mutex> lock(registry.mutex);
    Fault& fault = registry.faults.at(static_cast<std::size_t>(op));
    if (fault.remaining == 0) {
        return false;
    }
    --fault.remaining;
    if (error != nullptr) {
        *error = fault.error;
    }
    if (fault.remaining == 0) {
        registry.UpdateArmedLocked();
    }
    return true;
}

void SetTickCount(DWORD fixed) {
    Clock().Store(ClockMode::Fixed, fixed);
}

void SetTickCountOffset(DWORD offset) {
    Clock().Store(ClockMode::Offset, offset);
}

bool ClockSeamSupported() {
#if defined(_WIN32)
    return false;
#else
    return true;
#endif
}

void SetComputerName(const wchar_t* name) {
    IdentitySeam& identity = Identity();
    std::lock_guard<std::mutex> lock(identity.mutex);
    identity.replaced = true;
    identity.name = name != nullptr ? name : L"";
    identity.error = 0;
    identity.armed.store(true, std::memory_order_relaxed);
}

void FailComputerName(DWORD error) {
    IdentitySeam& identity = Identity();
    std::lock_guard<std::mutex> lock(identity.mutex);
    identity.error = error;
    identity.armed.store(true, std::memory_order_relaxed);
}

bool IdentitySeamSupported() {
#if defined(_WIN32)
    return false;
#else
    return true;
#endif
}

void ResetAll() {
    {
        FaultRegistry& registry = Faults();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.faults.fill(Fault{});
        registry.UpdateArmedLocked();
    }
    Clock().Store(ClockMode::Real, 0);
    {
        IdentitySeam& identity = Identity();
        std::lock_guard<std::mutex> lock(identity.mutex);
        identity.replaced = false;
        identity.name.clear();
        identity.error = 0;
        identity.armed.store(false, std::memory_order_relaxed);
    }
}

}  // namespace vqplatform::testing

namespace vqplatform::detail {

using testing::ClockMode;

DWORD ApplyClockSeam(DWORD real) {
    const std::uint64_t state = testing::Clock().state.load(std::memory_order_relaxed);
    const auto value = static_cast<DWORD>(state);
    switch (static_cast<ClockMode>(state >> 32)) {
        case ClockMode::Fixed:
            return value;
        case ClockMode::Offset:
            // Unsigned arithmetic: the sum wraps at 2^32 like the real count.
            return real + value;
        case ClockMode::Real:
            break;
    }
    return real;
}

bool ComputerNameSeam(std::wstring* name, DWORD* error) {
    testing::IdentitySeam& identity = testing::Identity();
    if (!identity.armed.load(std::memory_order_relaxed)) {
        return false;
    }
    std::lock_guard<std::mutex> lock(identity.mutex);
    if (identity.error != 0) {
        *error = identity.error;
        return true;
    }
    if (!identity.replaced) {
        return false;
    }
    *error = 0;
    *name = identity.name;
    return true;
}

}  // namespace vqplatform::detail
