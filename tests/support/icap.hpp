// A private c-icap server with its virus_scan service over libclamav, for the tests of scanning through
// ICAP: loopback only, every file of it in the test's directory, our test database instead of the
// system's.
#pragma once

#include "tests/support/files.hpp"
#include "tests/support/process.hpp"

#include <sys/types.h>

#include <chrono>
#include <string>
#include <vector>

namespace zet_test {

// The head of the answer (status line to the blank line) to `request` sent to 127.0.0.1:`port`; empty
// when nobody accepts there or no complete head arrives within `timeout`.
std::string icap_head(int port, const std::string& request, std::chrono::milliseconds timeout = 5s);

// A loopback TCP port nobody listens on right now.
int free_tcp_port();

class IcapServer {
public:
    // The service the tests use: virus_scan as Debian aliases it, answering 204 for clean content.
    static constexpr const char* service = "avscan";

    // Why no private server can run here (c-icap or its virus_scan and clamav modules missing, not root);
    // empty when one can. Tests skip with this text.
    static std::string unavailable();
    static bool available() { return unavailable().empty(); }

    // Writes the configuration as "<dir>/<name>.*" and starts c-icap on `port` (0: a free one). `extra`
    // configuration lines come last, so that they override ours ("virus_scan.MaxObjectSize 1M").
    explicit IcapServer(const TempDir& dir, int port = 0, const std::string& name = "icap",
                        std::vector<std::string> extra = {});
    // stop(), or kills every process of it that is left and removes its shared memory.
    ~IcapServer();
    IcapServer(const IcapServer&) = delete;
    IcapServer& operator=(const IcapServer&) = delete;

    // Started and answering OPTIONS with 200, waiting up to `timeout` (loading the database included).
    // A port picked for us that was taken meanwhile is replaced by another.
    bool ready(std::chrono::milliseconds timeout = 30s);
    int port() const { return port_; }
    // "icap://127.0.0.1:<port>/avscan"
    std::string url() const;
    // The raw head of its OPTIONS answer for `service`; empty when none comes in `timeout`.
    std::string options(std::chrono::milliseconds timeout = 5s) const;
    // Its server log and what the processes wrote to standard error (libclamav's messages).
    std::string log() const;
    std::string stderr_text() const { return main_.stderr_text(); }
    // The main process and the children that serve the connections.
    std::vector<pid_t> processes();
    // SIGSTOP to every process, waiting until all have stopped: the port still accepts connections
    // (the kernel's backlog), nobody answers.
    bool pause(std::chrono::milliseconds timeout = 20s);
    bool resume();
    // SIGTERM, then waits until every process has gone; the main process's exit status as
    // ChildProcess::exit_code(), -1 when something is still there after `timeout`.
    int stop(std::chrono::milliseconds timeout = 30s);

private:
    bool start();
    // The files of the main process in /dev/shm.
    std::vector<std::string> shared_memory() const;

    std::string dir_, name_, config_;
    std::vector<std::string> extra_;
    int port_;
    bool chosen_; // the port was asked for, not picked
    ChildProcess main_;
};

} // namespace zet_test
