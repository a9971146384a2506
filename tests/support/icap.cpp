// The private c-icap server of the ICAP tests and a raw exchange with it.
#include "tests/support/icap.hpp"

#include "tests/support/scand.hpp"

#include <clamav.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace zet_test {

namespace {

const std::string cicap = "/usr/bin/c-icap";
const std::string unshare = "/usr/bin/unshare";

int connect_loopback(int port) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<std::uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

// The state letter of /proc/<pid>/stat and its parent; 0 when the process is gone.
std::pair<char, pid_t> proc_state(pid_t pid) {
    const std::string stat = read_file("/proc/" + std::to_string(pid) + "/stat");
    // "pid (comm) S ppid ...": comm may hold anything, the state follows the last parenthesis.
    const auto close = stat.rfind(')');
    if (close == std::string::npos || close + 4 >= stat.size())
        return {0, 0};
    return {stat[close + 2], static_cast<pid_t>(std::atol(stat.c_str() + close + 4))};
}

bool gone(pid_t pid) {
    const char state = proc_state(pid).first;
    return state == 0 || state == 'Z' || state == 'X';
}

// The directory c-icap loads its modules from: its built-in default, lib/<multiarch>/c_icap.
std::string modules_dir() {
    std::error_code ec;
    for (const auto& lib : std::filesystem::directory_iterator("/usr/lib", ec)) {
        if (exists(lib.path() / "c_icap/virus_scan.so"))
            return lib.path() / "c_icap";
    }
    return exists("/usr/lib/c_icap/virus_scan.so") ? "/usr/lib/c_icap" : "";
}

} // namespace

std::string icap_head(int port, const std::string& request, std::chrono::milliseconds timeout) {
    const int fd = connect_loopback(port);
    if (fd < 0)
        return "";
    std::string answer;
    if (send(fd, request.data(), request.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(request.size())) {
        const auto deadline = std::chrono::steady_clock::now() + timeout;
        while (answer.find("\r\n\r\n") == std::string::npos) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd pfd{fd, POLLIN, 0};
            char buf[4096];
            ssize_t n = 0;
            if (left.count() <= 0 || poll(&pfd, 1, static_cast<int>(left.count())) <= 0 ||
                (n = recv(fd, buf, sizeof buf, 0)) <= 0) {
                answer.clear();
                break;
            }
            answer.append(buf, static_cast<std::size_t>(n));
        }
    }
    close(fd);
    return answer.substr(0, answer.empty() ? 0 : answer.find("\r\n\r\n") + 4);
}

int free_tcp_port() {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    const bool ok = fd >= 0 && bind(fd, reinterpret_cast<const sockaddr*>(&addr), sizeof addr) == 0 &&
                    getsockname(fd, reinterpret_cast<sockaddr*>(&addr), &len) == 0;
    if (fd >= 0)
        close(fd);
    return ok ? ntohs(addr.sin_port) : -1;
}

std::string IcapServer::unavailable() {
    if (access(cicap.c_str(), X_OK) != 0)
        return cicap + " is not installed (package c-icap)";
    const auto modules = modules_dir();
    if (modules.empty() || !exists(modules + "/clamav_mod.so"))
        return "c-icap's virus_scan and clamav modules are not installed (package libc-icap-mod-virus-scan)";
    if (!is_root() || access(unshare.c_str(), X_OK) != 0)
        return "the private c-icap needs root and unshare(1) to bind the test database over libclamav's";
    if (!exists(cl_retdbdir()))
        return std::string("libclamav's database directory ") + cl_retdbdir() + " does not exist";
    return "";
}

IcapServer::IcapServer(const TempDir& dir, int port, const std::string& name, std::vector<std::string> extra)
    : dir_(dir.path()), name_(name), config_(dir / (name + ".conf")), extra_(std::move(extra)),
      port_(port > 0 ? port : free_tcp_port()), chosen_(port > 0) {
    start();
}

IcapServer::~IcapServer() {
    if (!main_.running())
        return;
    // Stopped in order, c-icap removes its shared memory from /dev/shm; killed, it leaves it behind.
    const auto shared = shared_memory();
    if (stop(5s) != -1)
        return;
    // Children first, while the main process is stopped and so cannot replace them.
    suspend_process(main_.pid(), 5s);
    for (pid_t pid : processes()) {
        if (pid != main_.pid())
            ::kill(pid, SIGKILL);
    }
    main_.kill();
    for (const auto& path : shared)
        unlink(path.c_str());
}

std::vector<std::string> IcapServer::shared_memory() const {
    // "address perms offset dev inode path" in /proc/<pid>/maps.
    std::vector<std::string> paths;
    std::ifstream maps("/proc/" + std::to_string(main_.pid()) + "/maps");
    for (std::string line; std::getline(maps, line);) {
        const auto at = line.find(" /dev/shm/");
        if (at != std::string::npos &&
            std::find(paths.begin(), paths.end(), line.substr(at + 1)) == paths.end())
            paths.push_back(line.substr(at + 1));
    }
    return paths;
}

bool IcapServer::start() {
    const std::string base = dir_ + "/" + name_;
    const std::string tmp = base + ".tmp";
    std::filesystem::create_directories(tmp);
    // The service's own module files, not /etc/c-icap's: what a test meets must not change with the
    // machine's configuration. Values as Debian ships them; the clamav engine is loaded only when its
    // module comes before the service.
    std::ofstream(base + ".clamav_mod.conf") << "Module common clamav_mod.so\n"
                                             << "clamav_mod.TmpDir " << tmp << "\n"
                                             << "clamav_mod.MaxScanSize 100M\n";
    std::ofstream(base + ".virus_scan.conf")
        << "Service antivirus_module virus_scan.so\n"
        << "ServiceAlias avscan virus_scan?allow204=on&sizelimit=off&mode=simple\n"
        << "virus_scan.ScanFileTypes TEXT DATA EXECUTABLE ARCHIVE GIF JPEG MSOFFICE\n"
        << "virus_scan.SendPercentData 5\n"
        << "virus_scan.StartSendPercentDataAfter 2M\n"
        << "virus_scan.MaxObjectSize 5M\n"
        << "virus_scan.DefaultEngine clamav\n";
    std::ofstream config(config_);
    // Two children, so that pause() and stop() are proven on more than one process; modules, templates
    // and the magic file come from c-icap's built-in paths.
    config << "Port 127.0.0.1:" << port_ << "\n"
           << "PidFile " << base << ".pid\n"
           << "CommandsSocket " << base << ".ctl\n"
           << "ServerLog " << base << ".server.log\n"
           << "AccessLog " << base << ".access.log\n"
           << "TmpDir " << tmp << "\n"
           << "DebugLevel 3\n"
           << "StartServers 2\nMaxServers 2\nMinSpareThreads 1\nMaxSpareThreads 20\nThreadsPerChild 10\n"
           << "MaxRequestsPerChild 0\nTimeout 60\nKeepAliveTimeout 60\nMaxKeepAliveRequests 100\n"
           << "Include " << base << ".clamav_mod.conf\n"
           << "Include " << base << ".virus_scan.conf\n";
    for (const auto& line : extra_)
        config << line << "\n";
    config.close();
    // libclamav loads its database from a built-in directory (cl_retdbdir()) and the clamav module has no
    // setting for another one. So c-icap runs in a mount namespace of its own, where the test database is
    // bound over that directory; the mount goes with the last process of the namespace and nobody else
    // sees it. The shell execs c-icap, so that our child is c-icap's main process.
    const std::string bind_and_exec = "mount --bind -- \"$1\" \"$2\" && shift 2 && exec \"$@\"";
    std::vector<std::string> argv{unshare, "--mount", "--propagation", "private", "--", "/bin/sh", "-c"};
    argv.insert(argv.end(), {bind_and_exec, "sh", dbdir, cl_retdbdir(), cicap, "-N", "-f", config_});
    return main_.spawn(argv, {}, base + ".err");
}

bool IcapServer::ready(std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    for (int attempt = 0;; ++attempt) {
        const bool answered =
            wait_until([&] { return !main_.running() || options(1s).starts_with("ICAP/1.0 200 "); },
                       std::chrono::duration_cast<std::chrono::milliseconds>(
                           deadline - std::chrono::steady_clock::now()),
                       20ms);
        if (answered && main_.running())
            return true;
        // c-icap exits when it cannot listen: someone took the port between our pick and its bind.
        if (!answered || chosen_ || attempt == 2 || !has(log(), "Error binding"))
            return false;
        port_ = free_tcp_port();
        if (!start())
            return false;
    }
}

std::string IcapServer::url() const {
    return "icap://127.0.0.1:" + std::to_string(port_) + "/" + service;
}

std::string IcapServer::options(std::chrono::milliseconds timeout) const {
    return icap_head(port_,
                     "OPTIONS " + url() + " ICAP/1.0\r\nHost: 127.0.0.1:" + std::to_string(port_) +
                         "\r\nEncapsulated: null-body=0\r\n\r\n",
                     timeout);
}

std::string IcapServer::log() const {
    return read_file(dir_ + "/" + name_ + ".server.log") + main_.stderr_text();
}

std::vector<pid_t> IcapServer::processes() {
    std::vector<pid_t> pids;
    if (!main_.running() || gone(main_.pid()))
        return pids;
    pids.push_back(main_.pid());
    std::error_code ec;
    for (const auto& entry : std::filesystem::directory_iterator("/proc", ec)) {
        const auto name = entry.path().filename().string();
        if (name.find_first_not_of("0123456789") != std::string::npos)
            continue;
        const pid_t pid = std::atoi(name.c_str());
        const auto [state, parent] = proc_state(pid);
        if (parent == main_.pid() && state != 'Z' && state != 'X')
            pids.push_back(pid);
    }
    return pids;
}

bool IcapServer::pause(std::chrono::milliseconds timeout) {
    // The main process first: stopped, it can start no child we would miss.
    if (!main_.suspend(timeout))
        return false;
    for (pid_t pid : processes()) {
        if (pid != main_.pid() && !suspend_process(pid, timeout))
            return false;
    }
    return true;
}

bool IcapServer::resume() {
    bool ok = true;
    for (pid_t pid : processes())
        ok = ::kill(pid, SIGCONT) == 0 && ok;
    return ok;
}

int IcapServer::stop(std::chrono::milliseconds timeout) {
    const auto pids = processes();
    if (!main_.signal(SIGTERM))
        return main_.exit_code(0ms);
    // A paused server takes the signal once it runs again.
    resume();
    const int status = main_.exit_code(timeout);
    const bool all_gone = wait_until(
        [&] {
            for (pid_t pid : pids) {
                if (!gone(pid))
                    return false;
            }
            return true;
        },
        timeout);
    return all_gone ? status : -1;
}

} // namespace zet_test
