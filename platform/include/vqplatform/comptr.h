/// @file
/// ATL::CComPtr, the owning COM pointer the public API takes. Where the SDK has ATL (<atlbase.h>)
/// it is ATL's own; elsewhere (Linux, MinGW) a minimal one with the same layout (one pointer) and the
/// members the library and its clients use.
#pragma once

#include "vqplatform/com.h"

#if defined(_WIN32) && __has_include(<atlbase.h>)
#include <atlbase.h>
#else
#include <memory>

namespace ATL {

/// Owning COM pointer: AddRef on copy, Release on destruction. The minimal one, where ATL is absent.
/// @tparam T The interface.
template <class T>
class CComPtr {
  public:
    /// A null pointer.
    CComPtr() noexcept = default;
    /// Takes a reference on an object.
    /// @param lp The object, or null.
    CComPtr(T* lp) noexcept : p(lp) {  // NOLINT(google-explicit-constructor): as ATL
        if (lp != nullptr) {
            lp->AddRef();
        }
    }
    /// Takes a reference on the other pointer's object.
    /// @param other The pointer copied.
    CComPtr(const CComPtr& other) noexcept : CComPtr(other.p) {}
    /// Takes over the other pointer's reference; the other pointer is null afterwards.
    /// @param other The pointer moved from.
    CComPtr(CComPtr&& other) noexcept : p(other.p) { other.p = nullptr; }
    /// Releases the object.
    ~CComPtr() { Release(); }

    /// Points at an object, taking a reference on it and releasing the one held before.
    /// @param other The object, or null.
    /// @return This pointer.
    CComPtr& operator=(T* other) noexcept {
        if (other != p) {
            CComPtr(other).Swap(*this);
        }
        return *this;
    }
    /// Points at the other pointer's object, taking a reference on it and releasing the one held before.
    /// @param other The pointer assigned.
    /// @return This pointer.
    CComPtr& operator=(const CComPtr& other) noexcept {
        if (this != std::addressof(other)) {
            *this = other.p;
        }
        return *this;
    }
    /// Takes over the other pointer's reference, releasing the one held before; the other pointer is
    /// null afterwards.
    /// @param other The pointer moved from.
    /// @return This pointer.
    CComPtr& operator=(CComPtr&& other) noexcept {
        if (this != std::addressof(other)) {  // operator& is the out-parameter address
            Release();
            p = other.p;
            other.p = nullptr;
        }
        return *this;
    }

    /// @return The object, or null.
    operator T*() const noexcept { return p; }  // NOLINT(google-explicit-constructor): as ATL
    /// @return The object; the pointer must not be null.
    T* operator->() const noexcept { return p; }
    /// @return The object; the pointer must not be null.
    T& operator*() const noexcept { return *p; }
    /// @return The address for an out parameter; the pointer must be null, as ATL asserts.
    T** operator&() noexcept { return &p; }
    /// @return Whether the pointer is null.
    bool operator!() const noexcept { return p == nullptr; }

    /// Releases the object; the pointer is null afterwards.
    void Release() noexcept {
        T* old = p;
        if (old != nullptr) {
            p = nullptr;
            old->Release();
        }
    }
    /// Takes over a reference on an object without adding one, releasing the one held before.
    /// @param other The object, or null.
    void Attach(T* other) noexcept {
        Release();
        p = other;
    }
    /// Hands the reference over to the caller; the pointer is null afterwards.
    /// @return The object, or null.
    T* Detach() noexcept {
        T* old = p;
        p = nullptr;
        return old;
    }
    /// Exchanges the objects of two pointers.
    /// @param other The other pointer.
    void Swap(CComPtr& other) noexcept {
        T* tmp = p;
        p = other.p;
        other.p = tmp;
    }

    T* p = nullptr;  ///< The object, or null; public, as in ATL.
};

}  // namespace ATL
#endif
