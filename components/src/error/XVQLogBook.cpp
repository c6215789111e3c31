// The log book keeps its entries in memory under a short lock and writes each line to the sink
// outside it, so that a slow sink never holds up readers or other writers' bookkeeping.
#include "VQError/XVQLogBook.h"

#include <atomic>
#include <cstdio>
#include <deque>
#include <mutex>

#include "vqplatform/systemlog.h"

namespace {

struct LogBookState {
    std::mutex lock;
    std::deque<XVQLogEntry> entries;
    std::atomic<XVQLogBook::Sink> sink{XVQLogBook::Sink::Syslog};
};

LogBookState& State() {
    // Deliberately leaked: reports may still be written while other static objects are destroyed
    // at process exit (the module's singletons and worker thread are never torn down).
    static LogBookState* const state = new LogBookState;
    return *state;
}

const char* KindName(XVQLogEntry::Kind kind) {
    switch (kind) {
        case XVQLogEntry::Kind::Exception:
            return "exception";
        case XVQLogEntry::Kind::ComError:
            return "com_error";
        case XVQLogEntry::Kind::StdException:
            return "std_exception";
        case XVQLogEntry::Kind::AtlException:
            return "atl_exception";
        case XVQLogEntry::Kind::MfcException:
            return "mfc_exception";
        case XVQLogEntry::Kind::HResult:
            return "hresult";
        case XVQLogEntry::Kind::Unknown:
            return "unknown";
        case XVQLogEntry::Kind::ApiError:
            return "api_error";
        case XVQLogEntry::Kind::Line:
            return "line";
        case XVQLogEntry::Kind::Structured:
            return "structured";
    }
    return "?";
}

void AppendQuoted(std::string& out, const std::string& text) {
    out += '"';
    for (const char c : text) {
        switch (c) {
            case '"':
                out += "\\\"";
                break;
            case '\\':
                out += "\\\\";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\r':
                out += "\\r";
                break;
            case '\t':
                out += "\\t";
                break;
            default:
                if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F) {
                    char escaped[8];
                    std::snprintf(escaped, sizeof escaped, "\\x%02X", static_cast<unsigned char>(c));
                    out += escaped;
                } else {
                    out += c;
                }
        }
    }
    out += '"';
}

// UTC, ISO 8601 with milliseconds; the civil date is computed here because gmtime_r and gmtime_s
// are each missing on one of the platforms.
std::string FormatTime(std::chrono::system_clock::time_point time) {
    const long long ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(time.time_since_epoch()).count();
    constexpr long long kMsPerDay = 86400000;
    long long days = ms / kMsPerDay;
    long long msOfDay = ms % kMsPerDay;
    if (msOfDay < 0) {
        msOfDay += kMsPerDay;
        --days;
    }
    // Days since 1970-01-01 to year, month, day (proleptic Gregorian; H. Hinnant's algorithm).
    days += 719468;
    const long long era = (days >= 0 ? days : days - 146096) / 146097;
    const long long dayOfEra = days - era * 146097;
    const long long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
    const long long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
    const long long monthIndex = (5 * dayOfYear + 2) / 153;
    const long long day = dayOfYear - (153 * monthIndex + 2) / 5 + 1;
    const long long month = monthIndex < 10 ? monthIndex + 3 : monthIndex - 9;
    const long long year = yearOfEra + era * 400 + (month <= 2 ? 1 : 0);

    char buffer[64];  // room for any year the compiler can prove, not only four digits
    std::snprintf(buffer, sizeof buffer, "%04lld-%02lld-%02lldT%02lld:%02lld:%02lld.%03lldZ", year, month,
                  day, msOfDay / 3600000, msOfDay / 60000 % 60, msOfDay / 1000 % 60, msOfDay % 1000);
    return buffer;
}

vqplatform::LogLevel SystemLogLevel(int severity) {
    if (severity >= XVQEXCEP::VQ_SEVERITY_CRITICAL) {
        return vqplatform::LogLevel::Critical;
    }
    if (severity >= XVQEXCEP::VQ_SEVERITY_SEVERE) {
        return vqplatform::LogLevel::Error;
    }
    if (severity >= XVQEXCEP::VQ_SEVERITY_ERROR) {
        return vqplatform::LogLevel::Warning;
    }
    return vqplatform::LogLevel::Notice;
}

}  // namespace

std::string XVQLogEntry::Format() const {
    std::string out;
    out.reserve(256);
    char buffer[160];
    std::snprintf(buffer, sizeof buffer, " pid=%lu tid=%lu kind=%s severity=%d type=%d hr=0x%08lX",
                  static_cast<unsigned long>(processId), static_cast<unsigned long>(threadId), KindName(kind),
                  severity, type, static_cast<unsigned long>(static_cast<DWORD>(hr)));
    out += "time=";
    out += FormatTime(time);
    out += buffer;
    if (kind == Kind::ApiError) {
        std::snprintf(buffer, sizeof buffer, " lasterror=%lu", static_cast<unsigned long>(apiError));
        out += buffer;
    }
    out += " file=";
    AppendQuoted(out, file);
    std::snprintf(buffer, sizeof buffer, " line=%u", line);
    out += buffer;
    out += " subsystem=";
    AppendQuoted(out, VQWideToUtf8(subsystem.c_str()));
    out += " function=";
    AppendQuoted(out, VQWideToUtf8(function.c_str()));
    out += " message=";
    AppendQuoted(out, VQWideToUtf8(message.c_str()));
    out += " text=";
    AppendQuoted(out, VQWideToUtf8(this->text.c_str()));
    return out;
}

void XVQLogBook::Write(const XVQLogEntry& entry) noexcept {
    try {
        LogBookState& state = State();
        {
            std::lock_guard<std::mutex> guard(state.lock);
            if (state.entries.size() >= kMaxEntries) {
                state.entries.pop_front();
            }
            state.entries.push_back(entry);
        }
        switch (state.sink.load(std::memory_order_relaxed)) {
            case Sink::Syslog:
                vqplatform::WriteSystemLog(SystemLogLevel(entry.severity), entry.Format().c_str());
                break;
            case Sink::Stderr:
                std::fprintf(stderr, "%s\n", entry.Format().c_str());
                break;
            case Sink::None:
                break;
        }
    } catch (...) {
        // A report that cannot be kept or written is dropped: writing never throws.
    }
}

std::vector<XVQLogEntry> XVQLogBook::Entries() {
    LogBookState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    return {state.entries.begin(), state.entries.end()};
}

void XVQLogBook::Clear() {
    LogBookState& state = State();
    std::lock_guard<std::mutex> guard(state.lock);
    state.entries.clear();
}

void XVQLogBook::SetSink(Sink sink) {
    State().sink.store(sink, std::memory_order_relaxed);
}

XVQLogBook::Sink XVQLogBook::GetSink() {
    return State().sink.load(std::memory_order_relaxed);
}
