// Test files, the orbis-scand process and a raw client for the scan-service tests.
#include "tests/support/scand.hpp"

#include "tests/support/programs.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstring>
#include <fstream>

namespace zet_test {

const std::string finding = "Orbis.Test.EICAR.UNOFFICIAL";
const std::string dbdir = ZET_SOURCE_DIR "/dist/db";

namespace {

std::uint32_t crc32(const std::string& data) {
    std::uint32_t crc = 0xffffffffu;
    for (unsigned char c : data) {
        crc ^= c;
        for (int k = 0; k < 8; ++k) {
            crc = (crc >> 1) ^ (0xedb88320u & (0u - (crc & 1u)));
        }
    }
    return ~crc;
}

} // namespace

std::string stored_zip(const std::vector<std::pair<std::string, std::string>>& members) {
    auto le = [](std::string& out, std::uint32_t v, int bytes) {
        for (int i = 0; i < bytes; ++i) {
            out += static_cast<char>((v >> (8 * i)) & 0xff);
        }
    };
    std::string zip, central;
    for (const auto& [name, data] : members) {
        const auto offset = static_cast<std::uint32_t>(zip.size());
        const auto crc = crc32(data);
        const auto size = static_cast<std::uint32_t>(data.size());
        const auto nlen = static_cast<std::uint32_t>(name.size());
        le(zip, 0x04034b50, 4), le(zip, 10, 2), le(zip, 0, 2), le(zip, 0, 2), le(zip, 0, 2), le(zip, 0x21, 2);
        le(zip, crc, 4), le(zip, size, 4), le(zip, size, 4), le(zip, nlen, 2), le(zip, 0, 2);
        zip += name + data;
        le(central, 0x02014b50, 4), le(central, 20, 2), le(central, 10, 2), le(central, 0, 2),
            le(central, 0, 2);
        le(central, 0, 2), le(central, 0x21, 2), le(central, crc, 4), le(central, size, 4),
            le(central, size, 4);
        le(central, nlen, 2), le(central, 0, 2), le(central, 0, 2), le(central, 0, 2), le(central, 0, 2);
        le(central, 0, 4), le(central, offset, 4);
        central += name;
    }
    const auto cd_offset = static_cast<std::uint32_t>(zip.size());
    zip += central;
    const auto n = static_cast<std::uint32_t>(members.size());
    le(zip, 0x06054b50, 4), le(zip, 0, 2), le(zip, 0, 2), le(zip, n, 2), le(zip, n, 2);
    le(zip, static_cast<std::uint32_t>(central.size()), 4), le(zip, cd_offset, 4), le(zip, 0, 2);
    return zip;
}

namespace {
// Services may share a socket path (a second instance, a restart), never their notification socket.
int instances = 0;
} // namespace

Service::Service(const TempDir& dir, std::vector<std::string> extra, const std::string& name,
                 std::vector<std::string> env)
    : socket_(dir / (name + ".sock")), stderr_(dir / (name + std::to_string(++instances) + ".err")),
      notify_(dir / (name + std::to_string(instances) + ".notify")) {
    std::vector<std::string> argv{bin::orbis_scand, "-s", socket_, "-d", dbdir, "-v"};
    argv.insert(argv.end(), extra.begin(), extra.end());
    env.push_back(notify_.env());
    started_ = child_.spawn(argv, env, stderr_);
}

int Service::stop() {
    child_.signal(SIGTERM);
    return child_.exit_code(start_timeout);
}

ScandClient::ScandClient(const std::string& socket_path)
    : fd_(connect_unix(socket_path)), connected_(fd_ >= 0) {}

ScandClient::~ScandClient() {
    close();
}

void ScandClient::close() {
    if (fd_ >= 0) {
        ::close(fd_);
        fd_ = -1;
    }
}

bool ScandClient::send(const std::string& data) {
    return ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

bool ScandClient::send(const std::string& data, const std::vector<int>& fds) {
    iovec iov{const_cast<char*>(data.data()), data.size()};
    std::vector<char> control(CMSG_SPACE(sizeof(int) * fds.size()));
    msghdr msg{};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control.data();
    msg.msg_controllen = control.size();
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int) * fds.size());
    std::memcpy(CMSG_DATA(c), fds.data(), sizeof(int) * fds.size());
    return sendmsg(fd_, &msg, MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
}

std::string ScandClient::line(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        for (std::size_t i = 0; i < buffer_.size(); ++i) {
            if (buffer_[i] == '\\') {
                ++i;
            } else if (buffer_[i] == '\n') {
                auto l = buffer_.substr(0, i + 1);
                buffer_.erase(0, i + 1);
                return l;
            }
        }
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd pfd{fd_, POLLIN, 0};
        if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0) {
            return "";
        }
        char buf[65536];
        const ssize_t n = recv(fd_, buf, sizeof buf, 0);
        if (n <= 0) {
            eof_ = true;
            return "";
        }
        buffer_.append(buf, static_cast<std::size_t>(n));
    }
}

std::vector<std::string> ScandClient::answer() {
    std::vector<std::string> lines;
    for (;;) {
        auto l = line();
        if (l.empty()) {
            return lines;
        }
        lines.push_back(l);
        if (std::isdigit(static_cast<unsigned char>(l[0])) && l.compare(0, 3, "210") != 0) {
            return lines;
        }
    }
}

std::vector<std::string> ScandClient::command(const std::string& cmd) {
    send(cmd);
    return answer();
}

bool ScandClient::closed_by_peer(std::chrono::milliseconds timeout) {
    while (!eof_ && !line(timeout).empty()) {
    }
    return eof_;
}

} // namespace zet_test
