// Messages of the daemon's own units (configuration reader, scan-service client), which report through
// syslog: zetctl collects them while a capture is active and prints them as its own output.
#pragma once

#include <string>
#include <vector>

namespace ctl {

struct Message {
    int priority; // LOG_ERR, LOG_WARNING, ...
    std::string text;
};

// While an object lives, every syslog() call of this process is recorded instead of sent (with "%m"
// expanded from the errno of the call); otherwise syslog() passes on to the system log as usual. Captures
// nest: the innermost one gets the messages until it ends.
class LogCapture {
public:
    LogCapture();
    ~LogCapture();
    LogCapture(const LogCapture&) = delete;
    LogCapture& operator=(const LogCapture&) = delete;

    // The messages recorded so far, oldest first; the capture goes on with an empty list.
    std::vector<Message> take();

private:
    std::vector<Message> messages_;
    std::vector<Message>* outer_;
};

// `format` with each "%m" replaced by the text of `saved_errno` (itself escaped for printf).
std::string expand_errno(const char* format, int saved_errno);

} // namespace ctl
