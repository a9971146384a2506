// Scripted stand-in for the scan service: one thread accepts, one thread per connection plays its script.
#include "tests/support/fake_service.hpp"

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <system_error>

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

namespace fake {

Step send(std::string bytes) {
    return {Step::Op::send, std::move(bytes)};
}
Step read_line() {
    return {Step::Op::read_line, {}};
}
Step delay(int ms) {
    return {Step::Op::delay, {}, ms};
}
Step hang_up() {
    return {Step::Op::hang_up, {}};
}
Step reset() {
    return {Step::Op::reset, {}};
}
Step stall() {
    return {Step::Op::stall, {}};
}
Step serve() {
    return {Step::Op::serve, {}};
}
Step generate(std::function<Script()> make) {
    return {Step::Op::generate, {}, 0, std::move(make)};
}

namespace {

// Where the line that starts at `from` ends: its LF, or npos. An escaped LF belongs to a path, as in the
// real service, so that names with line feeds reach the responder in one line.
std::size_t line_end(const std::string& text, std::size_t from) {
    for (std::size_t i = from; i < text.size(); ++i) {
        if (text[i] == '\\')
            ++i;
        else if (text[i] == '\n')
            return i;
    }
    return std::string::npos;
}

} // namespace

Script standard_answer(const std::string& line) {
    if (line.rfind("EXCLUDE ", 0) == 0)
        return {send("210 EXCLUDE OK\r\nEXCLUDE " + line.substr(8) + "\r\n200 EXCLUDE done\r\n")};
    if (line.rfind("SCAN ", 0) == 0) {
        std::size_t end = line.find(" CID ");
        std::string escaped = line.substr(5, end == std::string::npos ? std::string::npos : end - 5);
        if (scan_path(line).find("infected") != std::string::npos)
            return {send("210 SCAN OK\r\nSCAN " + escaped +
                         "\t[L]0.1\t1 Eicar-Test-Signature\r\n200 SCAN done\r\n")};
        return {send("210 SCAN OK\r\nSCAN " + escaped + "\t[+]0.1 OK\r\n200 SCAN done\r\n")};
    }
    if (line == "VPS")
        return {send("210 VPS OK\r\nVPS 12345 signatures\r\n200 VPS done\r\n")};
    return {send("501 Syntax error\r\n")};
}

Script standard_session() {
    return {send("220 orbis-scand ready\r\n"), serve()};
}

// The text after "SCAN " up to the first blank that is not escaped.
std::string scan_path(const std::string& line) {
    std::string path;
    for (std::size_t i = 5; i < line.size(); ++i) {
        if (line[i] == '\\' && i + 1 < line.size())
            path += line[++i];
        else if (line[i] == ' ')
            break;
        else
            path += line[i];
    }
    return path;
}

Service::Service(std::string socket_path, std::vector<Script> scripts, Script fallback)
    : path_(std::move(socket_path)), scripts_(std::move(scripts)), fallback_(std::move(fallback)),
      responder_(standard_answer) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path_.size() >= sizeof addr.sun_path)
        throw std::invalid_argument("socket path too long: " + path_);
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    if (pipe2(stop_pipe_, O_CLOEXEC) < 0)
        throw std::system_error(errno, std::generic_category(), "pipe2");
    listen_fd_ = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listen_fd_ < 0)
        throw std::system_error(errno, std::generic_category(), "socket");
    unlink(path_.c_str());
    // Bound under a neighbouring name and renamed once listening, so that whoever waits for the socket
    // file to appear (another process) never connects before the service listens.
    const std::string temporary = path_ + "~";
    const bool renamed = temporary.size() < sizeof addr.sun_path;
    if (renamed)
        std::memcpy(addr.sun_path, temporary.c_str(), temporary.size() + 1);
    unlink(addr.sun_path);
    if (bind(listen_fd_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) < 0 || listen(listen_fd_, 64) < 0 ||
        (renamed && rename(temporary.c_str(), path_.c_str()) < 0)) {
        int saved = errno;
        unlink(addr.sun_path);
        close(listen_fd_);
        close(stop_pipe_[0]);
        close(stop_pipe_[1]);
        throw std::system_error(saved, std::generic_category(), "bind/listen " + path_);
    }
    acceptor_ = std::thread(&Service::accept_loop, this);
}

Service::~Service() {
    // The stop pipe stays readable once written, so every thread sees it in its next poll.
    char byte = 0;
    (void)!write(stop_pipe_[1], &byte, 1);
    acceptor_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        threads.swap(threads_);
    }
    for (auto& t : threads)
        t.join();
    close(listen_fd_);
    close(stop_pipe_[0]);
    close(stop_pipe_[1]);
    unlink(path_.c_str());
}

void Service::add_script(Script script) {
    std::lock_guard lock(mutex_);
    scripts_.push_back(std::move(script));
}

void Service::set_fallback(Script script) {
    std::lock_guard lock(mutex_);
    fallback_ = std::move(script);
}

void Service::set_responder(Responder responder) {
    std::lock_guard lock(mutex_);
    responder_ = std::move(responder);
}

int Service::connections() const {
    std::lock_guard lock(mutex_);
    return static_cast<int>(received_.size());
}

int Service::finished() const {
    std::lock_guard lock(mutex_);
    return finished_;
}

std::string Service::received_all() const {
    std::lock_guard lock(mutex_);
    std::string all;
    for (const auto& r : received_)
        all += r;
    return all;
}

std::string Service::received(int i) const {
    std::lock_guard lock(mutex_);
    return i < static_cast<int>(received_.size()) ? received_[static_cast<std::size_t>(i)] : std::string();
}

std::vector<std::string> Service::lines(int i) const {
    std::vector<std::string> out;
    std::string text = received(i);
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t lf = line_end(text, start);
        std::size_t stop = lf == std::string::npos ? text.size() : lf + 1;
        out.push_back(text.substr(start, stop - start));
        start = stop;
    }
    return out;
}

void Service::accept_loop() {
    for (;;) {
        pollfd fds[2] = {{listen_fd_, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        if (poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents != 0)
            return;
        int fd = accept4(listen_fd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0)
            continue;
        std::lock_guard lock(mutex_);
        int index = static_cast<int>(received_.size());
        received_.emplace_back();
        Script script = fallback_;
        if (static_cast<std::size_t>(index) < scripts_.size())
            script = scripts_[static_cast<std::size_t>(index)];
        threads_.emplace_back(&Service::run, this, index, fd, std::move(script));
    }
}

void Service::run(int index, int fd, Script script) {
    std::string pending; // received, not yet taken by read_line
    // Waits for client bytes (or EOF) without reading them: 1 ready, 0 stopped or timed out.
    auto wait_input = [&](int ms) {
        pollfd fds[2] = {{fd, POLLIN, 0}, {stop_pipe_[0], POLLIN, 0}};
        int r = poll(fds, 2, ms);
        return r > 0 && fds[1].revents == 0 ? 1 : 0;
    };
    // Reads what is there into the record: false on EOF, error or stop.
    auto receive = [&] {
        if (wait_input(-1) == 0)
            return false;
        char buf[65536];
        ssize_t n = read(fd, buf, sizeof buf);
        if (n <= 0)
            return false;
        pending.append(buf, static_cast<std::size_t>(n));
        std::lock_guard lock(mutex_);
        received_[static_cast<std::size_t>(index)].append(buf, static_cast<std::size_t>(n));
        return true;
    };
    auto next_line = [&](std::string& line) {
        std::size_t lf;
        while ((lf = line_end(pending, 0)) == std::string::npos)
            if (!receive())
                return false;
        line = pending.substr(0, lf);
        pending.erase(0, lf + 1);
        return true;
    };
    // Plays steps; false when the connection is over.
    std::function<bool(const Script&)> play = [&](const Script& steps) {
        for (const Step& step : steps) {
            std::string line;
            switch (step.op) {
            case Step::Op::send:
                // Never blocks in send(): a client that stops reading must not keep the service from
                // stopping.
                for (std::size_t done = 0; done < step.text.size();) {
                    ssize_t n = ::send(fd, step.text.data() + done, step.text.size() - done,
                                       MSG_NOSIGNAL | MSG_DONTWAIT);
                    if (n >= 0) {
                        done += static_cast<std::size_t>(n);
                        continue;
                    }
                    if (errno != EAGAIN)
                        return false;
                    pollfd fds[2] = {{fd, POLLOUT, 0}, {stop_pipe_[0], POLLIN, 0}};
                    if (poll(fds, 2, -1) < 0 || fds[1].revents != 0)
                        return false;
                }
                break;
            case Step::Op::read_line:
                if (!next_line(line))
                    return false;
                break;
            case Step::Op::delay: {
                pollfd p = {stop_pipe_[0], POLLIN, 0};
                if (poll(&p, 1, step.ms) > 0)
                    return false;
                break;
            }
            case Step::Op::hang_up:
                return false;
            case Step::Op::reset:
                wait_input(-1);
                return false;
            case Step::Op::stall:
                while (receive()) {
                }
                return false;
            case Step::Op::generate:
                if (!play(step.make()))
                    return false;
                break;
            case Step::Op::serve:
                while (next_line(line)) {
                    Responder responder;
                    {
                        std::lock_guard lock(mutex_);
                        responder = responder_;
                    }
                    if (!play(responder(line)))
                        return false;
                }
                return false;
            }
        }
        return true;
    };
    play(script); // the end of a connection's script hangs up

    close(fd);
    std::lock_guard lock(mutex_);
    ++finished_;
}

} // namespace fake
