#include "VQComUtilities/XCriticalSectionEx.h"

XCriticalSectionEx::XCriticalSectionEx() = default;

XCriticalSectionEx::~XCriticalSectionEx() = default;

#if defined(_WIN32)
void XCriticalSectionEx::Lock(bool read) {
    if (read) {
        AcquireSRWLockShared(&m_lock);
    } else {
        AcquireSRWLockExclusive(&m_lock);
    }
}

void XCriticalSectionEx::Unlock(bool read) {
    if (read) {
        ReleaseSRWLockShared(&m_lock);
    } else {
        ReleaseSRWLockExclusive(&m_lock);
    }
}
#else
void XCriticalSectionEx::Lock(bool read) {
    if (read) {
        m_lock.lock_shared();
    } else {
        m_lock.lock();
    }
}

void XCriticalSectionEx::Unlock(bool read) {
    if (read) {
        m_lock.unlock_shared();
    } else {
        m_lock.unlock();
    }
}
#endif
