// The ICAP client: URLs, timed I/O over TCP, OPTIONS and RESPMOD, and the answers' headers.
#include "src/icap.hpp"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <functional>
#include <memory>

namespace {

constexpr std::size_t CHUNK = 65536;
constexpr std::size_t HEAD_MAX = 65536; // an answer's headers beyond this are broken
// A server that failed rests this long, doubled with each further failure up to the last.
constexpr std::int64_t REST_FIRST_MS = 1000, REST_MAX_MS = 30000;
// OPTIONS is asked again after this long when the server names no Options-TTL.
constexpr std::int64_t OPTIONS_DEFAULT_TTL_MS = 300000;

std::int64_t now_ms() {
    timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return static_cast<std::int64_t>(t.tv_sec) * 1000 + t.tv_nsec / 1000000;
}

std::string lower(std::string s) {
    for (char& c : s)
        c = static_cast<char>(tolower(static_cast<unsigned char>(c)));
    return s;
}

std::string trim(const std::string& s) {
    std::size_t b = s.find_first_not_of(" \t"), e = s.find_last_not_of(" \t\r");
    return b == std::string::npos ? "" : s.substr(b, e - b + 1);
}

// An ISTag without the quotes of its quoted-string form.
std::string unquoted(const std::string& s) {
    return s.size() >= 2 && s.front() == '"' && s.back() == '"' ? s.substr(1, s.size() - 2) : s;
}

std::vector<std::string> list_of(const std::string& value) {
    std::vector<std::string> out;
    std::size_t start = 0;
    while (start <= value.size()) {
        std::size_t comma = value.find(',', start);
        std::string item =
            trim(value.substr(start, comma == std::string::npos ? std::string::npos : comma - start));
        if (!item.empty())
            out.push_back(lower(item));
        if (comma == std::string::npos)
            break;
        start = comma + 1;
    }
    return out;
}

// ---- the servers and their rest ------------------------------------------------------------------------

const std::vector<icap_server>* servers = nullptr;
struct server_state {
    std::atomic<std::int64_t> rest_until{0};
    std::atomic<unsigned> failures{0};
    std::atomic<unsigned> connections{0};
    std::atomic<unsigned> max_connections{0};
};
server_state* states = nullptr;
std::atomic<unsigned> next_server{0};
// Each icap_init starts a new set of servers; a connection of an older set is forgotten, not closed.
std::atomic<unsigned> generation{0};

void server_failed(std::size_t i, const char* why) {
    unsigned n = states[i].failures.fetch_add(1) + 1;
    std::int64_t rest = std::min(REST_MAX_MS, REST_FIRST_MS << std::min(n - 1, 5u));
    states[i].rest_until.store(now_ms() + rest);
    if (n == 1)
        syslog(LOG_WARNING, "ICAP server %s failed: %s; its work goes to the others",
               (*servers)[i].uri.c_str(), why);
}

void server_answered(std::size_t i) {
    if (states[i].failures.exchange(0) != 0)
        syslog(LOG_NOTICE, "ICAP server %s answers again", (*servers)[i].uri.c_str());
}

// ---- one connection --------------------------------------------------------------------------------------

int wait_ms() {
    return static_cast<int>(av_wait_limit_ms());
}

bool wait_for(int fd, short events) {
    pollfd p = {fd, events, 0};
    int r;
    do
        r = poll(&p, 1, wait_ms());
    while (r < 0 && errno == EINTR);
    return r > 0;
}

int dial(const icap_server& s, std::string* error) {
    addrinfo hints{}, *found = nullptr;
    hints.ai_socktype = SOCK_STREAM;
    const std::string port = std::to_string(s.port);
    if (int rc = getaddrinfo(s.host.c_str(), port.c_str(), &hints, &found); rc != 0) {
        *error = std::string("getaddrinfo(): ") + gai_strerror(rc);
        return -1;
    }
    // A name with several addresses spreads the connections across them.
    std::vector<addrinfo*> all;
    for (addrinfo* a = found; a != nullptr; a = a->ai_next)
        all.push_back(a);
    static std::atomic<unsigned> turn{0};
    const std::size_t first = all.empty() ? 0 : turn.fetch_add(1) % all.size();
    int fd = -1;
    for (std::size_t k = 0; k < all.size() && fd < 0; k++) {
        addrinfo* a = all[(first + k) % all.size()];
        fd = socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol);
        if (fd < 0)
            continue;
        int r = connect(fd, a->ai_addr, a->ai_addrlen);
        int err = 0;
        socklen_t len = sizeof err;
        if (r != 0 && errno == EINPROGRESS && wait_for(fd, POLLOUT) &&
            getsockopt(fd, SOL_SOCKET, SO_ERROR, &err, &len) == 0 && err == 0)
            r = 0;
        else if (r != 0)
            errno = err != 0 ? err : errno == EINPROGRESS ? ETIMEDOUT : errno;
        if (r != 0) {
            *error = std::string("connect(): ") + strerror(errno);
            close(fd);
            fd = -1;
        }
    }
    freeaddrinfo(found);
    if (fd >= 0) {
        int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    }
    return fd;
}

// The system's trust store for icaps:// servers, made once.
SSL_CTX* tls_context() {
    static SSL_CTX* ctx = [] {
        SSL_CTX* c = SSL_CTX_new(TLS_client_method());
        if (c != nullptr) {
            SSL_CTX_set_min_proto_version(c, TLS1_2_VERSION);
            SSL_CTX_set_default_verify_paths(c);
            SSL_CTX_set_verify(c, SSL_VERIFY_PEER, nullptr);
        }
        return c;
    }();
    return ctx;
}

// Waits as OpenSSL asks after `r` from one of its calls: true to call again.
bool tls_wait(SSL* ssl, int fd, int r) {
    int e = SSL_get_error(ssl, r);
    return (e == SSL_ERROR_WANT_READ && wait_for(fd, POLLIN)) ||
           (e == SSL_ERROR_WANT_WRITE && wait_for(fd, POLLOUT));
}

// One connection, which it owns: its socket, its TLS session for icaps://, and buffered reads within the
// wait limit.
struct reader {
    int fd;
    SSL* ssl = nullptr;
    std::string buf;
    std::size_t off = 0;

    explicit reader(int socket) : fd(socket) {}
    reader(const reader&) = delete;
    reader& operator=(const reader&) = delete;
    ~reader() {
        if (ssl != nullptr)
            SSL_free(ssl);
        close(fd);
    }
    // The TLS handshake with `s`, its certificate checked against the system's trust store and its name.
    bool start_tls(const icap_server& s, std::string* error) {
        SSL_CTX* ctx = tls_context();
        ssl = ctx != nullptr ? SSL_new(ctx) : nullptr;
        if (ssl == nullptr || SSL_set_fd(ssl, fd) != 1) {
            *error = "TLS: no session";
            return false;
        }
        unsigned char ip[sizeof(in6_addr)];
        const bool literal =
            inet_pton(AF_INET, s.host.c_str(), ip) == 1 || inet_pton(AF_INET6, s.host.c_str(), ip) == 1;
        if (literal)
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl), s.host.c_str());
        else {
            SSL_set_tlsext_host_name(ssl, s.host.c_str());
            SSL_set1_host(ssl, s.host.c_str());
        }
        for (;;) {
            int r = SSL_connect(ssl);
            if (r == 1)
                return true;
            if (!tls_wait(ssl, fd, r))
                break;
        }
        long verify = SSL_get_verify_result(ssl);
        *error = std::string("TLS: ") +
                 (verify != X509_V_OK ? X509_verify_cert_error_string(verify) : "handshake failed");
        return false;
    }
    // Sends `data` with what waits before it; `more`: the message goes on, so the bytes wait for the rest
    // (a few large writes, not one segment or TLS record per chunk header, on a TCP_NODELAY socket).
    bool send_all(const char* data, std::size_t len, bool more = false) {
        if (more || !pending.empty()) {
            pending.append(data, len);
            if (more && pending.size() < CHUNK)
                return true;
            std::string out;
            out.swap(pending);
            return write_all(out.data(), out.size());
        }
        return write_all(data, len);
    }
    std::string pending;

    bool write_all(const char* data, std::size_t len) {
        while (len > 0) {
            ssize_t n;
            if (ssl != nullptr) {
                int r = SSL_write(ssl, data, static_cast<int>(std::min<std::size_t>(len, 1 << 30)));
                if (r <= 0) {
                    if (tls_wait(ssl, fd, r))
                        continue;
                    return false;
                }
                n = r;
            } else {
                n = send(fd, data, len, MSG_NOSIGNAL);
                if (n < 0 && (errno == EAGAIN || errno == EINTR)) {
                    if (!wait_for(fd, POLLOUT))
                        return false;
                    continue;
                }
                if (n <= 0)
                    return false;
            }
            data += n;
            len -= static_cast<std::size_t>(n);
        }
        return true;
    }

    bool fill() {
        if (off > 0 && off == buf.size()) {
            buf.clear();
            off = 0;
        }
        char chunk[16384];
        for (;;) {
            if (ssl != nullptr) {
                int r = SSL_read(ssl, chunk, sizeof chunk);
                if (r > 0) {
                    buf.append(chunk, static_cast<std::size_t>(r));
                    return true;
                }
                if (!tls_wait(ssl, fd, r))
                    return false;
                continue;
            }
            ssize_t n = recv(fd, chunk, sizeof chunk, 0);
            if (n > 0) {
                buf.append(chunk, static_cast<std::size_t>(n));
                return true;
            }
            if (n == 0 || (errno != EAGAIN && errno != EINTR) || !wait_for(fd, POLLIN))
                return false;
        }
    }
    // Up to and including `delim`, or false.
    bool until(const char* delim, std::size_t max, std::string* out) {
        for (;;) {
            std::size_t at = buf.find(delim, off);
            if (at != std::string::npos) {
                std::size_t end = at + strlen(delim);
                out->assign(buf, off, end - off);
                off = end;
                return true;
            }
            if (buf.size() - off > max || !fill())
                return false;
        }
    }
    bool exact(std::size_t n, std::string* out) {
        while (buf.size() - off < n)
            if (!fill())
                return false;
        out->assign(buf, off, n);
        off += n;
        return true;
    }
};

// One chunked body, each piece handed to `take` (false from it: the body is still read to its end).
bool read_chunked(reader& r, const std::function<bool(const std::string&)>& take) {
    bool ok = true;
    for (;;) {
        std::string line;
        if (!r.until("\r\n", 1024, &line))
            return false;
        char* end = nullptr;
        unsigned long size = strtoul(line.c_str(), &end, 16);
        if (end == line.c_str())
            return false;
        if (size == 0) {
            // Trailers, up to the empty line.
            for (;;) {
                if (!r.until("\r\n", HEAD_MAX, &line))
                    return false;
                if (line == "\r\n")
                    return ok;
            }
        }
        std::string data, crlf;
        if (!r.exact(size, &data) || !r.exact(2, &crlf) || crlf != "\r\n")
            return false;
        ok = take(data) && ok;
    }
}

// Per worker: its connection, the server it talks to and what OPTIONS said.
struct connection {
    unsigned generation = 0;
    std::size_t server = 0;
    icap_options options;
    std::int64_t options_at = 0;
    std::unique_ptr<reader> in;
};
thread_local connection conn;

// Whether the handle is this worker's live connection.
bool connected(const int* handle) {
    return conn.in != nullptr && *handle == conn.in->fd;
}

void drop(int* handle) {
    if (conn.in != nullptr && conn.generation == generation.load())
        states[conn.server].connections.fetch_sub(1);
    conn.in.reset();
    if (handle != nullptr)
        *handle = -1;
}

std::string authority(const icap_server& s) {
    return s.host + ":" + std::to_string(s.port);
}

// The head of an answer, with the encapsulated HTTP status when its header block came; `has_body`: a
// chunked body follows.
bool read_answer(reader& r, icap_answer* a, bool* has_body) {
    *has_body = false;
    std::string head;
    if (!r.until("\r\n\r\n", HEAD_MAX, &head) || !icap_parse_head(head, a))
        return false;
    auto enc = a->headers.find("encapsulated");
    if (enc == a->headers.end())
        return true;
    // "res-hdr=0, res-body=137" or "res-hdr=0, null-body=120": the HTTP head first, then the body.
    long hdr = -1, body = -1, null_body = -1;
    for (const std::string& part : list_of(enc->second)) {
        auto eq = part.find('=');
        if (eq == std::string::npos)
            continue;
        long v = strtol(part.c_str() + eq + 1, nullptr, 10);
        const std::string name = part.substr(0, eq);
        if (name == "res-hdr")
            hdr = v;
        else if (name == "res-body" || name == "opt-body")
            body = v;
        else if (name == "null-body")
            null_body = v;
    }
    long head_len = body >= 0 ? body - std::max(hdr, 0L) : null_body >= 0 ? null_body - std::max(hdr, 0L) : 0;
    if (hdr >= 0 && head_len > 0) {
        std::string http;
        if (head_len > static_cast<long>(HEAD_MAX) || !r.exact(static_cast<std::size_t>(head_len), &http))
            return false;
        int status = 0;
        if (sscanf(http.c_str(), "HTTP/%*d.%*d %d", &status) == 1)
            a->http_status = status;
    }
    *has_body = body >= 0;
    return true;
}

bool exchange_options(reader& r, const icap_server& s, icap_options* out, std::string* error) {
    const std::string req = "OPTIONS " + s.uri + " ICAP/1.0\r\nHost: " + authority(s) +
                            "\r\nUser-Agent: zet/" ZET_VERSION "\r\nEncapsulated: null-body=0\r\n\r\n";
    icap_answer a;
    bool body;
    if (!r.send_all(req.data(), req.size()) || !read_answer(r, &a, &body)) {
        *error = "no answer to OPTIONS";
        return false;
    }
    if (body && !read_chunked(r, [](const std::string&) { return true; })) {
        *error = "broken OPTIONS body";
        return false;
    }
    if (a.status != 200) {
        *error = "OPTIONS answered " + std::to_string(a.status);
        return false;
    }
    *out = icap_options_of(a);
    return true;
}

// A connection to `s`, past its TLS handshake (icaps://) and its OPTIONS; null with `error` set.
std::unique_ptr<reader> open_connection(const icap_server& s, icap_options* opts, std::string* error) {
    int fd = dial(s, error);
    if (fd < 0)
        return nullptr;
    auto in = std::make_unique<reader>(fd);
    if ((s.tls && !in->start_tls(s, error)) || !exchange_options(*in, s, opts, error))
        return nullptr;
    return in;
}

// A connection of this worker's, to a server that is not resting, past its OPTIONS.
bool ensure_connected(int* handle) {
    if (conn.generation != generation.load())
        conn = {};
    if (connected(handle)) {
        const std::int64_t ttl = conn.options.ttl != 0 ? static_cast<std::int64_t>(conn.options.ttl) * 1000
                                                       : OPTIONS_DEFAULT_TTL_MS;
        if (now_ms() - conn.options_at < ttl)
            return true;
        std::string error;
        if (exchange_options(*conn.in, (*servers)[conn.server], &conn.options, &error)) {
            conn.options_at = now_ms();
            return true;
        }
        server_failed(conn.server, error.c_str());
    }
    drop(handle);
    const std::size_t n = servers->size();
    const std::size_t first = next_server.fetch_add(1) % n;
    const std::int64_t now = now_ms();
    // From this worker's turn on: the least loaded server at rest no more, one below its Max-Connections
    // before one at it.
    std::size_t best = n;
    auto full = [&](std::size_t i) {
        unsigned max = states[i].max_connections.load();
        return max != 0 && states[i].connections.load() >= max;
    };
    for (std::size_t k = 0; k < n; k++) {
        std::size_t i = (first + k) % n;
        if (states[i].rest_until.load() > now)
            continue;
        if (best == n || (full(best) && !full(i)) ||
            (full(best) == full(i) && states[i].connections.load() < states[best].connections.load()))
            best = i;
    }
    if (best == n)
        return false;
    for (std::size_t k = 0; k < n; k++) {
        std::size_t i = (best + k) % n;
        if (k > 0 && states[i].rest_until.load() > now)
            continue;
        std::string error;
        icap_options opts;
        std::unique_ptr<reader> in = open_connection((*servers)[i], &opts, &error);
        if (in == nullptr) {
            server_failed(i, error.c_str());
            continue;
        }
        server_answered(i);
        states[i].connections.fetch_add(1);
        states[i].max_connections.store(opts.max_connections);
        conn.generation = generation.load();
        conn.server = i;
        conn.options = opts;
        conn.options_at = now_ms();
        *handle = in->fd;
        conn.in = std::move(in);
        return true;
    }
    return false;
}

enum class transfer { preview, complete, ignore };

// How the server's Transfer-* lists want a file of extension `ext` sent: a list naming the extension
// decides, else the one holding "*", else a preview.
transfer transfer_for(const icap_options& o, const std::string& ext) {
    auto holds = [](const std::vector<std::string>& list, const std::string& item) {
        return !item.empty() && std::find(list.begin(), list.end(), item) != list.end();
    };
    for (const std::string& key : {ext, std::string("*")}) {
        if (holds(o.transfer_ignore, key))
            return transfer::ignore;
        if (holds(o.transfer_complete, key))
            return transfer::complete;
        if (holds(o.transfer_preview, key))
            return transfer::preview;
    }
    return transfer::preview;
}

std::string extension(const char* path) {
    const char* base = strrchr(path, '/');
    base = base != nullptr ? base + 1 : path;
    const char* dot = strrchr(base, '.');
    return dot != nullptr && dot != base ? lower(dot + 1) : "";
}

std::string percent_encoded(const char* text) {
    std::string out;
    char hex[4];
    for (const unsigned char* p = reinterpret_cast<const unsigned char*>(text); *p != 0; p++) {
        if (isalnum(*p) || strchr("-._~", *p) != nullptr) {
            out += static_cast<char>(*p);
        } else {
            snprintf(hex, sizeof hex, "%%%02X", *p);
            out += hex;
        }
    }
    return out;
}

bool send_chunk(reader& out, const char* data, std::size_t len) {
    char size[24];
    int n = snprintf(size, sizeof size, "%zx\r\n", len);
    return out.send_all(size, static_cast<std::size_t>(n), true) && out.send_all(data, len, true) &&
           out.send_all("\r\n", 2, true);
}

infection* findings_list(const std::vector<std::string>& names) {
    infection* head = nullptr;
    for (const std::string& name : names) {
        auto* i = static_cast<infection*>(malloc(sizeof(infection)));
        char* copy = strdup(name.c_str());
        if (i == nullptr || copy == nullptr) {
            free(i);
            free(copy);
            break;
        }
        *i = {copy, head};
        head = i;
    }
    return head;
}

enum class sent { ok, failed, read_error };

// The body of the file from `fd`, from `from` on, in chunks; the last chunk's terminator is not sent.
sent send_body(reader& sock, int fd, off_t from, off_t until) {
    std::vector<char> buf(CHUNK);
    for (off_t off = from; until < 0 || off < until;) {
        std::size_t want = until < 0 ? CHUNK : static_cast<std::size_t>(std::min<off_t>(CHUNK, until - off));
        ssize_t n = pread(fd, buf.data(), want, off);
        if (n < 0)
            return sent::read_error;
        if (n == 0)
            break;
        if (!send_chunk(sock, buf.data(), static_cast<std::size_t>(n)))
            return sent::failed;
        off += n;
    }
    return sent::ok;
}

} // namespace

// ---- parsing --------------------------------------------------------------------------------------------

bool icap_parse(const std::string& text, std::vector<icap_server>* out, std::string* bad) {
    out->clear();
    std::size_t pos = 0;
    while ((pos = text.find_first_not_of(" \t", pos)) != std::string::npos) {
        std::size_t end = text.find_first_of(" \t", pos);
        std::string url = text.substr(pos, end == std::string::npos ? std::string::npos : end - pos);
        pos = end;
        *bad = url;
        icap_server s;
        s.tls = url.rfind("icaps://", 0) == 0;
        if (!s.tls && url.rfind("icap://", 0) != 0)
            return false;
        if (s.tls)
            s.port = 11344;
        std::string rest = url.substr(s.tls ? 8 : 7);
        std::size_t slash = rest.find('/');
        if (slash == std::string::npos || slash == 0 || slash + 1 >= rest.size())
            return false;
        std::string auth = rest.substr(0, slash);
        s.service = rest.substr(slash + 1);
        std::size_t colon = auth.rfind(':');
        if (auth.front() == '[') { // [v6]:port
            std::size_t close = auth.find(']');
            if (close == std::string::npos)
                return false;
            s.host = auth.substr(1, close - 1);
            colon = close + 1 < auth.size() && auth[close + 1] == ':' ? close + 1 : std::string::npos;
        } else {
            s.host = auth.substr(0, colon);
        }
        if (colon != std::string::npos) {
            const std::string port = auth.substr(colon + 1);
            char* e = nullptr;
            long p = strtol(port.c_str(), &e, 10);
            if (port.empty() || *e != '\0' || p < 1 || p > 65535)
                return false;
            s.port = static_cast<std::uint16_t>(p);
        }
        if (s.host.empty() || s.service.find_first_of("?# ") != std::string::npos)
            return false;
        s.uri = (s.tls ? "icaps://" : "icap://") + (auth.front() == '[' ? "[" + s.host + "]" : s.host) + ":" +
                std::to_string(s.port) + "/" + s.service;
        out->push_back(s);
    }
    bad->clear();
    return !out->empty();
}

bool icap_parse_head(const std::string& text, icap_answer* out) {
    *out = {};
    std::size_t eol = text.find("\r\n");
    if (eol == std::string::npos || sscanf(text.c_str(), "ICAP/%*d.%*d %d", &out->status) != 1)
        return false;
    std::string name;
    for (std::size_t pos = eol + 2; pos < text.size();) {
        std::size_t end = text.find("\r\n", pos);
        if (end == std::string::npos || end == pos)
            break;
        std::string line = text.substr(pos, end - pos);
        pos = end + 2;
        if ((line[0] == ' ' || line[0] == '\t') && !name.empty()) {
            // A folded line continues the header before it: the last one of its name.
            std::prev(out->headers.upper_bound(name))->second += "\n" + trim(line);
            continue;
        }
        std::size_t colon = line.find(':');
        if (colon == std::string::npos)
            return false;
        name = lower(trim(line.substr(0, colon)));
        out->headers.emplace(name, trim(line.substr(colon + 1)));
    }
    return out->status >= 100 && out->status <= 999;
}

std::vector<std::string> icap_findings(const icap_answer& a) {
    std::vector<std::string> names;
    auto add = [&](std::string n) {
        n = trim(n);
        if (!n.empty() && std::find(names.begin(), names.end(), n) == names.end())
            names.push_back(n);
    };
    // "Type=0; Resolution=2; Threat=Eicar-Test-Signature;"
    auto range = a.headers.equal_range("x-infection-found");
    for (auto it = range.first; it != range.second; ++it) {
        const std::string& v = it->second;
        std::size_t at = lower(v).find("threat=");
        if (at != std::string::npos)
            add(v.substr(at + 7, v.find(';', at) == std::string::npos ? std::string::npos
                                                                      : v.find(';', at) - at - 7));
    }
    if (names.empty()) {
        range = a.headers.equal_range("x-virus-id");
        for (auto it = range.first; it != range.second; ++it)
            add(it->second);
    }
    if (names.empty()) {
        // "1\n<file>\n<threat>\n<id>\n<disposition>", a group of four lines per violation.
        range = a.headers.equal_range("x-violations-found");
        for (auto it = range.first; it != range.second; ++it) {
            std::vector<std::string> lines;
            std::size_t start = 0;
            for (std::size_t nl; (nl = it->second.find('\n', start)) != std::string::npos; start = nl + 1)
                lines.push_back(it->second.substr(start, nl - start));
            lines.push_back(it->second.substr(start));
            for (std::size_t i = 2; i < lines.size(); i += 4)
                add(lines[i]);
        }
    }
    return names;
}

icap_options icap_options_of(const icap_answer& a) {
    icap_options o;
    auto get = [&](const char* name) -> const std::string* {
        auto it = a.headers.find(name);
        return it == a.headers.end() ? nullptr : &it->second;
    };
    if (const std::string* v = get("istag"))
        o.istag = unquoted(*v);
    if (const std::string* v = get("preview"))
        o.preview = std::max(0L, strtol(v->c_str(), nullptr, 10));
    if (const std::string* v = get("max-connections"))
        o.max_connections = static_cast<unsigned>(strtoul(v->c_str(), nullptr, 10));
    if (const std::string* v = get("options-ttl"))
        o.ttl = static_cast<unsigned>(strtoul(v->c_str(), nullptr, 10));
    if (const std::string* v = get("transfer-preview"))
        o.transfer_preview = list_of(*v);
    if (const std::string* v = get("transfer-ignore"))
        o.transfer_ignore = list_of(*v);
    if (const std::string* v = get("transfer-complete"))
        o.transfer_complete = list_of(*v);
    return o;
}

std::uint32_t icap_version(const std::string& istag) {
    std::uint32_t h = 2166136261u;
    for (unsigned char c : istag)
        h = (h ^ c) * 16777619u;
    return h != 0 ? h : 1;
}

// ---- the client ---------------------------------------------------------------------------------------

void icap_init(const std::vector<icap_server>& list) {
    servers = &list;
    delete[] states;
    states = new server_state[list.size()];
    generation.fetch_add(1);
}

void icap_disconnect(int* handle) {
    if (connected(handle))
        drop(handle);
    *handle = -1;
}

bool icap_on() {
    return servers != nullptr && !servers->empty();
}

av_verdict icap_scan(int* handle, int fd, const char* path, infection** result, char* reason,
                     std::size_t size, std::uint32_t* vps) {
    *result = nullptr;
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0)
        return AV_FAILED;
    if (!ensure_connected(handle))
        return AV_FAILED;
    const icap_server& s = (*servers)[conn.server];
    const icap_options& o = conn.options;
    if (vps != nullptr)
        *vps = icap_version(o.istag);
    const std::string ext = extension(path);
    const transfer how = transfer_for(o, ext);
    if (how == transfer::ignore) {
        // The server asks not to be sent such files: its policy, as an exclusion is.
        snprintf(reason, size, "Excluded");
        return AV_UNSCANNABLE;
    }
    const bool preview = o.preview >= 0 && how == transfer::preview;
    const off_t preview_bytes = preview ? std::min<off_t>(o.preview, st.st_size) : 0;

    const std::string base = strrchr(path, '/') != nullptr ? strrchr(path, '/') + 1 : path;
    const std::string req_hdr = "GET /" + percent_encoded(base.c_str()) + " HTTP/1.1\r\nHost: zet\r\n\r\n";
    const std::string res_hdr =
        "HTTP/1.1 200 OK\r\nContent-Type: application/octet-stream\r\nContent-Length: " +
        std::to_string(st.st_size) + "\r\n\r\n";
    std::string head = "RESPMOD " + s.uri + " ICAP/1.0\r\nHost: " + authority(s) +
                       "\r\nUser-Agent: zet/" ZET_VERSION "\r\nAllow: 204\r\n";
    if (preview)
        head += "Preview: " + std::to_string(preview_bytes) + "\r\n";
    head += "Encapsulated: req-hdr=0, res-hdr=" + std::to_string(req_hdr.size()) +
            ", res-body=" + std::to_string(req_hdr.size() + res_hdr.size()) + "\r\n\r\n" + req_hdr + res_hdr;

    auto failed = [&](const char* why) {
        server_failed(conn.server, why);
        drop(handle);
        return AV_FAILED;
    };
    if (!conn.in->send_all(head.data(), head.size(), true))
        return failed("the request could not be sent");
    sent body = send_body(*conn.in, fd, 0, preview ? preview_bytes : -1);
    if (body == sent::read_error) {
        snprintf(reason, size, "%s", strerror(errno));
        drop(handle); // the request is half sent
        return AV_UNSCANNABLE;
    }
    const bool whole = !preview || preview_bytes >= st.st_size;
    const char* end = preview && whole ? "0; ieof\r\n\r\n" : "0\r\n\r\n";
    if (body != sent::ok || !conn.in->send_all(end, strlen(end)))
        return failed("the request could not be sent");

    icap_answer a;
    bool returned;
    if (!read_answer(*conn.in, &a, &returned))
        return failed("no answer, or one that does not parse");
    if (preview && !whole && a.status == 100) {
        body = send_body(*conn.in, fd, preview_bytes, -1);
        if (body != sent::ok || !conn.in->send_all("0\r\n\r\n", 5))
            return failed("the rest of the file could not be sent");
        if (!read_answer(*conn.in, &a, &returned))
            return failed("no answer, or one that does not parse");
    }
    // The content as it came back, compared with the file's.
    off_t at = 0;
    bool same = true;
    if (returned) {
        std::vector<char> mine(CHUNK);
        bool ok = read_chunked(*conn.in, [&](const std::string& piece) {
            for (std::size_t done = 0; same && done < piece.size();) {
                ssize_t n = pread(fd, mine.data(), std::min(CHUNK, piece.size() - done), at);
                if (n <= 0 || memcmp(mine.data(), piece.data() + done, static_cast<std::size_t>(n)) != 0)
                    same = false;
                done += static_cast<std::size_t>(std::max<ssize_t>(n, 1));
                at += n;
            }
            return true;
        });
        if (!ok)
            return failed("a broken answer body");
        same = same && at == st.st_size;
    }
    if (a.headers.count("connection") && lower(a.headers.find("connection")->second) == "close")
        drop(handle);
    if (auto tag = a.headers.find("istag"); tag != a.headers.end()) {
        const std::string t = unquoted(tag->second);
        if (vps != nullptr)
            *vps = icap_version(t);
        if (conn.in != nullptr)
            conn.options.istag = t;
    }
    if (a.status >= 500 || (a.status >= 400 && a.status != 403))
        return failed(("answered " + std::to_string(a.status)).c_str());
    server_answered(conn.server);
    std::vector<std::string> names = icap_findings(a);
    if (names.empty() && (a.status == 403 || a.http_status == 403))
        names.push_back("ICAP.Blocked");
    if (!names.empty()) {
        *result = findings_list(names);
        return *result != nullptr ? AV_FOUND : AV_FAILED;
    }
    if (a.status == 204)
        return AV_CLEAN;
    if (a.status == 200 && (a.http_status == 0 || (a.http_status >= 200 && a.http_status < 300)) && same)
        return AV_CLEAN;
    snprintf(reason, size, "the ICAP server answered %d with content of its own", a.status);
    return AV_UNSCANNABLE;
}

int icap_vps(int* handle, std::uint32_t* vps) {
    if (!ensure_connected(handle))
        return -1;
    *vps = icap_version(conn.options.istag);
    return 0;
}

bool icap_answers() {
    for (const icap_server& s : *servers) {
        icap_options o;
        std::string error;
        if (icap_probe(s, &o, &error))
            return true;
    }
    return false;
}

bool icap_probe(const icap_server& s, icap_options* out, std::string* error) {
    return open_connection(s, out, error) != nullptr;
}
