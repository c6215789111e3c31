// Seam state of the platform layer. Portable: on Windows only the lock operations read it, since
// the kernel and COM calls there are the SDK's own.
#include "vqplatform/testing.h"

#include <array>
#include <atomic>
#include <cstdint>
#include <mutex>
#include <string>
#include <vector>

#include "seams.h"

namespace vqplatform::detail {

// Constant-initialised and trivially destructible, so that it is valid at any time, static
// initialisation and exit included.
std::atomic<bool> g_anyFaultArmed{false};

}  // namespace vqplatform::detail

namespace vqplatform::testing {
namespace {

constexpr std::size_t kOperationCount = static_cast<std::size_t>(Operation::CritSecLeave) + 1;

struct Fault {
    unsigned passing = 0;  // calls still to succeed before the failing ones
    unsigned remaining = 0;
    DWORD error = 0;
};

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
        detail::g_anyFaultArmed.store(armed, std::memory_order_relaxed);
    }
};

// Bit 32 says the count is fixed, the low 32 bits hold it: one word, so that a reader never pairs
// a new mode with an old value.
constexpr std::uint64_t kClockFixed = std::uint64_t{1} << 32;

struct ClockSeam {
    std::atomic<std::uint64_t> state{0};
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

struct SystemLogSeam {
    std::atomic<bool> armed{false};
    std::mutex mutex;
    std::vector<SystemLogLine> lines;
};

SystemLogSeam& SystemLog() {
    static SystemLogSeam* log = new SystemLogSeam;
    return *log;
}

}  // namespace

void FailNext(Operation op, unsigned count, DWORD error, unsigned after) {
    FaultRegistry& registry = Faults();
    std::lock_guard<std::mutex> lock(registry.mutex);
    Fault& fault = registry.faults.at(static_cast<std::size_t>(op));
    fault.passing = count != 0 ? after : 0;
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
    if (!detail::AnyFaultArmed()) {
        return false;
    }
    FaultRegistry& registry = Faults();
    std::lock_guard<std::mutex> lock(registry.mutex);
    Fault& fault = registry.faults.at(static_cast<std::size_t>(op));
    if (fault.remaining == 0) {
        return false;
    }
    if (fault.passing != 0) {
        --fault.passing;
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
    Clock().state.store(kClockFixed | fixed, std::memory_order_relaxed);
}

bool ClockSeamSupported() {
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
    Clock().state.store(0, std::memory_order_relaxed);
    SystemLogSeam& log = SystemLog();
    std::lock_guard<std::mutex> lock(log.mutex);
    log.armed.store(false, std::memory_order_relaxed);
    log.lines.clear();
}

void CaptureSystemLog() {
    SystemLog().armed.store(true, std::memory_order_relaxed);
}

std::vector<SystemLogLine> TakeSystemLog() {
    SystemLogSeam& log = SystemLog();
    std::vector<SystemLogLine> lines;
    std::lock_guard<std::mutex> lock(log.mutex);
    lines.swap(log.lines);
    return lines;
}

}  // namespace vqplatform::testing

namespace vqplatform::detail {

DWORD ApplyClockSeam(DWORD real) {
    const std::uint64_t state = testing::Clock().state.load(std::memory_order_relaxed);
    return (state & testing::kClockFixed) != 0 ? static_cast<DWORD>(state) : real;
}

bool CaptureSystemLog(LogLevel level, const char* utf8Line) noexcept {
    testing::SystemLogSeam& log = testing::SystemLog();
    if (!log.armed.load(std::memory_order_relaxed)) {
        return false;
    }
    try {
        std::lock_guard<std::mutex> lock(log.mutex);
        if (log.lines.size() >= 1000) {
            log.lines.erase(log.lines.begin());
        }
        log.lines.push_back({level, utf8Line});
    } catch (...) {
        // No memory: the line is dropped, as a real system log may drop it.
    }
    return true;
}

}  // namespace vqplatform::detail
