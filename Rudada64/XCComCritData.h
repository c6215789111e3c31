// Guarded data over an ATL critical section, and the critical-data error.
//
// Contract:
// - XCComCritData<T> holds a value behind a CComAutoCriticalSection. Its only proxy is the write
//   proxy XCComCritProxy<T> (GetProxy()); every holder excludes every other thread, and a thread
//   may nest proxies on the same value. Write() assigns the whole value under a scoped reference.
// - When the main ATL section fails to enter or leave, the failure is logged (severity 11, lines 33/47)
//   and raised as a critical-data error: an XVQCritDataException::XStdCritDataExcep, a
//   std::exception whose what() is the composed message
//   "VQ CriticalData Error: , File: <file>, Line: <line>[, Reason: <reason>]". The thread's
//   reference record is restored so that it again matches what the thread holds.
// - The count lock is a second ATL section, guarded and failing as in XBasicCritSection.h.
// - A value may be given a place in the lock order (XLockRank), checked as in XBasicCritSection.h.
#pragma once

#include <exception>
#include <string>

#include "Rudada64/XBasicCritSection.h"
#include "vqplatform/atl.h"

#define VQ_CCOM_CRIT_DATA_FILE "Rudada64/XCComCritData.h"

namespace XVQCritDataException {

class VQ_EXPORT XStdCritDataExcep : public std::exception {
  public:
    explicit XStdCritDataExcep(std::string message) : m_message(std::move(message)) {}
    const char* what() const noexcept override { return m_message.c_str(); }

  private:
    std::string m_message;
};

inline std::string ComposeMessage(const char* file, int line, const char* reason) {
    std::string message = "VQ CriticalData Error: ";
    message += ", File: ";
    message += file != nullptr ? file : "";
    message += ", Line: ";
    message += std::to_string(line);
    if (reason != nullptr && reason[0] != '\0') {
        message += ", Reason: ";
        message += reason;
    }
    return message;
}

[[noreturn]] inline void RaiseCritDataError(const char* file, int line, const char* reason) {
    throw XStdCritDataExcep(ComposeMessage(file, line, reason));
}

}  // namespace XVQCritDataException

template <>
struct XCritSectionTraits<CComAutoCriticalSection> {
    using LockType = CComAutoCriticalSection;
    static constexpr bool kUnlockMayThrow = true;

    // The ATL section has no shared mode: `read` is ignored and every acquisition is exclusive.
    static void LockEx(CComAutoCriticalSection& lock, bool /*read*/) {
        const HRESULT hr = lock.Lock();
        if (FAILED(hr)) {
            Fail(hr, 33, 36, L"CComAutoCriticalSection Lock() failed",
                 "CComAutoCriticalSection Lock() failed");
        }
    }
    static void UnlockEx(CComAutoCriticalSection& lock, bool /*read*/) {
        const HRESULT hr = lock.Unlock();
        if (FAILED(hr)) {
            Fail(hr, 47, 50, L"CComAutoCriticalSection Unlock() failed",
                 "CComAutoCriticalSection Unlock() failed");
        }
    }

  private:
    [[noreturn]] static void Fail(HRESULT hr, unsigned logLine, int raiseLine, const OLECHAR* message,
                                  const char* reason) {
        // Both operations report under one name.
        VQ_FUNCTION_NAME(L"XCritSectionTraits<CComAutoCriticalSection>::LockEx");
        XVQError::WriteErrorToLogBook(VQ_LOCATION(VQ_CCOM_CRIT_DATA_FILE, logLine), hr,
                                      XVQEXCEP::VQ_SEVERITY_CRITICAL, message, false, 0);
        XVQCritDataException::RaiseCritDataError(VQ_CCOM_CRIT_DATA_FILE, raiseLine, reason);
    }
};

using XCComRefCountCritSection = XBasicRefCountCritSection<XCritSectionTraits<CComAutoCriticalSection>>;
using XCComCritSecWrapper = _XRefCountCritSecWrapper<XCComRefCountCritSection>;

// The scoped write reference of this variant.
class XSmartRefCountCComCritSection : public _XSmartRefCountCritSection_Impl<XCComCritSecWrapper> {
  public:
    explicit XSmartRefCountCComCritSection(XCComRefCountCritSection& section)
        : _XSmartRefCountCritSection_Impl<XCComCritSecWrapper>(XCComCritSecWrapper(&section)) {}
};

template <class T>
class XCComCritData;

template <class T>
class XCComCritProxy : public _XCritProxy_Impl<T, XCComCritSecWrapper> {
  public:
    XCComCritProxy(const XCComCritProxy&) = delete;
    XCComCritProxy(XCComCritProxy&&) = delete;
    XCComCritProxy& operator=(const XCComCritProxy&) = delete;

    XCComCritData<T>* Owner() const noexcept { return m_owner; }

  private:
    friend class XCComCritData<T>;
    XCComCritProxy(T* value, XCComRefCountCritSection& section, XCComCritData<T>* owner)
        : _XCritProxy_Impl<T, XCComCritSecWrapper>(value, XCComCritSecWrapper(&section)), m_owner(owner) {}

    XCComCritData<T>* m_owner;
};

template <class T>
class XCComCritData_write {
  public:
    virtual ~XCComCritData_write() = default;
    virtual void Write(const T& value) = 0;
};

template <class T>
class XCComCritData : public XCComCritData_write<T> {
  public:
    XCComCritData() = default;
    explicit XCComCritData(XLockRank rank) : m_section(rank) {}
    XCComCritData(const XCComCritData&) = delete;
    XCComCritData& operator=(const XCComCritData&) = delete;

    XCComCritProxy<T> GetProxy() { return XCComCritProxy<T>(&m_value, m_section, this); }

    void Write(const T& value) override {
        XSmartRefCountCComCritSection reference(m_section);
        if (&value != &m_value) {
            m_value = value;
        }
    }

    XCComRefCountCritSection& Section() noexcept { return m_section; }

  private:
    T m_value{};
    XCComRefCountCritSection m_section;
};
