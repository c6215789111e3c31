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

using interposition::Replaced;

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

Replaced g_createEvent{VQ_SYMBOL("_Z12CreateEventWP19SECURITY_ATTRIBUTESiiPKw", "CreateEventW")};
Replaced g_setEvent{VQ_SYMBOL("_Z8SetEventPv", "SetEvent")};
Replaced g_waitForSingleObject{VQ_SYMBOL("_Z19WaitForSingleObjectPvj", "WaitForSingleObject")};
Replaced g_msgWait{VQ_SYMBOL("_Z27MsgWaitForMultipleObjectsExjPKPvjjj", "MsgWaitForMultipleObjectsEx")};
Replaced g_beginThread{VQ_SYMBOL("_Z14_beginthreadexPvjPFjS_ES_jPj", "_beginthreadex")};
Replaced g_setThreadPriority{VQ_SYMBOL("_Z17SetThreadPriorityPvi", "SetThreadPriority")};
Replaced g_coInitialize{VQ_SYMBOL("_Z14CoInitializeExPvj", "CoInitializeEx")};
Replaced g_coCreateInstance{VQ_SYMBOL("_Z16CoCreateInstanceRK4GUIDP8IUnknownjS1_PPv", "CoCreateInstance")};
Replaced g_getTickCount{VQ_SYMBOL("_Z12GetTickCountv", "GetTickCount")};
Replaced g_critSecConstruct{"_ZN23CComAutoCriticalSectionC1Ev"};
Replaced g_critSecLock{"_ZN23CComAutoCriticalSection4LockEv"};
Replaced g_critSecUnlock{"_ZN23CComAutoCriticalSection6UnlockEv"};
Replaced g_writeSystemLog{"_ZN10vqplatform14WriteSystemLogENS_8LogLevelEPKc"};

}  // namespace

// The replacements: external names, so that on Linux each is the program's definition of its symbol.
namespace replacements {

HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                           LPCWSTR name) VQ_REPLACES("_Z12CreateEventWP19SECURITY_ATTRIBUTESiiPKw");
HANDLE WINAPI CreateEventW(LPSECURITY_ATTRIBUTES attributes, BOOL manualReset, BOOL initialState,
                           LPCWSTR name) {
    if (Failed(Operation::CreateEvent)) {
        return nullptr;
    }
    return g_createEvent.Real<decltype(&CreateEventW)>()(attributes, manualReset, initialState, name);
}

BOOL WINAPI SetEvent(HANDLE event) VQ_REPLACES("_Z8SetEventPv");
BOOL WINAPI SetEvent(HANDLE event) {
    if (Failed(Operation::SetEvent)) {
        return FALSE;
    }
    return g_setEvent.Real<decltype(&SetEvent)>()(event);
}

DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) VQ_REPLACES("_Z19WaitForSingleObjectPvj");
DWORD WINAPI WaitForSingleObject(HANDLE handle, DWORD milliseconds) {
    if (Failed(Operation::Wait)) {
        return WAIT_FAILED;
    }
    return g_waitForSingleObject.Real<decltype(&WaitForSingleObject)>()(handle, milliseconds);
}

DWORD WINAPI MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds,
                                         DWORD wakeMask, DWORD flags)
    VQ_REPLACES("_Z27MsgWaitForMultipleObjectsExjPKPvjjj");
DWORD WINAPI MsgWaitForMultipleObjectsEx(DWORD count, const HANDLE* handles, DWORD milliseconds,
                                         DWORD wakeMask, DWORD flags) {
    if (Failed(Operation::Wait)) {
        return WAIT_FAILED;
    }
    return g_msgWait.Real<decltype(&MsgWaitForMultipleObjectsEx)>()(count, handles, milliseconds, wakeMask,
                                                                    flags);
}

std::uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned(WINAPI* startAddress)(void*),
                              void* argument, unsigned initFlag, unsigned* threadId)
    VQ_REPLACES("_Z14_beginthreadexPvjPFjS_ES_jPj");
std::uintptr_t _beginthreadex(void* security, unsigned stackSize, unsigned(WINAPI* startAddress)(void*),
                              void* argument, unsigned initFlag, unsigned* threadId) {
    if (Failed(Operation::CreateThread)) {
        errno = EAGAIN;
        return 0;
    }
    return g_beginThread.Real<decltype(&_beginthreadex)>()(security, stackSize, startAddress, argument,
                                                           initFlag, threadId);
}

BOOL WINAPI SetThreadPriority(HANDLE thread, int priority) VQ_REPLACES("_Z17SetThreadPriorityPvi");
BOOL WINAPI SetThreadPriority(HANDLE thread, int priority) {
    if (Failed(Operation::SetThreadPriority)) {
        return FALSE;
    }
    return g_setThreadPriority.Real<decltype(&SetThreadPriority)>()(thread, priority);
}

HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD coInit) VQ_REPLACES("_Z14CoInitializeExPvj");
HRESULT WINAPI CoInitializeEx(LPVOID reserved, DWORD coInit) {
    DWORD error = 0;
    if (Consume(Operation::CoInitialize, &error)) {
        return static_cast<HRESULT>(error);
    }
    return g_coInitialize.Real<decltype(&CoInitializeEx)>()(reserved, coInit);
}

// Every table it hands out fails on demand.
HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, IUnknown* outer, DWORD context, REFIID riid, LPVOID* ppv)
    VQ_REPLACES("_Z16CoCreateInstanceRK4GUIDP8IUnknownjS1_PPv");
HRESULT WINAPI CoCreateInstance(REFCLSID rclsid, IUnknown* outer, DWORD context, REFIID riid, LPVOID* ppv) {
    const bool table = IsEqualGUID(rclsid, CLSID_StdGlobalInterfaceTable) && ppv != nullptr;
    DWORD error = 0;
    if (table && Consume(Operation::GitCreate, &error)) {
        *ppv = nullptr;
        return static_cast<HRESULT>(error);
    }
    const HRESULT hr =
        g_coCreateInstance.Real<decltype(&CoCreateInstance)>()(rclsid, outer, context, riid, ppv);
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

DWORD WINAPI GetTickCount() VQ_REPLACES("_Z12GetTickCountv");
DWORD WINAPI GetTickCount() {
    const std::uint64_t clock = g_clock.load(std::memory_order_relaxed);
    if ((clock & kClockFixed) != 0) {
        return static_cast<DWORD>(clock);
    }
    return g_getTickCount.Real<decltype(&GetTickCount)>()();
}

void CComAutoCriticalSectionConstruct(CComAutoCriticalSection* self)
    VQ_REPLACES("_ZN23CComAutoCriticalSectionC1Ev");
void CComAutoCriticalSectionConstruct(CComAutoCriticalSection* self) {
    DWORD error = 0;
    if (Consume(Operation::CritSecInit, &error)) {
        // As ATL under MFC throws for a section it cannot initialise.
        if (static_cast<HRESULT>(error) == E_OUTOFMEMORY) {
            AfxThrowMemoryException();
        }
        AfxThrowOleException(static_cast<SCODE>(error));
    }
    g_critSecConstruct.Real<decltype(&CComAutoCriticalSectionConstruct)>()(self);
}

HRESULT CComAutoCriticalSectionLock(CComAutoCriticalSection* self)
    VQ_REPLACES("_ZN23CComAutoCriticalSection4LockEv");
HRESULT CComAutoCriticalSectionLock(CComAutoCriticalSection* self) {
    DWORD error = 0;
    if (Consume(Operation::CritSecEnter, &error)) {
        return static_cast<HRESULT>(error);
    }
    return g_critSecLock.Real<decltype(&CComAutoCriticalSectionLock)>()(self);
}

HRESULT CComAutoCriticalSectionUnlock(CComAutoCriticalSection* self)
    VQ_REPLACES("_ZN23CComAutoCriticalSection6UnlockEv");
HRESULT CComAutoCriticalSectionUnlock(CComAutoCriticalSection* self) {
    DWORD error = 0;
    if (Consume(Operation::CritSecLeave, &error)) {
        return static_cast<HRESULT>(error);
    }
    return g_critSecUnlock.Real<decltype(&CComAutoCriticalSectionUnlock)>()(self);
}

void WriteSystemLog(vqplatform::LogLevel level, const char* utf8Line) noexcept
    VQ_REPLACES("_ZN10vqplatform14WriteSystemLogENS_8LogLevelEPKc");
void WriteSystemLog(vqplatform::LogLevel level, const char* utf8Line) noexcept {
    SystemLogCapture& capture = Capture();
    if (!capture.armed.load(std::memory_order_relaxed)) {
        g_writeSystemLog.Real<decltype(&WriteSystemLog)>()(level, utf8Line);
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

namespace {

// Windows: the imports are pointed at the replacements once, before the tests run.
const struct Installation {
    Installation() {
        g_createEvent.Install(reinterpret_cast<void*>(&replacements::CreateEventW));
        g_setEvent.Install(reinterpret_cast<void*>(&replacements::SetEvent));
        g_waitForSingleObject.Install(reinterpret_cast<void*>(&replacements::WaitForSingleObject));
        g_msgWait.Install(reinterpret_cast<void*>(&replacements::MsgWaitForMultipleObjectsEx));
        g_beginThread.Install(reinterpret_cast<void*>(&replacements::_beginthreadex));
        g_setThreadPriority.Install(reinterpret_cast<void*>(&replacements::SetThreadPriority));
        g_coInitialize.Install(reinterpret_cast<void*>(&replacements::CoInitializeEx));
        g_coCreateInstance.Install(reinterpret_cast<void*>(&replacements::CoCreateInstance));
        g_getTickCount.Install(reinterpret_cast<void*>(&replacements::GetTickCount));
        g_critSecConstruct.Install(reinterpret_cast<void*>(&replacements::CComAutoCriticalSectionConstruct));
        g_critSecLock.Install(reinterpret_cast<void*>(&replacements::CComAutoCriticalSectionLock));
        g_critSecUnlock.Install(reinterpret_cast<void*>(&replacements::CComAutoCriticalSectionUnlock));
        g_writeSystemLog.Install(reinterpret_cast<void*>(&replacements::WriteSystemLog));
    }
} g_installation;

}  // namespace

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
