// Escaping and exclusion matching of the scan-service wire protocol.
#include "zelu/wire.hpp"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <utility>

namespace zelu::wire {

namespace {

std::string with_slash(std::string dir) {
    if (dir.empty() || dir.back() != '/') {
        dir += '/';
    }
    return dir;
}

constexpr std::string_view dbinfo_head = "DBINFO ";

// The texts of the DBINFO fields, by name; the last of a repeated name counts.
struct DbInfoFields {
    std::optional<std::string_view> version, built, built_from, signatures, loaded, load_ms;
};
using DbInfoSlot = std::optional<std::string_view> DbInfoFields::*;
constexpr std::pair<std::string_view, DbInfoSlot> dbinfo_fields[] = {
    {"version", &DbInfoFields::version},       {"built", &DbInfoFields::built},
    {"built_from", &DbInfoFields::built_from}, {"signatures", &DbInfoFields::signatures},
    {"loaded", &DbInfoFields::loaded},         {"load_ms", &DbInfoFields::load_ms},
};

// A DBINFO number: decimal, not negative. False, with `out` unchanged, for anything else.
bool dbinfo_number(const std::optional<std::string_view>& text, std::int64_t* out) {
    if (!text || text->empty())
        return false;
    const std::string digits(*text);
    char* end = nullptr;
    errno = 0;
    const long long v = strtoll(digits.c_str(), &end, 10);
    if (errno != 0 || *end != '\0' || v < 0)
        return false;
    *out = v;
    return true;
}

} // namespace

bool within(std::string_view path, std::string_view dir) {
    if (path.substr(0, dir.size()) != dir) {
        return false;
    }
    return path.size() == dir.size() || (!dir.empty() && dir.back() == '/') || path[dir.size()] == '/';
}

bool below(std::string_view path, std::string_view dir) {
    return path.size() > dir.size() && within(path, dir);
}

std::string dbinfo_line(const DbInfo& info) {
    return std::string(dbinfo_head) + "version=" + std::to_string(info.version) +
           " built=" + std::to_string(info.built) +
           " built_from=" + (info.built_from_header ? "header" : "file") +
           " signatures=" + std::to_string(info.signatures) + " loaded=" + std::to_string(info.loaded) +
           " load_ms=" + std::to_string(info.load_ms) + "\r\n";
}

std::optional<DbInfo> parse_dbinfo_line(std::string_view line) {
    if (line.substr(0, dbinfo_head.size()) != dbinfo_head)
        return std::nullopt;
    line.remove_prefix(dbinfo_head.size());
    while (!line.empty() && (line.back() == '\r' || line.back() == '\n'))
        line.remove_suffix(1);
    DbInfoFields fields;
    for (std::size_t pos = 0; pos < line.size();) {
        const std::size_t end = std::min(line.find(' ', pos), line.size());
        const std::string_view field = line.substr(pos, end - pos);
        pos = end + 1;
        const auto eq = field.find('=');
        for (const auto& [name, slot] : dbinfo_fields)
            if (eq != std::string_view::npos && field.substr(0, eq) == name)
                fields.*slot = field.substr(eq + 1);
    }
    DbInfo info;
    std::int64_t version = 0;
    if (!dbinfo_number(fields.version, &version) || !dbinfo_number(fields.built, &info.built))
        return std::nullopt;
    info.version = static_cast<std::uint32_t>(version);
    info.built_from_header = fields.built_from == "header";
    dbinfo_number(fields.signatures, &info.signatures);
    dbinfo_number(fields.loaded, &info.loaded);
    dbinfo_number(fields.load_ms, &info.load_ms);
    return info;
}

void escape_to(std::string& out, std::string_view text) {
    for (char c : text) {
        if (needs_escape(c)) {
            out += '\\';
        }
        out += c;
    }
}

std::string escape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    escape_to(out, text);
    return out;
}

std::optional<std::string> unescape(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\') {
            if (i + 1 == text.size() || !needs_escape(text[i + 1])) {
                return std::nullopt;
            }
            ++i;
        }
        out += text[i];
    }
    return out;
}

std::string normalized(std::string_view path) {
    std::string out;
    out.reserve(path.size());
    if (!path.empty() && path.front() == '/') {
        out += '/';
    }
    std::size_t i = 0;
    while (i < path.size()) {
        const std::size_t slash = path.find('/', i);
        const std::size_t end = slash == std::string_view::npos ? path.size() : slash;
        const auto part = path.substr(i, end - i);
        if (!part.empty() && part != ".") {
            if (!out.empty() && out.back() != '/') {
                out += '/';
            }
            out += part;
        }
        i = end + 1;
    }
    if (out.empty() && !path.empty()) {
        out.push_back('.'); // a relative path of only "." components
    }
    return out;
}

bool Exclusions::add(std::string_view path) {
    if (bytes_ + path.size() > max_bytes) {
        return false;
    }
    bytes_ += path.size();
    if (path.size() >= 2 && path.substr(path.size() - 2) == "/*") {
        trees_.push_back(with_slash(normalized(path.substr(0, path.size() - 1))));
    } else {
        exact_.push_back(normalized(path));
    }
    return true;
}

bool Exclusions::covers(std::string_view path) const {
    const auto p = normalized(path);
    for (const auto& e : exact_) {
        if (p == e) {
            return true;
        }
    }
    for (const auto& t : trees_) {
        if (below(p, t)) {
            return true;
        }
    }
    return false;
}

bool Exclusions::covers_below(std::string_view dir) const {
    const auto d = with_slash(normalized(dir));
    for (const auto& t : trees_) {
        if (within(d, t)) {
            return true;
        }
    }
    return false;
}

} // namespace zelu::wire
