// The replaced platform calls (seams/Interposition.h): each fails when the calling thread has armed
// its operation, reports the fixed tick count or keeps the system log's line, and otherwise calls
// the real function. The symbols are the Linux stand-in's (C++ names, hence mangled) and the SDK's.
#include "seams/PlatformSeams.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "seams/Interposition.h"
#include "vqplatform/platform.h"

namespace vqtest::seams {
namespace {

constexpr std::size_t kOperationCount = static_cast<std::size_t>(Operation::CritSecLeave) + 1;

// One operation's fault. Only the arming thread reads and changes the counts; every other thread
// reads the owner alone. No lock and no thread-local storage: on Windows the threading runtime
// itself calls replaced functions (waits, events, thread creation) from inside its own locking,
// where re-entering it breaks its locks.
struct Fault {
    std::atomic<DWORD> owner{0};  // the arming thread's id; 0 while disarmed
    unsigned passing = 0;         // calls still to succeed before the failing ones
    unsigned remaining = 0;
    DWORD error = 0;
};

// Constant-initialised: valid before any constructor has run.
std::array<Fault, kOperationCount> g_faults;

// True (and the armed error) when this call of `op` is to fail.
bool Consume(Operation op, DWORD* error) {
    Fault& fault = g_faults[static_cast<std::size_t>(op)];
    const DWORD owner = fault.owner.load(std::memory_order_acquire);
    if (owner == 0 || owner != GetCurrentThreadId()) {
        return false;
    }
    if (fault.passing != 0) {
        --fault.passing;
        return false;
    }
    --fault.remaining;
    *error = fault.error;
    if (fault.remaining == 0) {
        fault.owner.store(0, std::memory_order_relaxed);
    }
    return true;
}

// A kernel call's failure: the armed error in GetLastError.
bool Failed(Operation op) {
    DWORD error = 0;
    if (!Consume(op, &error)) {
        return false;
    }
    SetLastError(error);
    return true;
}

// Bit 32 says the count is fixed, the low 32 bits hold it: one word, so that a reader never pairs
// a new mode with an old value.
constexpr std::uint64_t kClockFixed = std::uint64_t{1} << 32;
std::atomic<std::uint64_t> g_clock{0};

struct SystemLogCapture {
    std::atomic<bool> armed{false};
    std::mutex mutex;
    std::vector<SystemLogLine> lines;
};

// Never destroyed: the libraries' static destructors may still write to the system log.
SystemLogCapture& Capture() {
    static SystemLogCapture* capture = new SystemLogCapture;
    return *capture;
}

// The Global Interface Table as CoCreateInstance hands it out, with failing calls on demand.
class FaultingTable final : public IGlobalInterfaceTable {
  public:
    // Takes over the caller's reference on `table`.
    explicit FaultingTable(IGlobalInterfaceTable* table) : m_table(table) {}
    FaultingTable(const FaultingTable&) = delete;
    FaultingTable& operator=(const FaultingTable&) = delete;

    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        if (IsEqualIID(riid, IID_IUnknown) || IsEqualIID(riid, IID_IGlobalInterfaceTable)) {
            *ppvObject = static_cast<IGlobalInterfaceTable*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }
    ULONG STDMETHODCALLTYPE AddRef() override { return ++m_refs; }
    ULONG STDMETHODCALLTYPE Release() override {
        const ULONG refs = --m_refs;
        if (refs == 0) {
            m_table->Release();
            delete this;
        }
        return refs;
    }

    HRESULT STDMETHODCALLTYPE RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid,
                                                        DWORD* pdwCookie) override {
        DWORD error = 0;
        if (Consume(Operation::GitRegister, &error)) {
            if (pdwCookie != nullptr) {
                *pdwCookie = 0;
            }
            return static_cast<HRESULT>(error);
        }
        return m_table->RegisterInterfaceInGlobal(pUnk, riid, pdwCookie);
    }
    HRESULT STDMETHODCALLTYPE RevokeInterfaceFromGlobal(DWORD dwCookie) override {
        return m_table->RevokeInterfaceFromGlobal(dwCookie);
    }
    HRESULT STDMETHODCALLTYPE GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) override {
        DWORD error = 0;
        if (Consume(Operation::GitGet, &error)) {
            if (ppv != nullptr) {
                *ppv = nullptr;
            }
            return static_cast<HRESULT>(error);
        }
        return m_table->GetInterfaceFromGlobal(dwCookie, riid, ppv);
    }

  private:
    ~FaultingTable() = default;

    std::atomic<ULONG> m_refs{1};
    IGlobalInterfaceTable* const m_table;
};

}  // namespace

// The replacements: external names, so that on Linux each is the program's definition of its symbol.
namespace replacements {

// A kernel call that fails with `failure` and the armed error while `op` is armed.
#define VQ_KERNEL_CALL(symbol, op, failure, ret, name, params, args) \
    VQ_REPLACEMENT(symbol, ret, name, params) {                      \
        if (Failed(op)) {                                            \
            return failure;                                          \
        }                                                            \
        return VQ_REAL(name) args;                                   \
    }
// A call that returns the armed HRESULT while `op` is armed.
#define VQ_HRESULT_CALL(symbol, op, ret, name, params, args) \
    VQ_REPLACEMENT(symbol, ret, name, params) {              \
        DWORD error = 0;                                     \
        if (Consume(op, &error)) {                           \
            return static_cast<HRESULT>(error);              \
        }                                                    \
        return VQ_REAL(name) args;                           \
    }

VQ_KERNEL_CALL(VQ_SYMBOL("_Z12CreateEventWP19SECURITY_ATTRIBUTESiiPKw", "CreateEventW"),
               Operation::CreateEvent, nullptr, HANDLE WINAPI, CreateEventW,
               (LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState, LPCWSTR name),
               (attributes, manualReset, initialState, name))
VQ_KERNEL_CALL(VQ_SYMBOL("_Z8SetEventPv", "SetEvent"), Operation::SetEvent, FALSE, BOOL WINAPI, SetEvent,
               (HANDLE event), (event))
VQ_KERNEL_CALL(VQ_SYMBOL("_Z19WaitForSingleObjectPvj", "WaitForSingleObject"), Operation::Wait, WAIT_FAILED,
               DWORD WINAPI, WaitForSingleObject, (HANDLE handle, DWORD milliseconds), (handle, milliseconds))
VQ_KERNEL_CALL(VQ_SYMBOL("_Z27MsgWaitForMultipleObjectsExjPKPvjjj", "MsgWaitForMultipleObjectsEx"),
               Operation::Wait, WAIT_FAILED, DWORD WINAPI, MsgWaitForMultipleObjectsEx,
               (DWORD count, const HANDLE* handles, DWORD milliseconds, DWORD wakeMask, DWORD flags),
               (count, handles, milliseconds, wakeMask, flags))
VQ_KERNEL_CALL(VQ_SYMBOL("_Z17SetThreadPriorityPvi", "SetThreadPriority"), Operation::SetThreadPriority,
               FALSE, BOOL WINAPI, SetThreadPriority, (HANDLE thread, int priority), (thread, priority))
VQ_HRESULT_CALL(VQ_SYMBOL("_Z14CoInitializeExPvj", "CoInitializeEx"), Operation::CoInitialize, HRESULT WINAPI,
                CoInitializeEx, (LPVOID reserved, DWORD coInit), (reserved, coInit))
VQ_HRESULT_CALL("_ZN23CComAutoCriticalSection4LockEv", Operation::CritSecEnter, HRESULT,
                CComAutoCriticalSectionLock, (CComAutoCriticalSection * self), (self))
VQ_HRESULT_CALL("_ZN23CComAutoCriticalSection6UnlockEv", Operation::CritSecLeave, HRESULT,
                CComAutoCriticalSectionUnlock, (CComAutoCriticalSection * self), (self))

VQ_REPLACEMENT(VQ_SYMBOL("_Z14_beginthreadexPvjPFjS_ES_jPj", "_beginthreadex"), std::uintptr_t,
               _beginthreadex,
               (void* security, unsigned stackSize, unsigned(WINAPI* startAddress)(void*), void* argument,
                unsigned initFlag, unsigned* threadId)) {
    if (Failed(Operation::CreateThread)) {
        errno = EAGAIN;
        return 0;
    }
    return VQ_REAL(_beginthreadex)(security, stackSize, startAddress, argument, initFlag, threadId);
}

// Every table it hands out fails on demand.
VQ_REPLACEMENT(VQ_SYMBOL("_Z16CoCreateInstanceRK4GUIDP8IUnknownjS1_PPv", "CoCreateInstance"), HRESULT WINAPI,
               CoCreateInstance,
               (REFCLSID rclsid, IUnknown* outer, DWORD context, REFIID riid, LPVOID* ppv)) {
    const bool table = IsEqualGUID(rclsid, CLSID_StdGlobalInterfaceTable) && ppv != nullptr;
    DWORD error = 0;
    if (table && Consume(Operation::GitCreate, &error)) {
        *ppv = nullptr;
        return static_cast<HRESULT>(error);
    }
    const HRESULT hr = VQ_REAL(CoCreateInstance)(rclsid, outer, context, riid, ppv);
    if (!table || FAILED(hr)) {
        return hr;
    }
    auto* const real = static_cast<IUnknown*>(*ppv);
    IGlobalInterfaceTable* interfaceTable = nullptr;
    const HRESULT found =
        real->QueryInterface(IID_IGlobalInterfaceTable, reinterpret_cast<void**>(&interfaceTable));
    real->Release();
    *ppv = nullptr;
    if (FAILED(found)) {
        return found;
    }
    auto* const faulting = new FaultingTable(interfaceTable);
    const HRESULT asked = faulting->QueryInterface(riid, ppv);
    faulting->Release();
    return asked;
}

VQ_REPLACEMENT(VQ_SYMBOL("_Z12GetTickCountv", "GetTickCount"), DWORD WINAPI, GetTickCount, ()) {
    const std::uint64_t clock = g_clock.load(std::memory_order_relaxed);
    if ((clock & kClockFixed) != 0) {
        return static_cast<DWORD>(clock);
    }
    return VQ_REAL(GetTickCount)();
}

VQ_REPLACEMENT("_ZN23CComAutoCriticalSectionC1Ev", void, CComAutoCriticalSectionConstruct,
               (CComAutoCriticalSection * self)) {
    DWORD error = 0;
    if (Consume(Operation::CritSecInit, &error)) {
        // As ATL under MFC throws for a section it cannot initialise.
        if (static_cast<HRESULT>(error) == E_OUTOFMEMORY) {
            AfxThrowMemoryException();
        }
        AfxThrowOleException(static_cast<SCODE>(error));
    }
    VQ_REAL(CComAutoCriticalSectionConstruct)(self);
}

VQ_REPLACEMENT("_ZN10vqplatform14WriteSystemLogENS_8LogLevelEPKc", void, WriteSystemLog,
               (vqplatform::LogLevel level, const char* utf8Line) noexcept) {
    SystemLogCapture& capture = Capture();
    if (!capture.armed.load(std::memory_order_relaxed)) {
        VQ_REAL(WriteSystemLog)(level, utf8Line);
        return;
    }
    try {
        std::lock_guard<std::mutex> lock(capture.mutex);
        capture.lines.push_back({level, utf8Line});
    } catch (...) {
        // No memory: the line is dropped, as a real system log may drop it.
    }
}

}  // namespace replacements

void FailNext(Operation op, unsigned count, DWORD error, unsigned after) {
    Fault& fault = g_faults[static_cast<std::size_t>(op)];
    fault.owner.store(0, std::memory_order_relaxed);
    fault.passing = after;
    fault.remaining = count;
    fault.error = error;
    if (count != 0) {
        fault.owner.store(GetCurrentThreadId(), std::memory_order_release);
    }
}

void SetTickCount(DWORD fixed) {
    g_clock.store(kClockFixed | fixed, std::memory_order_relaxed);
}

void CaptureSystemLog() {
    Capture().armed.store(true, std::memory_order_relaxed);
}

std::vector<SystemLogLine> TakeSystemLog() {
    SystemLogCapture& capture = Capture();
    std::vector<SystemLogLine> lines;
    std::lock_guard<std::mutex> lock(capture.mutex);
    lines.swap(capture.lines);
    return lines;
}

void ResetAll() {
    for (Fault& fault : g_faults) {
        fault.owner.store(0, std::memory_order_relaxed);
    }
    g_clock.store(0, std::memory_order_relaxed);
    SystemLogCapture& capture = Capture();
    std::lock_guard<std::mutex> lock(capture.mutex);
    capture.armed.store(false, std::memory_order_relaxed);
    capture.lines.clear();
}

}  // namespace vqtest::seams
