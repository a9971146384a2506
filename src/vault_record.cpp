// The vault record: its text format, the digest of a vault file, setting the record and reading it back.
#include "src/vault_record.hpp"

#include "src/av.hpp"
#include "src/text.hpp"
#include "zelu/fd.hpp"

#include <fcntl.h>
#include <grp.h>
#include <openssl/evp.h>
#include <sys/xattr.h>
#include <syslog.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>
#include <map>
#include <memory>

namespace {

constexpr std::string_view FORMAT_LINE = "zet-vault-record 1";
constexpr std::string_view FORMAT_NAME = "zet-vault-record ";
constexpr std::size_t READ_BUF_SIZE = 65536;
constexpr std::size_t NAME_BUF_SIZE = 16384; // getgrgid_r
// What a cut record keeps of the path and the executable: with every byte escaped sixfold, both still fit
// the 4 KiB that ext4 has for all attributes of a file.
constexpr std::size_t CUT_TEXT_BYTES = 200;
constexpr mode_t PERMISSION_BITS = 07777;
constexpr long NANOSECONDS = 1000000000;
constexpr int DIGITS_OF_NANOSECONDS = 9;

// Every field the reader needs; the rest may be absent.
constexpr const char* REQUIRED[] = {"path",  "uid",  "gid",    "mode",       "atime",
                                    "mtime", "size", "sha256", "quarantined"};

void field(std::string& out, const char* name, std::string_view value) {
    out += name;
    out += '\t';
    json_escape(out, value.data(), value.size());
    out += '\n';
}

std::string time_text(const timespec& t) {
    char nsec[DIGITS_OF_NANOSECONDS + 2];
    snprintf(nsec, sizeof nsec, ".%09ld", t.tv_nsec);
    return std::to_string(static_cast<long long>(t.tv_sec)) + nsec;
}

int hex_digit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// Undoes json_escape: the only escapes it writes are \" \\ \u00XX (control bytes) and \udcXX (a byte that
// is not UTF-8); anything else is refused rather than guessed at.
std::optional<std::string> unescaped(std::string_view s) {
    std::string out;
    for (std::size_t i = 0; i < s.size(); i++) {
        if (s[i] != '\\') {
            out += s[i];
            continue;
        }
        if (i + 1 >= s.size())
            return std::nullopt;
        const char e = s[++i];
        if (e == '\\' || e == '"') {
            out += e;
            continue;
        }
        if (e != 'u' || i + 4 >= s.size())
            return std::nullopt;
        const std::string_view plane = s.substr(i + 1, 2);
        const int hi = hex_digit(s[i + 3]), lo = hex_digit(s[i + 4]);
        if (hi < 0 || lo < 0)
            return std::nullopt;
        const int byte = hi * 16 + lo;
        if (!(plane == "00" && (byte < 0x20 || byte == 0x7F)) && !(plane == "dc" && byte >= 0x80))
            return std::nullopt;
        out += static_cast<char>(byte);
        i += 4;
    }
    return out;
}

template <typename T> bool number(const std::string& text, T* out, int base = 10) {
    const char* end = text.data() + text.size();
    auto [ptr, ec] = std::from_chars(text.data(), end, *out, base);
    return !text.empty() && ec == std::errc() && ptr == end;
}

bool time_value(const std::string& text, timespec* out) {
    const auto dot = text.find('.');
    long long sec = 0;
    long nsec = 0;
    if (dot == std::string::npos || text.size() - dot - 1 != DIGITS_OF_NANOSECONDS ||
        !number(text.substr(0, dot), &sec) || text[dot + 1] == '-' || !number(text.substr(dot + 1), &nsec))
        return false;
    out->tv_sec = static_cast<time_t>(sec);
    out->tv_nsec = nsec;
    return true;
}

// The fields of the record, decoded; each name once but "finding".
using fields = std::map<std::string, std::vector<std::string>>;

std::optional<std::string> split(std::string_view text, fields* out) {
    const auto first = text.find('\n');
    if (first == std::string_view::npos)
        return "not a vault record";
    const std::string_view format = text.substr(0, first);
    if (format != FORMAT_LINE)
        return format.starts_with(FORMAT_NAME)
                   ? "vault record format '" + json_escaped(format) + "' is not understood"
                   : "not a vault record";
    for (std::size_t at = first + 1; at < text.size();) {
        const auto end = text.find('\n', at);
        if (end == std::string_view::npos)
            return "vault record ends inside a line";
        const std::string_view line = text.substr(at, end - at);
        at = end + 1;
        const auto tab = line.find('\t');
        if (tab == std::string_view::npos)
            return "vault record line without a value: " + json_escaped(line);
        const std::string name(line.substr(0, tab));
        std::optional<std::string> value = unescaped(line.substr(tab + 1));
        if (!value)
            return "vault record field " + json_escaped(name) + ": bad escape";
        std::vector<std::string>& values = (*out)[name];
        if (!values.empty() && name != "finding")
            return "vault record field " + json_escaped(name) + " repeated";
        values.push_back(std::move(*value));
    }
    for (const char* name : REQUIRED)
        if (out->find(name) == out->end())
            return std::string("vault record without the field ") + name;
    return std::nullopt;
}

// Reads every field into `r`; the name of the first that does not read, or nothing.
std::optional<std::string> fill(const fields& f, vault_record* r) {
    auto text = [&](const char* name) -> const std::string* {
        auto it = f.find(name);
        return it == f.end() ? nullptr : &it->second.front();
    };
    r->path = *text("path");
    if (const std::string* cut = text("cut")) {
        if (*cut != "yes")
            return "cut";
        r->cut = true;
    }
    if (!number(*text("uid"), &r->uid))
        return "uid";
    if (!number(*text("gid"), &r->gid))
        return "gid";
    r->user = text("user") != nullptr ? *text("user") : std::to_string(r->uid);
    r->group = text("group") != nullptr ? *text("group") : std::to_string(r->gid);
    unsigned mode = 0;
    if (!number(*text("mode"), &mode, 8) || mode > PERMISSION_BITS)
        return "mode";
    r->mode = static_cast<mode_t>(mode);
    if (!time_value(*text("atime"), &r->atime))
        return "atime";
    if (!time_value(*text("mtime"), &r->mtime))
        return "mtime";
    if (!number(*text("size"), &r->size) || r->size < 0)
        return "size";
    r->sha256 = *text("sha256");
    if (r->sha256.size() != 2 * 32 || r->sha256.find_first_not_of("0123456789abcdef") != std::string::npos)
        return "sha256";
    if (!number(*text("quarantined"), &r->quarantined))
        return "quarantined";
    if (auto it = f.find("finding"); it != f.end())
        r->findings = it->second;
    if (const std::string* vps = text("vps"); vps != nullptr && !number(*vps, &r->vps))
        return "vps";
    if (const std::string* pid = text("writer_pid")) {
        r->writer.known = true;
        if (!number(*pid, &r->writer.pid) || r->writer.pid <= 0)
            return "writer_pid";
        if (const std::string* uid = text("writer_uid"); uid != nullptr && !number(*uid, &r->writer.uid))
            return "writer_uid";
        for (auto [name, to] :
             {std::pair{"writer_user", &r->writer.user}, std::pair{"writer_exe", &r->writer.exe},
              std::pair{"writer_unit", &r->writer.unit}})
            if (const std::string* value = text(name))
                *to = *value;
    }
    return std::nullopt;
}

std::string group_name(gid_t gid) {
    std::vector<char> buf(NAME_BUF_SIZE);
    group gr, *found = nullptr;
    if (getgrgid_r(gid, &gr, buf.data(), buf.size(), &found) == 0 && found != nullptr)
        return gr.gr_name;
    return std::to_string(gid);
}

// The same record, small enough for any file system that takes one at all.
vault_record cut(vault_record r) {
    r.cut = true;
    if (r.path.size() > CUT_TEXT_BYTES)
        r.path.resize(CUT_TEXT_BYTES);
    if (r.writer.exe.size() > CUT_TEXT_BYTES)
        r.writer.exe.resize(CUT_TEXT_BYTES);
    if (r.findings.size() > 1)
        r.findings.resize(1);
    return r;
}

bool set_record(int fd, const vault_record& r) {
    const std::string text = vault_record_text(r);
    return fsetxattr(fd, VAULT_RECORD_XATTR, text.data(), text.size(), 0) == 0;
}

} // namespace

std::string vault_record_text(const vault_record& r) {
    std::string out(FORMAT_LINE);
    out += '\n';
    field(out, "path", r.path);
    if (r.cut)
        field(out, "cut", "yes");
    field(out, "uid", std::to_string(r.uid));
    field(out, "user", r.user);
    field(out, "gid", std::to_string(r.gid));
    field(out, "group", r.group);
    char mode[sizeof "07777"];
    snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(r.mode & PERMISSION_BITS));
    field(out, "mode", mode);
    field(out, "atime", time_text(r.atime));
    field(out, "mtime", time_text(r.mtime));
    field(out, "size", std::to_string(r.size));
    field(out, "sha256", r.sha256);
    for (const std::string& finding : r.findings)
        field(out, "finding", finding);
    if (r.vps != 0)
        field(out, "vps", std::to_string(r.vps));
    field(out, "quarantined", std::to_string(r.quarantined));
    if (r.writer.known) {
        field(out, "writer_pid", std::to_string(r.writer.pid));
        field(out, "writer_uid", std::to_string(r.writer.uid));
        field(out, "writer_user", r.writer.user);
        field(out, "writer_exe", r.writer.exe);
        field(out, "writer_unit", r.writer.unit);
    }
    return out;
}

std::optional<vault_record> vault_record_parse(std::string_view text, std::string* error) {
    fields f;
    if (std::optional<std::string> refused = split(text, &f)) {
        *error = std::move(*refused);
        return std::nullopt;
    }
    vault_record r;
    if (std::optional<std::string> bad = fill(f, &r)) {
        *error = "vault record field " + *bad + ": bad value " + json_quoted(f[*bad].front());
        return std::nullopt;
    }
    return r;
}

std::optional<std::string> vault_sha256_fd(int fd, int* err) {
    std::unique_ptr<EVP_MD_CTX, decltype(&EVP_MD_CTX_free)> ctx(EVP_MD_CTX_new(), EVP_MD_CTX_free);
    if (!ctx || EVP_DigestInit_ex(ctx.get(), EVP_sha256(), nullptr) != 1) {
        *err = 0;
        return std::nullopt;
    }
    std::unique_ptr<char[]> buf(new char[READ_BUF_SIZE]);
    for (;;) {
        ssize_t n = read(fd, buf.get(), READ_BUF_SIZE);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            *err = errno;
            return std::nullopt;
        }
        if (n == 0)
            break;
        EVP_DigestUpdate(ctx.get(), buf.get(), static_cast<std::size_t>(n));
    }
    unsigned char md[EVP_MAX_MD_SIZE];
    unsigned int len = 0;
    EVP_DigestFinal_ex(ctx.get(), md, &len);
    static const char hex[] = "0123456789abcdef";
    std::string out;
    for (unsigned i = 0; i < len; i++) {
        out += hex[md[i] >> 4];
        out += hex[md[i] & 0xF];
    }
    return out;
}

void vault_record_keep(const char* vault_path, const char* original, const struct stat& before,
                       const infection* findings, std::uint32_t vps, const actor& writer, time_t when) {
    vault_record r;
    r.path = original;
    r.uid = before.st_uid;
    r.user = user_name(before.st_uid);
    r.gid = before.st_gid;
    r.group = group_name(before.st_gid);
    r.mode = before.st_mode & PERMISSION_BITS;
    r.atime = before.st_atim;
    r.mtime = before.st_mtim;
    r.size = before.st_size;
    for (const infection* i = findings; i != nullptr; i = i->next)
        r.findings.emplace_back(i->name);
    r.vps = vps;
    r.quarantined = when;
    r.writer = writer;

    zelu::fd::Fd fd(open(vault_path, O_RDONLY | O_NOFOLLOW | O_CLOEXEC));
    int err = 0;
    std::optional<std::string> digest;
    if (fd.get() >= 0 && !(digest = vault_sha256_fd(fd.get(), &err)))
        errno = err != 0 ? err : ENOSYS;
    if (!digest) {
        syslog(LOG_WARNING, "%s: vault record not kept: %m", vault_path);
        return;
    }
    r.sha256 = *digest;
    bool kept = set_record(fd.get(), r);
    // E2BIG beyond the file system's limit for one value, ENOSPC where all of a file's attributes share one
    // block (ext4).
    if (!kept && (errno == E2BIG || errno == ENOSPC))
        kept = set_record(fd.get(), cut(r));
    if (!kept)
        syslog(LOG_WARNING, "%s: vault record not kept: %m", vault_path);
}

std::optional<vault_record> vault_record_read(const std::string& path, std::string* error) {
    error->clear();
    std::string value;
    for (;;) {
        ssize_t size = lgetxattr(path.c_str(), VAULT_RECORD_XATTR, nullptr, 0);
        if (size >= 0) {
            value.resize(static_cast<std::size_t>(size));
            size = lgetxattr(path.c_str(), VAULT_RECORD_XATTR, value.data(), value.size());
        }
        // Grown between the two calls: ask again.
        if (size < 0 && errno == ERANGE)
            continue;
        if (size >= 0) {
            value.resize(static_cast<std::size_t>(size));
            break;
        }
        // No record, or a file system (or a caller without CAP_SYS_ADMIN) that has none to show.
        if (errno == ENODATA || errno == ENOTSUP)
            return std::nullopt;
        *error = path + ": vault record: " + strerror(errno);
        return std::nullopt;
    }
    std::optional<vault_record> r = vault_record_parse(value, error);
    if (!r)
        *error = path + ": " + *error;
    return r;
}
