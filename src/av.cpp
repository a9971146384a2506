// Scan-service client: wire protocol first (timed I/O, escaping, tokenizer, response reader), then the
// av_* operations on top of it.
#include "src/av.hpp"

#include "src/config.hpp"
#include "src/icap.hpp"

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <string_view>

#include <fcntl.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <syslog.h>
#include <unistd.h>

namespace {

constexpr const char* unit_name = "src/av";
// How often the follower of signature changes asks an ICAP server for its ISTag.
constexpr unsigned ICAP_TAG_POLL_SECONDS = 5;

timeval wait_limit = {AV_WAIT_SECONDS, 0};

// Waits until `fd` is readable (or writable) within the wait limit: 1 when ready, -1 on a logged failure.
int wait_ready(int fd, bool for_write) {
    int ready;
    if (fd < FD_SETSIZE) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(fd, &set);
        timeval limit = wait_limit; // select may change it
        ready = select(fd + 1, for_write ? nullptr : &set, for_write ? &set : nullptr, nullptr, &limit);
    } else {
        // An fd_set cannot hold this descriptor; poll waits just as long and reports the same way.
        pollfd p = {fd, static_cast<short>(for_write ? POLLOUT : POLLIN), 0};
        ready = poll(&p, 1, static_cast<int>(wait_limit.tv_sec * 1000 + wait_limit.tv_usec / 1000));
    }
    if (ready < 0) {
        syslog(LOG_WARNING, "Error monitoring AV daemon socket: select(): %m");
        return -1;
    }
    if (ready == 0) {
        syslog(LOG_WARNING, "AV daemon connection timeout!");
        return -1;
    }
    return 1;
}

bool is_digit(char c) {
    return c >= '0' && c <= '9';
}
bool is_letter(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z');
}

// Compares two (pointer, length) strings: strncmp over the shorter length, then by length, so that only an
// identical word matches a keyword.
int stringcmp(const char* a, std::size_t alen, const char* b, std::size_t blen) {
    int r = std::strncmp(a, b, alen < blen ? alen : blen);
    if (r != 0)
        return r;
    return static_cast<int>(alen) - static_cast<int>(blen);
}

struct keyword {
    const char* text;
    token_kind kind;
};
constexpr keyword keywords[] = {
    {"SCAN", TOKEN_SCAN}, {"VPS", TOKEN_VPS}, {"EXCLUDE", TOKEN_EXCLUDE}, {"E", TOKEN_E}, {"L", TOKEN_L},
};

// Marks the end of the text; cur is left one past `end` as the tokenizer state promises.
void at_end(parser_t* p) {
    p->kind = TOKEN_END;
    p->cur = p->end + 1;
}

// Skips tokens up to and including the next line end: 1, or 0 when the line is not complete yet.
int skip_line(parser_t* p) {
    do {
        next_token(p);
        if (p->kind == TOKEN_END)
            return 0;
    } while (p->kind != TOKEN_EOL);
    return 1;
}

// Requires the next token to be of `kind`: 1, 0 when incomplete, -1 when it is another kind.
int expect(parser_t* p, token_kind kind) {
    next_token(p);
    if (p->kind == TOKEN_END)
        return 0;
    return p->kind == kind ? 1 : -1;
}

// malloc that logs a failure with the line of the allocating call.
void* logged_malloc(std::size_t size, unsigned line) {
    void* p = std::malloc(size);
    if (p == nullptr)
        syslog(LOG_ERR, "%s:%u: malloc(): %m", unit_name, line);
    return p;
}

// Pushes a finding named by the escaped text [from, to) onto the response's list; empty names add nothing.
void add_infection(response_t* resp, const char* from, const char* to) {
    if (from >= to)
        return;
    auto* entry = static_cast<infection*>(logged_malloc(sizeof(infection), __LINE__));
    if (entry == nullptr)
        return;
    auto* name = static_cast<char*>(logged_malloc(static_cast<std::size_t>(to - from) + 1, __LINE__));
    if (name == nullptr) {
        std::free(entry);
        return;
    }
    char* out = name;
    for (const char* s = from; s < to; ++s) {
        if (*s == '\\' && s + 1 < to)
            ++s;
        *out++ = *s;
    }
    *out = '\0';
    entry->name = name;
    entry->next = resp->infections;
    resp->infections = entry;
}

// Counts an "E" line and keeps the text of the first one, from after the blank that follows the time.
void note_unscanned(response_t* resp, const char* text, const char* end) {
    if (resp->unscanned++ != 0)
        return;
    if (text < end && *text == ' ')
        text++;
    std::size_t len = end > text ? static_cast<std::size_t>(end - text) : 0;
    if (len >= sizeof resp->reason)
        len = sizeof resp->reason - 1;
    std::memcpy(resp->reason, text, len);
    resp->reason[len] = '\0';
}

// The rest of a SCAN line after the keyword: 1 when complete, 0 when incomplete, -1 when defective.
int parse_scan(parser_t* p, response_t* resp) {
    int r = expect(p, TOKEN_SPACE);
    if (r != 1)
        return r;
    // The path is not kept; its blanks, tabs and line ends arrive escaped, so the first plain tab ends it.
    do {
        next_token(p);
        if (p->kind == TOKEN_END)
            return 0;
    } while (p->kind != TOKEN_TAB);
    if ((r = expect(p, TOKEN_LBRACKET)) != 1)
        return r;
    next_token(p);
    if (p->kind == TOKEN_END)
        return 0;
    token_kind status = p->kind;
    if (status != TOKEN_PLUS && status != TOKEN_E && status != TOKEN_L)
        return -1;
    for (token_kind k : {TOKEN_RBRACKET, TOKEN_NUMBER, TOKEN_DOT, TOKEN_NUMBER})
        if ((r = expect(p, k)) != 1)
            return r;
    if (status == TOKEN_E) {
        const char* text = p->cur;
        if ((r = skip_line(p)) == 1)
            note_unscanned(resp, text, p->token);
        return r;
    }
    if (status != TOKEN_L)
        return skip_line(p);
    for (token_kind k : {TOKEN_TAB, TOKEN_NUMBER, TOKEN_SPACE})
        if ((r = expect(p, k)) != 1)
            return r;
    const char* name = p->cur;
    if (skip_line(p) == 0)
        return 0;
    // The name ends where the line end itself begins, past any escape pairs in front of it, so that an
    // escaped last character stays part of the name.
    const char* name_end = p->token;
    while (*name_end == '\\')
        name_end += 2;
    add_infection(resp, name, name_end);
    return 1;
}

} // namespace

namespace {

// One write of `len` bytes at `data`, with the descriptor `passed` attached (SCM_RIGHTS) when it is one.
ssize_t write_once(int fd, const char* data, int len, int passed) {
    if (passed < 0)
        return write(fd, data, static_cast<std::size_t>(len));
    alignas(cmsghdr) char control[CMSG_SPACE(sizeof(int))] = {};
    iovec iov = {const_cast<char*>(data), static_cast<std::size_t>(len)};
    msghdr msg = {};
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    cmsghdr* c = CMSG_FIRSTHDR(&msg);
    c->cmsg_level = SOL_SOCKET;
    c->cmsg_type = SCM_RIGHTS;
    c->cmsg_len = CMSG_LEN(sizeof(int));
    std::memcpy(CMSG_DATA(c), &passed, sizeof passed);
    return sendmsg(fd, &msg, MSG_NOSIGNAL);
}

// send_buffer, the descriptor `passed` (or -1) travelling with the first bytes written.
int send_all(int fd, const char* data, int len, int passed) {
    int done = 0;
    while (done < len) {
        ssize_t n = write_once(fd, data + done, len - done, passed);
        if (n >= 0) {
            done += static_cast<int>(n);
            passed = -1;
            continue;
        }
        if (errno == EINTR && passed >= 0)
            continue; // nothing went out yet, the descriptor included
        if (errno == EAGAIN) {
            if (wait_ready(fd, true) < 0)
                return -1;
            continue;
        }
        // EPIPE: the service closed the connection; the caller reconnects without a message.
        if (errno != EPIPE)
            syslog(LOG_WARNING, passed >= 0 ? "Error writing to AV daemon socket: sendmsg(): %m"
                                            : "Error writing to AV daemon socket: write(): %m");
        return -1;
    }
    return 1;
}

} // namespace

int send_buffer(int fd, const char* data, int len) {
    return send_all(fd, data, len, -1);
}

int recv_buffer(int fd, char* buf, int room) {
    for (;;) {
        if (wait_ready(fd, false) < 0)
            return -1;
        ssize_t n = read(fd, buf, static_cast<std::size_t>(room));
        if (n >= 0)
            return static_cast<int>(n);
        if (errno != EAGAIN) {
            syslog(LOG_WARNING, "Error reading from AV daemon socket: read(): %m");
            return -1;
        }
    }
}

int add_slashes(const char* path, char* dest, int capacity) {
    int len = 0;
    for (const char* s = path; *s != '\0'; ++s) {
        bool escaped = zelu::wire::needs_escape(*s);
        if (len + (escaped ? 2 : 1) > capacity)
            return -1;
        if (escaped)
            dest[len++] = '\\';
        dest[len++] = *s;
    }
    dest[len] = '\0';
    return len;
}

void next_token(parser_t* p) {
    p->token = p->cur;
    for (;;) {
        if (p->cur >= p->end)
            return at_end(p);
        char c = *p->cur;
        if (c != '\\')
            break;
        if (p->cur + 2 > p->end)
            return at_end(p);
        if (p->cur[1] == '\\') {
            p->cur += 2;
            p->kind = TOKEN_INVALID;
            return;
        }
        p->cur += 2; // an escape pair belongs to the field around it
    }
    const char* start = p->cur;
    char c = *p->cur++;
    if (is_digit(c)) {
        std::uint64_t value = static_cast<std::uint64_t>(c - '0');
        while (p->cur < p->end && is_digit(*p->cur))
            value = value * 10 + static_cast<std::uint64_t>(*p->cur++ - '0');
        if (p->cur >= p->end)
            return at_end(p); // the number may go on in bytes not yet received
        p->number = value;
        p->kind = TOKEN_NUMBER;
        return;
    }
    if (is_letter(c)) {
        while (p->cur < p->end && is_letter(*p->cur))
            ++p->cur;
        if (p->cur >= p->end)
            return at_end(p);
        p->kind = TOKEN_INVALID;
        for (const keyword& k : keywords)
            if (stringcmp(start, static_cast<std::size_t>(p->cur - start), k.text, std::strlen(k.text)) == 0)
                p->kind = k.kind;
        return;
    }
    switch (c) {
    case ' ':
        p->kind = TOKEN_SPACE;
        return;
    case '\t':
        p->kind = TOKEN_TAB;
        return;
    case '\n':
        p->kind = TOKEN_EOL;
        return;
    case '[':
        p->kind = TOKEN_LBRACKET;
        return;
    case ']':
        p->kind = TOKEN_RBRACKET;
        return;
    case '.':
        p->kind = TOKEN_DOT;
        return;
    case '+':
        p->kind = TOKEN_PLUS;
        return;
    case '\r':
        if (p->cur >= p->end)
            return at_end(p);
        if (*p->cur == '\n') {
            ++p->cur;
            p->kind = TOKEN_EOL;
        } else {
            p->kind = TOKEN_INVALID; // only the CR is consumed
        }
        return;
    default:
        p->kind = TOKEN_INVALID;
        return;
    }
}

int parse(const char* text, int len, response_t* resp) {
    if (len <= 0)
        return 0;
    parser_t p = {text, text + len, text, TOKEN_END, 0};
    next_token(&p);
    int r;
    type_t type = TYPE_CODE;
    switch (p.kind) {
    case TOKEN_END:
        return 0;
    case TOKEN_NUMBER: {
        std::uint64_t number = p.number;
        if ((r = skip_line(&p)) == 1)
            resp->code = static_cast<code_t>(static_cast<std::uint32_t>(number));
        break;
    }
    case TOKEN_SCAN:
        type = TYPE_SCAN;
        r = parse_scan(&p, resp);
        break;
    case TOKEN_VPS:
        type = TYPE_VPS;
        if ((r = expect(&p, TOKEN_SPACE)) == 1 && (r = expect(&p, TOKEN_NUMBER)) == 1) {
            std::uint64_t number = p.number;
            if ((r = skip_line(&p)) == 1)
                resp->vps = static_cast<std::uint32_t>(number);
        }
        break;
    case TOKEN_EXCLUDE:
        type = TYPE_EXCLUDE;
        if ((r = expect(&p, TOKEN_SPACE)) == 1)
            r = skip_line(&p);
        break;
    default:
        r = -1;
        break;
    }
    if (r < 0) {
        syslog(LOG_WARNING, "Defective AV response!");
        av_free_result(resp->infections);
        resp->infections = nullptr;
        return -1;
    }
    if (r == 0)
        return 0;
    resp->type = type;
    return static_cast<int>(p.cur - text);
}

namespace {

// Step one of every exchange: reads until the first line of the answer is complete. 1 with `*off` at its
// end, -1 when it cannot be read.
int response_first(int fd, char* buf, int size, int* len, int* off, response_t* resp) {
    for (;;) {
        int n = parse(buf, *len, resp);
        if (n < 0)
            return -1;
        if (n > 0) {
            *off = n;
            return 1;
        }
        if (*len >= size)
            return -1; // the line fills the whole buffer and can never complete
        int got = recv_buffer(fd, buf + *len, size - *len);
        if (got <= 0)
            return -1;
        *len += got;
    }
}

const char* command_name(type_t type) {
    switch (type) {
    case TYPE_EXCLUDE:
        return "EXCLUDE";
    case TYPE_VPS:
        return "VPS";
    default:
        return "SCAN";
    }
}

// response_data for answers whose first data line is of type `first` and every later one of type
// `expected`; `*lines` counts the data lines.
int data_lines(type_t first, type_t expected, int fd, char* buf, int size, int* len, int* off,
               response_t* resp, int* lines) {
    *lines = 0;
    for (;;) {
        int n = parse(buf + *off, *len - *off, resp);
        if (n < 0)
            return -1;
        if (n == 0) {
            std::memmove(buf, buf + *off, static_cast<std::size_t>(*len - *off));
            *len -= *off;
            *off = 0;
            if (*len >= size)
                return -1; // the line fills the whole buffer and can never complete
            int got = recv_buffer(fd, buf + *len, size - *len);
            if (got <= 0)
                return -1;
            *len += got;
            continue;
        }
        *off += n;
        if (resp->type == TYPE_CODE) {
            if (resp->code == zelu::wire::end_code)
                return 1;
            syslog(LOG_DEBUG, "Unexpected AV %s response code (%d)!", command_name(expected), resp->code);
            return -1;
        }
        if (resp->type != (*lines == 0 ? first : expected))
            return -1;
        ++*lines;
    }
}

} // namespace

int response_data(type_t expected, int fd, char* buf, int size, int* len, int* off, response_t* resp) {
    int lines;
    return data_lines(expected, expected, fd, buf, size, len, off, resp, &lines);
}

int response_code(int fd, code_t* code) {
    char buf[AV_RESPONSE_SIZE];
    int len = 0, off = 0;
    response_t resp = {};
    int r = response_first(fd, buf, sizeof buf, &len, &off, &resp);
    // A welcome that is a finding line must not leak its entry.
    av_free_result(resp.infections);
    if (r < 0)
        return -1;
    *code = resp.code;
    return 1;
}

long av_wait_limit_ms() {
    return wait_limit.tv_sec * 1000 + wait_limit.tv_usec / 1000;
}

void av_set_wait_limit(long seconds, long microseconds) {
    wait_limit.tv_sec = seconds;
    wait_limit.tv_usec = microseconds;
}

// ---- Client --------------------------------------------------------------------------------------------

namespace {

sockaddr_un av_addr;
monitor* av_exclusions;

// The services connected to, newest replacing oldest; read by any thread without a lock.
constexpr unsigned service_pid_slots = 8;
std::atomic<pid_t> service_pids[service_pid_slots];
std::atomic<unsigned> next_service_pid_slot{0};
static_assert(std::atomic<pid_t>::is_always_lock_free);

void record_service_pid(int fd) {
    ucred peer = {};
    socklen_t len = sizeof peer;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &peer, &len) < 0) {
        syslog(LOG_WARNING, "getsockopt(SO_PEERCRED): %m");
        return;
    }
    // SO_PEERCRED names the process that called listen(): orbis-scand itself, which listens on its own
    // socket (a socket handed over by the service manager would name the manager). 0: a service in a
    // PID namespace this process cannot see; its opens cannot be told apart.
    if (peer.pid <= 0 || av_is_service_pid(peer.pid))
        return;
    service_pids[next_service_pid_slot.fetch_add(1) % service_pid_slots].store(peer.pid);
}

// Drops a connection whose answer failed, so that no unread remainder is taken for a later answer.
void drop_connection(int* handle) {
    close(*handle);
    *handle = -1;
}

} // namespace

int av_address(const char* socket_path, sockaddr_un* addr) {
    std::size_t len = std::strlen(socket_path);
    if (len > sizeof addr->sun_path - 1) {
        syslog(LOG_ERR, "Invalid socket path: %s", socket_path);
        return -1;
    }
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    std::memcpy(addr->sun_path, socket_path, len + 1);
    return 0;
}

int av_connect(const sockaddr_un& addr, const monitor* exclusions, bool quiet) {
    // Close-on-exec so that programs the process may start never inherit a service connection.
    int fd = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        if (!quiet)
            syslog(LOG_WARNING, "Error creating scan socket: socket(): %m");
        return -1;
    }
    int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) < 0) {
        if (!quiet)
            syslog(LOG_WARNING, "fcntl(): %m");
        close(fd);
        return -1;
    }
    auto addr_len = static_cast<socklen_t>(offsetof(sockaddr_un, sun_path) + std::strlen(addr.sun_path));
    if (connect(fd, reinterpret_cast<const sockaddr*>(&addr), addr_len) < 0) {
        if (!quiet)
            syslog(LOG_WARNING, "Error connecting to scan socket: %s: %m", addr.sun_path);
        close(fd);
        return -1;
    }
    code_t code;
    if (response_code(fd, &code) < 0) {
        close(fd);
        return -1;
    }
    if (code != zelu::wire::welcome_code) {
        syslog(LOG_WARNING, "Unexpected AV welcome message code (%d)!", code);
        close(fd);
        return -1;
    }
    // Every new connection must hear all exclusions before it carries a scan.
    for (const monitor* m = exclusions; m != nullptr; m = m->next) {
        if (exclude_path(fd, m->path) < 0) {
            close(fd);
            return -1;
        }
    }
    record_service_pid(fd);
    return fd;
}

bool av_is_service_pid(pid_t pid) {
    if (pid <= 0)
        return false;
    for (const auto& slot : service_pids)
        if (slot.load() == pid)
            return true;
    return false;
}

int av_init(const char* socket_path, monitor* exclusions) {
    if (av_address(socket_path, &av_addr) < 0)
        return -1;
    av_exclusions = exclusions;
    for (const monitor* m = av_exclusions; m != nullptr; m = m->next)
        syslog(LOG_NOTICE, "Excluding '%s' from scanning.", m->path);
    return 0;
}

bool av_answers() {
    if (icap_on())
        return icap_answers();
    int fd = av_connect(av_addr, nullptr, true);
    if (fd < 0)
        return false;
    close(fd);
    return true;
}

namespace {

// send_command, with the descriptor `passed` going along with the command when it is not -1.
int send_on(int* handle, const char* command, int len, int passed) {
    auto write_to = [&](int fd) { return send_all(fd, command, len, passed); };
    if (*handle >= 0) {
        if (write_to(*handle) == 1)
            return 1;
        drop_connection(handle); // broken, most likely by a service restart: connect anew, once
    }
    int fd = av_connect(av_addr, av_exclusions, false);
    if (fd < 0)
        return -1;
    // A failure of this write leaves the new descriptor in place: the next command's write finds it
    // broken and reconnects.
    *handle = fd;
    return write_to(fd);
}

} // namespace

int send_command(int* handle, const char* command, int len) {
    return send_on(handle, command, len, -1);
}

int exclude_path(int fd, const char* path) {
    static constexpr char prefix[] = "EXCLUDE ";
    constexpr int prefix_len = sizeof prefix - 1;
    char command[AV_COMMAND_SIZE];
    std::memcpy(command, prefix, prefix_len);
    int escaped = add_slashes(path, command + prefix_len, AV_COMMAND_SIZE - prefix_len - 1);
    if (escaped < 0)
        return -1;
    int len = prefix_len + escaped;
    struct stat st;
    if (stat(path, &st) == 0 && S_ISDIR(st.st_mode)) {
        if (len > AV_COMMAND_SIZE - 4) // room for "/*" and the line feed
            return -1;
        command[len++] = '/';
        command[len++] = '*';
    }
    command[len++] = '\n';
    if (send_buffer(fd, command, len) != 1)
        return -1;

    char buf[AV_RESPONSE_SIZE];
    int buffered = 0, off = 0;
    response_t resp = {};
    int r = response_first(fd, buf, sizeof buf, &buffered, &off, &resp);
    if (r == 1 && resp.code != zelu::wire::accept_code) {
        syslog(LOG_DEBUG, "Unexpected AV EXCLUDE response code (%d)!", resp.code);
        r = -1;
    }
    if (r == 1)
        r = response_data(TYPE_EXCLUDE, fd, buf, sizeof buf, &buffered, &off, &resp);
    av_free_result(resp.infections); // findings in an EXCLUDE answer mean nothing
    return r == 1 ? 0 : -1;
}

int av_scan(int* handle, const char* path, infection** result) {
    av_verdict v = av_scan_checked(handle, path, result, nullptr, 0);
    return v == AV_UNSCANNABLE ? 0 : v;
}

namespace {

// The exchange of av_scan_checked, and of av_scan_fd when `passed` is not -1: FDSCAN with the descriptor,
// whose answer starts with the VPS line of the engine that scanned, read into `*vps`.
av_verdict scan_exchange(int* handle, int passed, const char* path, infection** result, char* reason,
                         std::size_t size, std::uint32_t* vps) {
    const std::string_view prefix = passed < 0 ? "SCAN " : "FDSCAN ";
    static constexpr std::string_view cid = " CID portwarden";
    const std::string_view trigger = passed < 0 ? " TRIGGER ON_WRITE" : " TRIGGER ON_OPEN";
    const int prefix_len = static_cast<int>(prefix.size()), cid_len = static_cast<int>(cid.size()),
              trigger_len = static_cast<int>(trigger.size());
    *result = nullptr;

    char command[AV_COMMAND_SIZE];
    std::memcpy(command, prefix.data(), prefix.size());
    int escaped = add_slashes(path, command + prefix_len, AV_COMMAND_SIZE - prefix_len - 1);
    if (escaped < 0)
        return AV_FAILED;
    int len = prefix_len + escaped;
    // Each suffix needs room for itself and the line feed; a long path keeps only those that fit.
    if (len <= AV_COMMAND_SIZE - 1 - cid_len - 1) {
        std::memcpy(command + len, cid.data(), cid.size());
        len += cid_len;
        if (len <= AV_COMMAND_SIZE - 1 - trigger_len - 1) {
            std::memcpy(command + len, trigger.data(), trigger.size());
            len += trigger_len;
        }
    }
    command[len++] = '\n';
    if (send_on(handle, command, len, passed) != 1)
        return AV_FAILED;

    char buf[AV_RESPONSE_SIZE];
    int buffered = 0, off = 0;
    response_t resp = {};
    if (response_first(*handle, buf, sizeof buf, &buffered, &off, &resp) == 1) {
        if (resp.code == zelu::wire::accept_code) {
            int lines;
            int r = passed < 0 ? response_data(TYPE_SCAN, *handle, buf, sizeof buf, &buffered, &off, &resp)
                               : data_lines(TYPE_VPS, TYPE_SCAN, *handle, buf, sizeof buf, &buffered, &off,
                                            &resp, &lines);
            // A descriptor is one file: an answer without its line has not told what it holds.
            if (r == 1 && passed >= 0 && lines < 2)
                r = -1;
            if (r == 1) {
                if (vps != nullptr)
                    *vps = resp.vps;
                *result = resp.infections;
                if (*result != nullptr)
                    return AV_FOUND;
                if (resp.unscanned == 0)
                    return AV_CLEAN;
                if (reason != nullptr && size > 0)
                    std::snprintf(reason, size, "%s", resp.reason);
                return AV_UNSCANNABLE;
            }
        } else if (resp.code >= 400) {
            // A refusal is a complete answer: the connection stays usable.
            std::string_view text = resp.code == zelu::wire::engine_error_code
                                        ? zelu::wire::text_of(zelu::wire::engine_error_line)
                                    : resp.code == zelu::wire::syntax_error_code
                                        ? zelu::wire::text_of(zelu::wire::syntax_error_line)
                                        : "UNKNOWN";
            syslog(LOG_DEBUG, "AV SCAN %s: Error response: %d %.*s", path, resp.code,
                   static_cast<int>(text.size()), text.data());
            av_free_result(resp.infections);
            return AV_FAILED;
        } else {
            syslog(LOG_DEBUG, "AV SCAN %s: Unexpected response code %d!", path, resp.code);
        }
    }
    av_free_result(resp.infections);
    drop_connection(handle);
    return AV_FAILED;
}

} // namespace

av_verdict av_scan_checked(int* handle, const char* path, infection** result, char* reason,
                           std::size_t size) {
    return scan_exchange(handle, -1, path, result, reason, size, nullptr);
}

av_verdict av_scan_fd(int* handle, int fd, const char* path, infection** result, char* reason,
                      std::size_t size, std::uint32_t* vps) {
    if (fd < 0) { // never a SCAN by path instead: that open is what the descriptor avoids
        *result = nullptr;
        return AV_FAILED;
    }
    if (icap_on())
        return icap_scan(handle, fd, path, result, reason, size, vps);
    return scan_exchange(handle, fd, path, result, reason, size, vps);
}

int vps_response(int fd, std::uint32_t* vps) {
    char buf[AV_RESPONSE_SIZE];
    int buffered = 0, off = 0;
    response_t resp = {};
    int r = response_first(fd, buf, sizeof buf, &buffered, &off, &resp);
    if (r == 1 && resp.code != zelu::wire::accept_code) {
        syslog(LOG_DEBUG, "Unexpected AV VPS response code (%d)!", resp.code);
        r = -1;
    }
    if (r == 1)
        r = response_data(TYPE_VPS, fd, buf, sizeof buf, &buffered, &off, &resp);
    av_free_result(resp.infections);
    if (r != 1)
        return -1;
    *vps = resp.vps;
    return 1;
}

int av_vps(int* handle, std::uint32_t* vps) {
    if (icap_on())
        return icap_vps(handle, vps);
    static constexpr char command[] = "VPS\n";
    if (send_command(handle, command, sizeof command - 1) != 1)
        return -1;
    if (vps_response(*handle, vps) != 1) {
        drop_connection(handle);
        return -1;
    }
    return 0;
}

int av_vps_wait(int* handle, std::uint32_t known, std::uint32_t* vps) {
    if (icap_on()) {
        // ICAP has no wait for a change: the ISTag is asked again now and then.
        for (;;) {
            if (icap_vps(handle, vps) != 0)
                return -1;
            if (*vps != known)
                return 0;
            sleep(ICAP_TAG_POLL_SECONDS);
        }
    }
    char command[sizeof "VPSWAIT 4294967295\n"];
    int len = std::snprintf(command, sizeof command, "VPSWAIT %u\n", static_cast<unsigned>(known));
    if (send_command(handle, command, len) != 1)
        return -1;
    if (vps_response(*handle, vps) != 1) {
        drop_connection(handle);
        return -1;
    }
    return 0;
}

void av_free_result(infection* list) {
    while (list != nullptr) {
        infection* next = list->next;
        std::free(list->name);
        std::free(list);
        list = next;
    }
}
