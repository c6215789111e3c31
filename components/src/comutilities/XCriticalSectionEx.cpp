#include "VQComUtilities/XCriticalSectionEx.h"

XCriticalSectionEx::XCriticalSectionEx() = default;

XCriticalSectionEx::~XCriticalSectionEx() = default;

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
