// XCriticalSectionEx: the maker's reader-writer lock. Lock(true)/Unlock(true) take and drop shared
// (read) access, Lock(false)/Unlock(false) exclusive (write) access; readers of different threads
// share. It is not recursive: the reference-counted section above it handles nesting per thread.
// Unlocking what the thread does not hold is undefined, as for the lock it wraps.
#pragma once

#include <shared_mutex>

#include "VQComUtilities/VQComUtilitiesExport.h"

class VQCOMUTILITIES_API XCriticalSectionEx {
  public:
    XCriticalSectionEx();
    virtual ~XCriticalSectionEx();
    XCriticalSectionEx(const XCriticalSectionEx&) = delete;
    XCriticalSectionEx& operator=(const XCriticalSectionEx&) = delete;

    virtual void Lock(bool read);
    virtual void Unlock(bool read);

  private:
    std::shared_mutex m_lock;
};
