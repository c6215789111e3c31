// XVQExcepRefLogger: collects the exceptions a worker handles itself. It keeps the most recent
// `capacity` of them (older ones are dropped, counted in Dropped()). Not thread-safe: the module
// holds it as guarded data.
#pragma once

#include <cstddef>
#include <deque>
#include <vector>

#include "VQError/XVQException.h"

// Exported classes with members of standard-library types: see VQErrorExport.h on C4251.
#if defined(_MSC_VER)
#pragma warning(push)
#pragma warning(disable : 4251)
#endif

class VQERROR_API XVQExcepRefLogger {
  public:
    explicit XVQExcepRefLogger(int capacity);
    XVQExcepRefLogger(const XVQExcepRefLogger&) = default;
    XVQExcepRefLogger& operator=(const XVQExcepRefLogger&) = default;
    virtual ~XVQExcepRefLogger() = default;

    // Keeps the exception (an empty one is ignored); returns how many are kept now.
    int Add(const XWrappedVQException& error);

    std::vector<XWrappedVQException> Errors() const { return {m_errors.begin(), m_errors.end()}; }
    std::size_t Count() const noexcept { return m_errors.size(); }
    std::size_t Dropped() const noexcept { return m_dropped; }
    int Capacity() const noexcept { return m_capacity; }
    void Clear() noexcept {
        m_errors.clear();
        m_dropped = 0;
    }

  private:
    int m_capacity;
    std::deque<XWrappedVQException> m_errors;
    std::size_t m_dropped = 0;
};

#if defined(_MSC_VER)
#pragma warning(pop)
#endif
