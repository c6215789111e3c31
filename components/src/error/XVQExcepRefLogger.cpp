#include "VQError/XVQExcepRefLogger.h"

#include <algorithm>

XVQExcepRefLogger::XVQExcepRefLogger(int capacity) : m_capacity(std::max(capacity, 0)) {}

int XVQExcepRefLogger::Add(const XWrappedVQException& error) {
    if (!error.IsEmpty()) {
        if (m_capacity == 0) {
            ++m_dropped;
        } else {
            if (m_errors.size() == static_cast<std::size_t>(m_capacity)) {
                m_errors.pop_front();
                ++m_dropped;
            }
            m_errors.push_back(error);
        }
    }
    return static_cast<int>(m_errors.size());
}
