#include "vqplatform/systemlog.h"

#include <syslog.h>

#include <mutex>

namespace vqplatform {

void WriteSystemLog(LogLevel level, const char* utf8Line) noexcept {
    static std::once_flag opened;
    std::call_once(opened, [] { openlog("VQProcessStateHandler64", LOG_PID, LOG_USER); });
    int priority = LOG_NOTICE;
    switch (level) {
        case LogLevel::Critical:
            priority = LOG_CRIT;
            break;
        case LogLevel::Error:
            priority = LOG_ERR;
            break;
        case LogLevel::Warning:
            priority = LOG_WARNING;
            break;
        case LogLevel::Notice:
            break;
    }
    syslog(priority, "%s", utf8Line);
}

}  // namespace vqplatform
