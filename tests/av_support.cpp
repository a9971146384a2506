// Helpers of the scan-service client tests.
#include "tests/av_support.hpp"

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <stdexcept>
#include <system_error>
#include <vector>

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

namespace avtest {

namespace {

// Every test process logs like the daemon with -v, and survives writes to a closed service as it does.
const bool process_set_up = [] {
    openlog(ident, LOG_PERROR, LOG_DAEMON);
    setlogmask(LOG_UPTO(LOG_DEBUG));
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}();

} // namespace

CapturedStderr::CapturedStderr() {
    (void)process_set_up;
    char name[] = "/tmp/av_test_stderr.XXXXXX";
    file_ = mkostemp(name, O_CLOEXEC);
    if (file_ < 0)
        throw std::system_error(errno, std::generic_category(), "mkostemp");
    unlink(name);
    std::fflush(stderr);
    saved_ = fcntl(2, F_DUPFD_CLOEXEC, 3);
    dup2(file_, 2);
}

CapturedStderr::~CapturedStderr() {
    std::fflush(stderr);
    dup2(saved_, 2);
    close(saved_);
    close(file_);
}

std::string CapturedStderr::text() const {
    std::string out;
    char buf[4096];
    off_t pos = 0;
    ssize_t n;
    while ((n = pread(file_, buf, sizeof buf, pos)) > 0) {
        out.append(buf, static_cast<std::size_t>(n));
        pos += n;
    }
    return out;
}

TempDir::TempDir() {
    char name[] = "/tmp/av_test.XXXXXX";
    if (mkdtemp(name) == nullptr)
        throw std::system_error(errno, std::generic_category(), "mkdtemp");
    path_ = name;
}

TempDir::~TempDir() {
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
}

PathList::PathList(std::initializer_list<std::string> paths) {
    std::vector<std::string> order(paths);
    for (auto it = order.rbegin(); it != order.rend(); ++it) {
        auto* node = static_cast<monitor*>(std::malloc(sizeof(monitor)));
        node->path = strdup(it->c_str());
        node->next = head_;
        head_ = node;
    }
}

PathList::~PathList() {
    while (head_ != nullptr) {
        monitor* next = head_->next;
        std::free(head_->path);
        std::free(head_);
        head_ = next;
    }
}

int open_fds() {
    DIR* dir = opendir("/proc/self/fd");
    if (dir == nullptr)
        throw std::system_error(errno, std::generic_category(), "opendir");
    int count = 0;
    while (const dirent* e = readdir(dir))
        if (e->d_name[0] != '.')
            ++count;
    closedir(dir);
    return count - 1;
}

std::string strerror_text(int error) {
    return std::strerror(error);
}

std::string escaped(const std::string& path) {
    std::string out;
    for (char c : path) {
        if (c == '\\' || c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r')
            out += '\\';
        out += c;
    }
    return out;
}

} // namespace avtest
