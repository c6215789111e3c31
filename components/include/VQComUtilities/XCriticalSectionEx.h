/// @file
/// The maker's reader-writer lock.

/// @class XCriticalSectionEx
/// The maker's reader-writer lock. Lock(true)/Unlock(true) take and drop shared (read) access,
/// Lock(false)/Unlock(false) exclusive (write) access; readers of different threads share. It is
/// not recursive: the reference-counted section above it handles nesting per thread. Unlocking what
/// the thread does not hold is undefined, as for the lock it wraps.
///
/// On Windows it wraps an SRW lock: MinGW's std::shared_mutex (a winpthreads rwlock) at times lets a
/// writer in while another thread reads.
#pragma once

#include "VQComUtilities/VQComUtilitiesExport.h"
#include "vqplatform/types.h"

#if !defined(_WIN32)
#include <shared_mutex>
#endif

class VQCOMUTILITIES_API XCriticalSectionEx {
  public:
    /// An unlocked lock.
    XCriticalSectionEx();
    /// Destroys the lock, which no thread may hold.
    virtual ~XCriticalSectionEx();
    XCriticalSectionEx(const XCriticalSectionEx&) = delete;
    XCriticalSectionEx& operator=(const XCriticalSectionEx&) = delete;

    /// Waits for and takes access.
    /// @param read True for shared (read) access, false for exclusive (write) access.
    virtual void Lock(bool read);
    /// Drops the access the thread took.
    /// @param read True for shared (read) access, false for exclusive (write) access, as taken.
    virtual void Unlock(bool read);

  private:
#if defined(_WIN32)
    SRWLOCK m_lock = SRWLOCK_INIT;
#else
    std::shared_mutex m_lock;
#endif
};
