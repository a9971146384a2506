// End-to-end harness: the real binaries as child processes with captured stderr, a NOTIFY_SOCKET of the
// test's own, and a fresh tree on a private tmpfs so that the fanotify mount mark sees only this test.
#pragma once

#include "tests/daemon_util.hpp"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <memory>
#include <string>
#include <vector>

namespace zet_test {

// Starts `argv` with `env` added to the environment, its standard output and error in
// "<output_base>.out" and "<output_base>.err".
inline std::unique_ptr<ChildProcess> start_process(const std::vector<std::string>& argv,
                                                   const std::map<std::string, std::string>& env,
                                                   const std::string& output_base) {
    std::vector<std::string> changes;
    for (const auto& [name, value] : env)
        changes.push_back(name + "=" + value);
    auto p = std::make_unique<ChildProcess>();
    p->spawn(argv, changes, output_base + ".err", output_base + ".out");
    return p;
}

// True once a UNIX stream socket at `path` accepts connections.
inline bool socket_accepts(const std::string& path) {
    const int fd = connect_unix(path);
    if (fd >= 0)
        close(fd);
    return fd >= 0;
}

} // namespace zet_test
