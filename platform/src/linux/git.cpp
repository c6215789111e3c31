// CoCreateInstance and the process-wide Global Interface Table on Linux.
//
// The table keeps each registered object behind a shared holder whose last owner releases it. A
// lookup copies the holder under the table's lock and calls the object after unlocking, so a
// revocation racing with it cannot release the object under its feet, and no client code (AddRef,
// Release, QueryInterface) ever runs while the lock is held.
#include <atomic>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <unordered_map>
#include <utility>

#include "vqplatform/com.h"

namespace {

// Owns the table's one reference on a registered object.
class Registration {
  public:
    explicit Registration(IUnknown* object) : m_object(object) {}
    Registration(const Registration&) = delete;
    Registration& operator=(const Registration&) = delete;
    ~Registration() { m_object->Release(); }

    IUnknown* Object() const { return m_object; }

  private:
    IUnknown* m_object;
};

class GlobalInterfaceTable final : public IGlobalInterfaceTable {
  public:
    HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) override {
        if (ppvObject == nullptr) {
            return E_POINTER;
        }
        if (riid == IID_IUnknown || riid == IID_IGlobalInterfaceTable) {
            *ppvObject = static_cast<IGlobalInterfaceTable*>(this);
            AddRef();
            return S_OK;
        }
        *ppvObject = nullptr;
        return E_NOINTERFACE;
    }

    // Counted for the callers' sake, but the table lives for the process: it is never deleted.
    ULONG STDMETHODCALLTYPE AddRef() override { return m_refs.fetch_add(1, std::memory_order_relaxed) + 1; }
    ULONG STDMETHODCALLTYPE Release() override { return m_refs.fetch_sub(1, std::memory_order_relaxed) - 1; }

    HRESULT STDMETHODCALLTYPE RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID /*riid*/,
                                                        DWORD* pdwCookie) override {
        if (pUnk == nullptr || pdwCookie == nullptr) {
            return E_INVALIDARG;
        }
        *pdwCookie = 0;
        pUnk->AddRef();
        std::shared_ptr<Registration> registration;
        try {
            registration = std::make_shared<Registration>(pUnk);
        } catch (const std::bad_alloc&) {
            pUnk->Release();
            return E_OUTOFMEMORY;
        }
        // `registration` outlives the lock: on failure it releases the object after unlocking.
        DWORD cookie = 0;
        try {
            std::lock_guard<std::mutex> lock(m_mutex);
            // Cookies come from a counter so that none is ever given twice; it would take 2^32 - 1
            // registrations to run out.
            if (m_lastCookie == std::numeric_limits<DWORD>::max()) {
                return E_OUTOFMEMORY;
            }
            cookie = m_lastCookie + 1;
            // A copy, not a move: a failed insertion then never drops the last reference here.
            m_entries.emplace(cookie, registration);
            m_lastCookie = cookie;
        } catch (const std::bad_alloc&) {
            return E_OUTOFMEMORY;
        }
        *pdwCookie = cookie;
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE RevokeInterfaceFromGlobal(DWORD dwCookie) override {
        std::shared_ptr<Registration> revoked;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_entries.find(dwCookie);
            if (it == m_entries.end()) {
                return E_INVALIDARG;
            }
            revoked = std::move(it->second);
            m_entries.erase(it);
        }
        // `revoked` releases the object here, outside the lock, unless a lookup still holds it.
        return S_OK;
    }

    HRESULT STDMETHODCALLTYPE GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) override {
        if (ppv == nullptr) {
            return E_INVALIDARG;
        }
        *ppv = nullptr;
        std::shared_ptr<Registration> registration;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto it = m_entries.find(dwCookie);
            if (it == m_entries.end()) {
                return E_INVALIDARG;
            }
            registration = it->second;
        }
        return registration->Object()->QueryInterface(riid, ppv);
    }

  private:
    std::atomic<ULONG> m_refs{1};
    std::mutex m_mutex;
    std::unordered_map<DWORD, std::shared_ptr<Registration>> m_entries;
    DWORD m_lastCookie = 0;
};

// Never destroyed: clients may still use the table from static destructors at process exit.
GlobalInterfaceTable& TheTable() {
    static GlobalInterfaceTable* table = new GlobalInterfaceTable;
    return *table;
}

}  // namespace

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD /*dwClsContext*/, REFIID riid,
                         LPVOID* ppv) {
    if (ppv == nullptr) {
        return E_POINTER;
    }
    *ppv = nullptr;
    if (pUnkOuter != nullptr) {
        return CLASS_E_NOAGGREGATION;
    }
    if (rclsid != CLSID_StdGlobalInterfaceTable) {
        return REGDB_E_CLASSNOTREG;
    }
    return TheTable().QueryInterface(riid, ppv);
}
