/// @file
/// Win32 and COM base types, HRESULT helpers and the error codes the library uses.
///
/// On Windows this is the SDK itself. On Linux the same names are defined here with the sizes they
/// have on 64-bit Windows: DWORD, ULONG and UINT unsigned 32-bit; LONG (and so HRESULT) signed
/// 32-bit. Linux `long` is 64-bit, so code that must mean a Windows `long` uses LONG.
#pragma once

#include "vqplatform/export.h"

#if defined(_WIN32)
// Nothing is defined before the SDK's headers (no WIN32_LEAN_AND_MEAN, no NOMINMAX): that choice is
// the including program's.
#include <windows.h>
#include <objbase.h>
#include <oleauto.h>
#else
#include <cstddef>
#include <cstdint>

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using LONG = std::int32_t;
using ULONG = std::uint32_t;
using UINT = unsigned int;
using BOOL = int;
using HRESULT = LONG;
using SCODE = LONG;
using ULONG_PTR = std::uintptr_t;
using DWORD_PTR = std::uintptr_t;
using WCHAR = wchar_t;
using OLECHAR = wchar_t;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPOLESTR = OLECHAR*;
using LPCOLESTR = const OLECHAR*;
// A BSTR points at the first character; the byte length is stored in the 4 bytes before it.
using BSTR = OLECHAR*;
using HANDLE = void*;
using LPVOID = void*;
using LPDWORD = DWORD*;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

#define STDMETHODCALLTYPE
#define WINAPI

#define MAKE_HRESULT(sev, fac, code) \
    ((HRESULT)(((unsigned long)(sev) << 31) | ((unsigned long)(fac) << 16) | ((unsigned long)(code))))
#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)
#define HRESULT_CODE(hr) ((hr)&0xFFFF)
#define HRESULT_FACILITY(hr) (((hr) >> 16) & 0x1fff)
#define HRESULT_SEVERITY(hr) (((hr) >> 31) & 0x1)

#define FACILITY_NULL 0
#define FACILITY_RPC 1
#define FACILITY_DISPATCH 2
#define FACILITY_STORAGE 3
#define FACILITY_ITF 4
#define FACILITY_WIN32 7

#define HRESULT_FROM_WIN32(x) \
    ((HRESULT)(x) <= 0 ? ((HRESULT)(x)) : ((HRESULT)(((x)&0x0000FFFF) | (FACILITY_WIN32 << 16) | 0x80000000)))

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL ((HRESULT)0x80004001)
#define E_NOINTERFACE ((HRESULT)0x80004002)
#define E_POINTER ((HRESULT)0x80004003)
#define E_ABORT ((HRESULT)0x80004004)
#define E_FAIL ((HRESULT)0x80004005)
#define E_UNEXPECTED ((HRESULT)0x8000FFFF)
#define E_ACCESSDENIED ((HRESULT)0x80070005)
#define E_HANDLE ((HRESULT)0x80070006)
#define E_OUTOFMEMORY ((HRESULT)0x8007000E)
#define E_INVALIDARG ((HRESULT)0x80070057)
#define RPC_E_CHANGED_MODE ((HRESULT)0x80010106)
#define RPC_E_DISCONNECTED ((HRESULT)0x80010108)
#define RPC_E_SERVERFAULT ((HRESULT)0x80010105)
#define CO_E_NOTINITIALIZED ((HRESULT)0x800401F0)
#define CLASS_E_NOAGGREGATION ((HRESULT)0x80040110)
#define REGDB_E_CLASSNOTREG ((HRESULT)0x80040154)

#define ERROR_SUCCESS 0L
#define ERROR_FILE_NOT_FOUND 2L
#define ERROR_ACCESS_DENIED 5L
#define ERROR_INVALID_HANDLE 6L
#define ERROR_NOT_ENOUGH_MEMORY 8L
#define ERROR_OUTOFMEMORY 14L
#define ERROR_GEN_FAILURE 31L
#define ERROR_INVALID_PARAMETER 87L
#define ERROR_BUFFER_OVERFLOW 111L
#define ERROR_INSUFFICIENT_BUFFER 122L
#define ERROR_MAX_THRDS_REACHED 164L
#define ERROR_IO_PENDING 997L
#define ERROR_NOT_ENOUGH_SERVER_MEMORY 1130L
#define ERROR_INVALID_SECURITY_DESCR 1338L
#define RPC_S_INVALID_STRING_BINDING 1700L
#define RPC_S_SERVER_UNAVAILABLE 1722L
#define RPC_S_CALL_FAILED 1726L
#define RPC_S_CALL_FAILED_DNE 1727L
#define RPC_S_CALL_IN_PROGRESS 1791L
#define RPC_S_NO_INTERFACES 1817L
#define RPC_X_WRONG_PIPE_VERSION 1832L
#define RPC_S_GROUP_MEMBER_NOT_FOUND 1898L
#define RPC_S_INVALID_OBJECT 1900L
#define RPC_S_SEND_INCOMPLETE 1913L
#define RPC_X_PIPE_EMPTY 1918L
#define ERROR_NOT_ENOUGH_QUOTA 1816L

#define MAX_COMPUTERNAME_LENGTH 15
#define INFINITE 0xFFFFFFFF
#endif

/// The HRESULT of a call the library refuses from inside a handler callback. The Windows SDK
/// defines it since Windows 8; mingw-w64's headers do not.
#ifndef E_ILLEGAL_METHOD_CALL
#define E_ILLEGAL_METHOD_CALL ((HRESULT)0x8000000E)
#endif
