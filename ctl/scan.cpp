// scan: has zet sweep the files already below its trees, over its control socket, and shows the sweep as it
// goes: a status line on a terminal, one line per finding otherwise, or JSON lines for scripts.
#include "ctl/commands.hpp"
#include "ctl/text.hpp"
#include "zelu/wire.hpp"

#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace ctl {

namespace {

// zet's control socket, below RUN_DIR.
// What zet answers a user other than root; the same refusal as zetctl's own.
constexpr std::string_view ROOT_REFUSAL = "only root may ask zet to scan";
// Longer than any line zet sends: two escaped paths at PATH_MAX and a finding fit many times.
constexpr std::size_t MAX_SWEEP_LINE = 1 << 20;
constexpr double CLOCK_SECONDS = 1.0; // the elapsed time on the status line moves at least this often
constexpr std::size_t READ_SIZE = 65536;

// `text` cut at each tab that is not escaped; the escapes stay for unescape().
std::vector<std::string_view> tab_fields(std::string_view text) {
    std::vector<std::string_view> out;
    std::size_t start = 0;
    for (std::size_t i = 0; i < text.size(); i++) {
        if (text[i] == '\\')
            i++;
        else if (text[i] == '\t') {
            out.push_back(text.substr(start, i - start));
            start = i + 1;
        }
    }
    out.push_back(text.substr(start));
    return out;
}

bool parse_count(std::string_view text, std::int64_t* out) {
    if (text.empty() || text[0] < '0' || text[0] > '9')
        return false;
    auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *out);
    return ec == std::errc() && end == text.data() + text.size();
}

// "<walked> <scanned> <infected> <unscanned> <0|1>".
bool parse_counts(std::string_view text, SweepLine* line) {
    std::int64_t* fields[] = {&line->counts.walked, &line->counts.scanned, &line->counts.infected,
                              &line->counts.unscanned};
    for (std::int64_t* f : fields) {
        auto blank = text.find(' ');
        if (blank == std::string_view::npos || !parse_count(text.substr(0, blank), f))
            return false;
        text.remove_prefix(blank + 1);
    }
    if (text != "0" && text != "1")
        return false;
    line->flag = text == "1";
    return true;
}

// M:SS, or H:MM:SS from an hour on.
std::string clock_text(double seconds) {
    auto s = static_cast<long long>(seconds < 0 ? 0 : seconds);
    char buf[32];
    if (s >= 3600)
        snprintf(buf, sizeof buf, "%lld:%02lld:%02lld", s / 3600, s / 60 % 60, s % 60);
    else
        snprintf(buf, sizeof buf, "%lld:%02lld", s / 60, s % 60);
    return buf;
}

std::string finding_text(const SweepLine& l) {
    if (l.kind == SweepLine::Kind::unscanned)
        return shown(l.path) + ": not scanned: " + shown(l.text) + "\n";
    if (l.vault.empty())
        return shown(l.path) + ": " + shown(l.text) + " (not moved)\n";
    return shown(l.path) + " -> " + shown(l.vault) + ": " + shown(l.text) + "\n";
}

std::string finding_json(const SweepLine& l) {
    Json j;
    j.begin_object().key("path").value(l.path);
    if (l.kind == SweepLine::Kind::unscanned) {
        j.key("unscanned").value(l.text);
    } else {
        j.key("vault");
        l.vault.empty() ? j.null() : j.value(l.vault);
        j.key("finding").value(l.text);
    }
    return j.end_object().str();
}

std::string summary_text(const SweepCounts& c, bool stopped, double seconds) {
    return std::to_string(c.scanned) + " files scanned in " + clock_text(seconds) + ", " +
           std::to_string(c.infected) + " infected, " + std::to_string(c.unscanned) + " not scanned" +
           (stopped ? ", stopped" : "") + "\n";
}

std::string summary_json(const SweepCounts& c, bool stopped, double seconds) {
    Json j;
    j.begin_object().key("summary").begin_object();
    j.key("walked").value(c.walked).key("scanned").value(c.scanned).key("infected").value(c.infected);
    j.key("unscanned").value(c.unscanned).key("stopped").value(stopped).key("seconds").value(seconds);
    return j.end_object().end_object().str();
}

// Clears the terminal line the cursor is on.
constexpr const char* REWRITE = "\r\033[K";

} // namespace

std::optional<SweepLine> parse_sweep_line(std::string_view text) {
    SweepLine line;
    auto blank = text.find(' ');
    const std::string_view keyword = text.substr(0, blank);
    const std::string_view rest = blank == std::string_view::npos ? "" : text.substr(blank + 1);
    if (keyword == "PROGRESS" || keyword == "DONE") {
        line.kind = keyword == "DONE" ? SweepLine::Kind::done : SweepLine::Kind::progress;
        if (!parse_counts(rest, &line))
            return std::nullopt;
    } else if (keyword == "FOUND" || keyword == "UNSCANNED") {
        const bool found = keyword == "FOUND";
        line.kind = found ? SweepLine::Kind::found : SweepLine::Kind::unscanned;
        std::vector<std::string_view> f = tab_fields(rest);
        if (f.size() != (found ? 3u : 2u))
            return std::nullopt;
        std::vector<std::string> plain;
        for (std::string_view field : f) {
            auto u = zelu::wire::unescape(field);
            if (!u)
                return std::nullopt;
            plain.push_back(std::move(*u));
        }
        if (plain[0].empty())
            return std::nullopt;
        line.path = plain[0];
        if (found) {
            line.vault = plain[1] == "-" ? "" : plain[1];
            line.text = plain[2];
        } else {
            line.text = plain[1];
        }
    } else if (keyword == "ERROR") {
        line.kind = SweepLine::Kind::error;
        // An error must reach the user even when its escapes are broken.
        line.text = zelu::wire::unescape(rest).value_or(std::string(rest));
    }
    return line;
}

std::string SweepView::status_text(double seconds) const {
    const SweepCounts& c = counts_;
    const std::int64_t done = c.scanned + c.unscanned;
    const double rate = seconds > 0 ? static_cast<double>(done) / seconds : 0;
    const std::int64_t left = c.walked - done;
    std::string estimate = "estimating";
    // Until the walk ends, the files walked so far are all that is known of the total: a lower bound.
    if (rate > 0 && seconds >= 1 && (walk_done_ || left > 0))
        estimate = std::string(walk_done_ ? "about " : "at least ") +
                   clock_text(std::ceil(static_cast<double>(left) / rate)) + " left";
    char rate_text[32];
    snprintf(rate_text, sizeof rate_text, rate < 10 ? "%.1f" : "%.0f", rate);
    std::string s = "walked " + std::to_string(c.walked) + ", scanned " + std::to_string(c.scanned) +
                    ", infected " + std::to_string(c.infected) + ", not scanned " +
                    std::to_string(c.unscanned) + ", " + rate_text + " files/s, elapsed " +
                    clock_text(seconds) + ", " + estimate + (stopping_ ? ", stopping" : "");
    if (width_ > 1 && s.size() > width_ - 1)
        s.resize(width_ - 1);
    return s;
}

std::string SweepView::draw(double seconds) {
    drawn_ = status_text(seconds);
    drawn_at_ = seconds;
    changed_ = false;
    return REWRITE + drawn_;
}

std::string SweepView::tick(double seconds) {
    if (output_ != SweepOutput::terminal || (drawn_at_ >= 0 && next_tick(seconds) > 0))
        return "";
    return draw(seconds);
}

double SweepView::next_tick(double seconds) const {
    if (output_ != SweepOutput::terminal)
        return -1;
    if (drawn_at_ < 0)
        return 0;
    const double due = drawn_at_ + (changed_ ? SWEEP_REDRAW_SECONDS : CLOCK_SECONDS);
    return due > seconds ? due - seconds : 0;
}

std::string SweepView::stopping(double seconds) {
    stopping_ = true;
    changed_ = true;
    return tick(seconds);
}

std::string SweepView::abandon() {
    if (output_ != SweepOutput::terminal || drawn_.empty())
        return "";
    drawn_.clear();
    return "\n";
}

std::string SweepView::show(const SweepLine& line, double seconds) {
    switch (line.kind) {
    case SweepLine::Kind::progress:
        counts_ = line.counts;
        walk_done_ = line.flag;
        changed_ = true;
        return tick(seconds);
    case SweepLine::Kind::found:
    case SweepLine::Kind::unscanned:
        if (output_ == SweepOutput::json)
            return finding_json(line);
        if (output_ == SweepOutput::plain)
            return finding_text(line);
        // Above the status line, which comes back as it was: a finding is no reason to redraw early.
        return REWRITE + finding_text(line) + (drawn_.empty() ? draw(seconds) : drawn_);
    case SweepLine::Kind::done:
        counts_ = line.counts;
        if (output_ == SweepOutput::json)
            return summary_json(line.counts, line.flag, seconds);
        if (output_ == SweepOutput::plain)
            return summary_text(line.counts, line.flag, seconds);
        drawn_.clear();
        return REWRITE + summary_text(line.counts, line.flag, seconds);
    case SweepLine::Kind::error:
    case SweepLine::Kind::unknown:
        break;
    }
    return "";
}

int sweep_status(const SweepCounts& counts, bool stopped) {
    if (counts.infected > 0)
        return EXIT_INFECTED;
    // A stopped sweep left files unscanned: it cannot report a clean tree.
    if (counts.unscanned > 0 || stopped)
        return EXIT_UNSCANNED;
    return EXIT_OK;
}

namespace {

using Clock = std::chrono::steady_clock;

// Writes everything or fails; zet reading nothing more is no reason to die of SIGPIPE.
bool send_all(int fd, std::string_view text) {
    while (!text.empty()) {
        ssize_t n = send(fd, text.data(), text.size(), MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            return false;
        text.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

void put(const std::string& text) {
    if (text.empty())
        return;
    fwrite(text.data(), 1, text.size(), stdout);
    fflush(stdout);
}

// A connected socket, or -1 with errno set.
int connect_control(const std::string& path) {
    sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return -1;
    }
    memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0)
        return -1;
    if (connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int saved = errno;
        close(fd);
        errno = saved;
        return -1;
    }
    return fd;
}

std::string sweep_request(const std::vector<std::string>& paths, bool no_move) {
    std::string line = no_move ? "SWEEP NOMOVE" : "SWEEP";
    for (const std::string& p : paths) {
        line += ' ';
        zelu::wire::escape_to(line, p);
    }
    return line + "\n";
}

// Dies of `sig` as an interrupted program should, so that a calling shell stops too.
[[noreturn]] void die_of(int sig) {
    signal(sig, SIG_DFL);
    raise(sig);
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, sig);
    sigprocmask(SIG_UNBLOCK, &set, nullptr);
    _exit(128 + sig);
}

std::size_t terminal_width() {
    winsize ws = {};
    return ioctl(STDOUT_FILENO, TIOCGWINSZ, &ws) == 0 ? ws.ws_col : 0;
}

// Reads zet's lines until DONE, an ERROR or the end of the connection; the exit status.
int follow_sweep(int fd, int signals, SweepView& view, const std::string& socket) {
    const auto start = Clock::now();
    auto elapsed = [&] { return std::chrono::duration<double>(Clock::now() - start).count(); };
    std::string pending;
    bool stop_sent = false;
    put(view.tick(0));
    for (;;) {
        const double wait = view.next_tick(elapsed());
        pollfd fds[2] = {{signals, POLLIN, 0}, {fd, POLLIN, 0}};
        int timeout = wait < 0 ? -1 : static_cast<int>(std::ceil(wait * 1000));
        if (poll(fds, 2, timeout) < 0 && errno != EINTR) {
            put(view.abandon());
            fprintf(stderr, "zetctl: poll(): %s\n", strerror(errno));
            return EXIT_SWEEP_FAILED;
        }
        if (fds[0].revents & POLLIN) {
            signalfd_siginfo si;
            if (read(signals, &si, sizeof si) == static_cast<ssize_t>(sizeof si)) {
                if (stop_sent) {
                    put(view.abandon());
                    die_of(static_cast<int>(si.ssi_signo));
                }
                stop_sent = true;
                // zet may have closed already; whatever it sent before is still read below.
                send_all(fd, "STOP\n");
                put(view.stopping(elapsed()));
            }
        }
        if (fds[1].revents != 0) {
            char buf[READ_SIZE];
            ssize_t n = read(fd, buf, sizeof buf);
            if (n < 0 && errno == EINTR)
                continue;
            if (n <= 0) {
                put(view.abandon());
                fprintf(stderr, "zetctl: the connection to zet (%s) ended before the sweep did%s%s\n",
                        shown(socket).c_str(), n < 0 ? ": " : "", n < 0 ? strerror(errno) : "");
                return EXIT_SWEEP_FAILED;
            }
            pending.append(buf, static_cast<std::size_t>(n));
            std::size_t lf;
            while ((lf = pending.find('\n')) != std::string::npos) {
                std::string text = pending.substr(0, lf);
                pending.erase(0, lf + 1);
                std::optional<SweepLine> line = parse_sweep_line(text);
                if (!line) {
                    put(view.abandon());
                    fprintf(stderr, "zetctl: zet sent a line zetctl does not understand: %s\n",
                            shown(text).c_str());
                    return EXIT_SWEEP_FAILED;
                }
                if (line->kind == SweepLine::Kind::error) {
                    put(view.abandon());
                    fprintf(stderr, "zetctl: zet refused the sweep: %s\n", shown(line->text).c_str());
                    return line->text == ROOT_REFUSAL ? EXIT_REFUSED : EXIT_SWEEP_FAILED;
                }
                put(view.show(*line, elapsed()));
                if (line->kind == SweepLine::Kind::done)
                    return sweep_status(line->counts, line->flag);
            }
            if (pending.size() > MAX_SWEEP_LINE) {
                put(view.abandon());
                fprintf(stderr, "zetctl: zet sent a line longer than %zu bytes\n", MAX_SWEEP_LINE);
                return EXIT_SWEEP_FAILED;
            }
        }
        put(view.tick(elapsed()));
    }
}

} // namespace

int scan(const Args& args) {
    // zet refuses anyone else too. Asked before the configuration is read, whose reader would fail for
    // another user at the vault it may create and blame the configuration.
    if (geteuid() != 0) {
        fprintf(stderr, "zetctl: %s\n", std::string(ROOT_REFUSAL).c_str());
        return EXIT_REFUSED;
    }
    Settings s;
    if (auto rc = load_for_command(args, &s))
        return *rc;
    std::vector<std::string> paths;
    for (const std::string& operand : args.operands) {
        std::string path = kernel_path(operand);
        struct stat st;
        if (stat(path.c_str(), &st) != 0) {
            fprintf(stderr, "zetctl: %s: %s\n", shown(operand).c_str(), strerror(errno));
            return EXIT_NO_PATH;
        }
        paths.push_back(std::move(path));
    }

    // Blocked before the request goes out, so that a Ctrl-C at any point after it becomes a STOP.
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int signals = signalfd(-1, &set, SFD_CLOEXEC);
    if (signals < 0) {
        fprintf(stderr, "zetctl: signalfd(): %s\n", strerror(errno));
        return EXIT_SWEEP_FAILED;
    }
    if (s.config->control_socket.empty()) {
        close(signals);
        fprintf(stderr, "zetctl: zet takes no sweeps: CONTROL_SOCKET is not set in %s\n",
                shown(args.config).c_str());
        return EXIT_NO_DAEMON;
    }
    const std::string socket = s.in_run_dir(s.config->control_socket);
    int fd = connect_control(socket);
    if (fd < 0) {
        int err = errno;
        close(signals);
        fprintf(stderr, "zetctl: zet is not running: %s: %s\n", shown(socket).c_str(), strerror(err));
        return EXIT_NO_DAEMON;
    }
    // A refused request closes the connection at once: the ERROR line is read whether this write got
    // through or not.
    send_all(fd, sweep_request(paths, args.no_move));

    const bool terminal = !args.json && isatty(STDOUT_FILENO);
    SweepView view(args.json  ? SweepOutput::json
                   : terminal ? SweepOutput::terminal
                              : SweepOutput::plain,
                   terminal ? terminal_width() : 0);
    int status = follow_sweep(fd, signals, view, socket);
    close(fd);
    close(signals);
    return status;
}

} // namespace ctl
