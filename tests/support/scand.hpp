// Shared by the tests that run the real orbis-scand: test files, a stored-zip writer, the service process
// and a raw protocol client.
#pragma once

#include "tests/support/process.hpp"

#include <chrono>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

namespace zet_test {

extern const std::string finding; // what the shipped database calls it
extern const std::string dbdir;   // the shipped database in the source tree
// Start-up includes loading the database; sanitizer builds are slower.
inline constexpr auto start_timeout = 30s;
inline constexpr auto answer_timeout = 20s;

// A zip archive with its members stored uncompressed.
std::string stored_zip(const std::vector<std::pair<std::string, std::string>>& members);

// orbis-scand on "<dir>/<name>.sock" with the shipped database, debug logging and a NOTIFY_SOCKET of
// its own; killed when the object goes unless stopped before.
class Service {
public:
    // `extra` options follow the defaults; `env` changes the environment as ChildProcess::spawn() does.
    explicit Service(const TempDir& dir, std::vector<std::string> extra = {},
                     const std::string& name = "scand", std::vector<std::string> env = {});
    // READY=1 has arrived.
    bool ready() { return started_ && notify_.wait_for("READY=1", start_timeout); }
    const std::string& socket() const { return socket_; }
    ChildProcess& child() { return child_; }
    std::string log() const { return child_.stderr_text(); }
    // SIGTERM, then the exit status (-1 unless it exits by itself in time).
    int stop();

private:
    std::string socket_, stderr_;
    NotifySocket notify_;
    ChildProcess child_;
    bool started_ = false;
};

// A raw protocol client on one connection to the service at `socket_path`; closed when the object goes.
class ScandClient {
public:
    explicit ScandClient(const std::string& socket_path);
    ~ScandClient();
    ScandClient(const ScandClient&) = delete;
    ScandClient& operator=(const ScandClient&) = delete;

    bool connected() const { return connected_; }
    void close();
    // Whether every byte went out.
    bool send(const std::string& data);
    // `data` in one sendmsg() with `fds` attached (SCM_RIGHTS).
    bool send(const std::string& data, const std::vector<int>& fds);
    // One line with its CR LF; empty at the end of the connection or after `timeout`. As the client reads
    // them: an escaped LF inside a path does not end the line.
    std::string line(std::chrono::milliseconds timeout = answer_timeout);
    // Lines up to and including a status line other than 210.
    std::vector<std::string> answer();
    // send(), then answer().
    std::vector<std::string> command(const std::string& cmd);
    // The connection has been closed by the service (after what was buffered).
    bool closed_by_peer(std::chrono::milliseconds timeout = answer_timeout);

private:
    int fd_ = -1;
    bool connected_ = false;
    bool eof_ = false;
    std::string buffer_;
};

} // namespace zet_test
