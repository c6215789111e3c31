// ATL::CComPtr, the owning COM pointer the public API takes. Where the SDK has ATL (<atlbase.h>)
// it is ATL's own; elsewhere (Linux, MinGW) a minimal one with the same layout (one pointer) and the
// members the library and its clients use.
#pragma once

#include "vqplatform/com.h"

#if defined(_WIN32) && __has_include(<atlbase.h>)
#include <atlbase.h>
#else
#include <memory>

namespace ATL {

// Owning COM pointer: AddRef on copy, Release on destruction.
template <class T>
class CComPtr {
  public:
    CComPtr() noexcept = default;
    CComPtr(T* lp) noexcept : p(lp) {  // NOLINT(google-explicit-constructor): as ATL
        if (lp != nullptr) {
            lp->AddRef();
        }
    }
    CComPtr(const CComPtr& other) noexcept : CComPtr(other.p) {}
    CComPtr(CComPtr&& other) noexcept : p(other.p) { other.p = nullptr; }
    ~CComPtr() { Release(); }

    CComPtr& operator=(T* other) noexcept {
        if (other != p) {
            CComPtr(other).Swap(*this);
        }
        return *this;
    }
    CComPtr& operator=(const CComPtr& other) noexcept {
        if (this != std::addressof(other)) {
            *this = other.p;
        }
        return *this;
    }
    CComPtr& operator=(CComPtr&& other) noexcept {
        if (this != std::addressof(other)) {  // operator& is the out-parameter address
            Release();
            p = other.p;
            other.p = nullptr;
        }
        return *this;
    }

    operator T*() const noexcept { return p; }  // NOLINT(google-explicit-constructor): as ATL
    T* operator->() const noexcept { return p; }
    T& operator*() const noexcept { return *p; }
    // Address for an out parameter; the pointer must be empty, as ATL asserts.
    T** operator&() noexcept { return &p; }
    bool operator!() const noexcept { return p == nullptr; }

    void Release() noexcept {
        T* old = p;
        if (old != nullptr) {
            p = nullptr;
            old->Release();
        }
    }
    void Attach(T* other) noexcept {
        Release();
        p = other;
    }
    T* Detach() noexcept {
        T* old = p;
        p = nullptr;
        return old;
    }
    void Swap(CComPtr& other) noexcept {
        T* tmp = p;
        p = other.p;
        other.p = tmp;
    }

    T* p = nullptr;
};

}  // namespace ATL
#endif
