/// @file
/// The collector of the exceptions that a worker handles itself.

/// @class XVQExcepRefLogger
/// Collects the exceptions a worker handles itself. It keeps the most recent `capacity` of them
/// (older ones are dropped, counted in Dropped()). Not thread-safe: the module holds it as guarded
/// data.
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
    /// @param capacity How many of the most recent exceptions are kept.
    explicit XVQExcepRefLogger(int capacity);
    /// Copies the kept exceptions (shared handles) and the counts.
    /// @param other The collector copied.
    XVQExcepRefLogger(const XVQExcepRefLogger& other) = default;
    /// Copies the kept exceptions (shared handles), the counts and the capacity.
    /// @param other The collector assigned.
    /// @return This collector.
    XVQExcepRefLogger& operator=(const XVQExcepRefLogger& other) = default;
    /// Drops the kept exceptions.
    virtual ~XVQExcepRefLogger() = default;

    /// Keeps an exception, dropping the oldest one when the capacity is reached.
    /// @param error The exception; an empty one is ignored.
    /// @return How many exceptions are kept now.
    int Add(const XWrappedVQException& error);

    /// @return The kept exceptions, oldest first.
    std::vector<XWrappedVQException> Errors() const { return {m_errors.begin(), m_errors.end()}; }
    /// @return How many exceptions are kept.
    std::size_t Count() const noexcept { return m_errors.size(); }
    /// @return How many exceptions were dropped for the capacity.
    std::size_t Dropped() const noexcept { return m_dropped; }
    /// @return The capacity given at construction.
    int Capacity() const noexcept { return m_capacity; }
    /// Forgets the kept exceptions and the dropped count.
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
