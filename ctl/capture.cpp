// Interposes syslog(): the daemon's units link into zetctl unchanged, and their messages become the tool's
// output while a capture runs.
#include "ctl/capture.hpp"

#include <syslog.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

namespace ctl {

namespace {

std::mutex capture_mutex;
std::vector<Message>* active = nullptr;

// False when no capture runs (the caller then sends the message on); `ap` is consumed only when true.
bool record(int priority, const char* format, int saved_errno, va_list ap) {
    std::lock_guard lock(capture_mutex);
    if (active == nullptr)
        return false;
    std::string expanded = expand_errno(format, saved_errno);
    va_list copy;
    va_copy(copy, ap);
    int len = vsnprintf(nullptr, 0, expanded.c_str(), copy);
    va_end(copy);
    std::string text(len > 0 ? static_cast<std::size_t>(len) : 0, '\0');
    if (len > 0)
        vsnprintf(text.data(), text.size() + 1, expanded.c_str(), ap);
    active->push_back({LOG_PRI(priority), std::move(text)});
    return true;
}

} // namespace

std::string expand_errno(const char* format, int saved_errno) {
    std::string out;
    for (const char* p = format; *p != '\0'; p++) {
        if (p[0] == '%' && p[1] == 'm') {
            for (const char* e = strerror(saved_errno); *e != '\0'; e++) {
                if (*e == '%')
                    out += '%';
                out += *e;
            }
            p++;
        } else if (p[0] == '%' && p[1] == '%') {
            out += "%%";
            p++;
        } else {
            out += *p;
        }
    }
    return out;
}

LogCapture::LogCapture() {
    std::lock_guard lock(capture_mutex);
    outer_ = active;
    active = &messages_;
}

LogCapture::~LogCapture() {
    std::lock_guard lock(capture_mutex);
    active = outer_;
}

std::vector<Message> LogCapture::take() {
    std::lock_guard lock(capture_mutex);
    std::vector<Message> out;
    out.swap(messages_);
    return out;
}

} // namespace ctl

// The executable's definition wins over libc's for every caller in the process, the linked daemon units
// included. vsyslog stays libc's, so uncaptured messages still reach the system log.
namespace {

// Records the message while a capture runs, else hands it to libc; errno is the caller's either way.
void record_or_log(int priority, const char* format, int saved_errno, va_list ap) {
    if (!ctl::record(priority, format, saved_errno, ap)) {
        errno = saved_errno;
        vsyslog(priority, format, ap);
    }
}

} // namespace

extern "C" void syslog(int priority, const char* format, ...) {
    int saved_errno = errno;
    va_list ap;
    va_start(ap, format);
    record_or_log(priority, format, saved_errno, ap);
    va_end(ap);
}

// With _FORTIFY_SOURCE, callers reach syslog through this name instead.
extern "C" void __syslog_chk(int priority, int, const char* format, ...) {
    int saved_errno = errno;
    va_list ap;
    va_start(ap, format);
    record_or_log(priority, format, saved_errno, ap);
    va_end(ap);
}
