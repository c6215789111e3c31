/// @file
/// COM basics: GUIDs, IUnknown, BSTR allocation, apartment initialisation and the Global Interface
/// Table.
///
/// On Windows this is the SDK itself. Linux stand-in semantics, matching Windows:
/// - BSTRs are length-prefixed: 4 bytes of byte length before the first character, and a
///   terminating null after the last. SysFreeString and SysStringLen accept null.
/// - CoInitializeEx keeps a per-thread apartment: S_OK on the first call of a thread, S_FALSE on a
///   nested call of the same model, RPC_E_CHANGED_MODE for a different model (which does not count
///   as a call to undo). Each successful call needs one CoUninitialize.
/// - CoCreateInstance knows one class, CLSID_StdGlobalInterfaceTable: it returns the process-wide
///   Global Interface Table (one object, reference counted; it lives until the process ends).
/// - The table gives non-zero cookies, never the same twice. RegisterInterfaceInGlobal keeps a
///   reference on the object; GetInterfaceFromGlobal hands out a new reference; an unknown or
///   revoked cookie gives E_INVALIDARG; RevokeInterfaceFromGlobal drops the table's reference.
///   Object calls (AddRef, Release, QueryInterface) are made outside the table's lock.
#pragma once

#include "vqplatform/types.h"

#if !defined(_WIN32)
#include <cstring>

struct GUID {
    DWORD Data1;
    WORD Data2;
    WORD Data3;
    BYTE Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
    return std::memcmp(&a, &b, sizeof(GUID)) == 0;
}
inline bool IsEqualIID(REFIID a, REFIID b) {
    return IsEqualGUID(a, b);
}
inline bool operator==(REFGUID a, REFGUID b) {
    return IsEqualGUID(a, b);
}
inline bool operator!=(REFGUID a, REFGUID b) {
    return !IsEqualGUID(a, b);
}

// The SDK's marks of an interface for MSVC: its id for __uuidof, and no vtable of its own. The
// stand-in has no __uuidof; the ids are the IID_ constants.
#define DECLSPEC_UUID(x)
#define DECLSPEC_NOVTABLE

// No virtual destructor, as on Windows: objects delete themselves in Release.
struct IUnknown {
    virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
    virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
    virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

struct IGlobalInterfaceTable : IUnknown {
    virtual HRESULT STDMETHODCALLTYPE RegisterInterfaceInGlobal(IUnknown* pUnk, REFIID riid,
                                                                DWORD* pdwCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE RevokeInterfaceFromGlobal(DWORD dwCookie) = 0;
    virtual HRESULT STDMETHODCALLTYPE GetInterfaceFromGlobal(DWORD dwCookie, REFIID riid, void** ppv) = 0;
};

inline constexpr IID IID_IGlobalInterfaceTable = {0x00000146, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};
inline constexpr CLSID CLSID_StdGlobalInterfaceTable = {
    0x00000323, 0x0000, 0x0000, {0xC0, 0, 0, 0, 0, 0, 0, 0x46}};

enum COINIT { COINIT_MULTITHREADED = 0x0, COINIT_APARTMENTTHREADED = 0x2 };
enum CLSCTX { CLSCTX_INPROC_SERVER = 0x1 };

VQPLATFORM_API BSTR SysAllocString(const OLECHAR* psz);
VQPLATFORM_API BSTR SysAllocStringLen(const OLECHAR* pch, UINT cch);
VQPLATFORM_API void SysFreeString(BSTR bstr);
VQPLATFORM_API UINT SysStringLen(BSTR bstr);

VQPLATFORM_API HRESULT CoInitializeEx(LPVOID pvReserved, DWORD dwCoInit);
VQPLATFORM_API void CoUninitialize();
VQPLATFORM_API HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* pUnkOuter, DWORD dwClsContext, REFIID riid,
                                        LPVOID* ppv);
#endif
