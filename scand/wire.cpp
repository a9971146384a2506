// Command framing and parsing, and answer lines of the scan-service protocol.
#include "scand/wire.hpp"

#include <cinttypes>
#include <cstdio>

namespace scand {

namespace {

using zelu::wire::needs_escape;

struct Field {
    std::string_view raw; // as sent, escapes included
};

// Splits a line (without its line end) at unescaped blanks. Fails on an empty field, a bad escape, or
// an unescaped control whitespace byte.
std::optional<std::vector<Field>> split_fields(std::string_view line) {
    std::vector<Field> fields;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= line.size(); ++i) {
        if (i == line.size() || line[i] == ' ') {
            if (i == start) {
                return std::nullopt;
            }
            fields.push_back({line.substr(start, i - start)});
            start = i + 1;
        } else if (line[i] == '\\') {
            if (i + 1 == line.size() || !needs_escape(line[i + 1])) {
                return std::nullopt;
            }
            ++i;
        } else if (needs_escape(line[i])) {
            return std::nullopt;
        }
    }
    return fields;
}

// A version as VPS writes it: decimal digits only, within 32 bits.
std::optional<std::uint32_t> version_argument(std::string_view raw) {
    std::uint64_t value = 0;
    for (const char c : raw) {
        if (c < '0' || c > '9') {
            return std::nullopt;
        }
        value = value * 10 + static_cast<std::uint64_t>(c - '0');
        if (value > UINT32_MAX) {
            return std::nullopt;
        }
    }
    return static_cast<std::uint32_t>(value);
}

std::optional<std::string> path_argument(std::string_view raw) {
    auto path = unescape(raw);
    if (!path || path->empty() || path->size() > max_path || path->find('\0') != std::string::npos) {
        return std::nullopt;
    }
    return path;
}

} // namespace

std::size_t command_line_length(std::string_view buffered) {
    for (std::size_t i = 0; i < buffered.size(); ++i) {
        if (buffered[i] == '\\') {
            ++i; // the escaped byte, even an LF, belongs to the field
        } else if (buffered[i] == '\n') {
            return i + 1;
        }
    }
    return 0;
}

std::optional<Command> parse_command(std::string_view line) {
    if (line.empty() || line.back() != '\n') {
        return std::nullopt;
    }
    line.remove_suffix(1);
    // A CR before the LF is part of the line end only when it is not escaped: count the backslashes
    // in front of it.
    if (!line.empty() && line.back() == '\r') {
        std::size_t backslashes = 0;
        while (backslashes + 1 < line.size() && line[line.size() - 2 - backslashes] == '\\') {
            ++backslashes;
        }
        if (backslashes % 2 == 0) {
            line.remove_suffix(1);
        }
    }
    auto fields = split_fields(line);
    if (!fields) {
        return std::nullopt;
    }
    const auto& f = *fields;
    Command cmd{};
    if (f[0].raw == "VPS" && f.size() == 1) {
        cmd.verb = Verb::Vps;
        return cmd;
    }
    if (f[0].raw == "DBINFO" && f.size() == 1) {
        cmd.verb = Verb::DbInfo;
        return cmd;
    }
    if (f[0].raw == "VPSWAIT" && f.size() == 2) {
        const auto known = version_argument(f[1].raw);
        if (!known) {
            return std::nullopt;
        }
        cmd.verb = Verb::VpsWait;
        cmd.known = *known;
        return cmd;
    }
    if (f[0].raw == "EXCLUDE" && f.size() == 2) {
        auto path = path_argument(f[1].raw);
        if (!path) {
            return std::nullopt;
        }
        cmd.verb = Verb::Exclude;
        cmd.path = std::move(*path);
        return cmd;
    }
    if ((f[0].raw == "SCAN" || f[0].raw == "FDSCAN") && f.size() >= 2 && f.size() % 2 == 0) {
        auto path = path_argument(f[1].raw);
        if (!path) {
            return std::nullopt;
        }
        cmd.verb = f[0].raw == "SCAN" ? Verb::Scan : Verb::FdScan;
        cmd.path = std::move(*path);
        bool got_cid = false, got_trigger = false;
        for (std::size_t i = 2; i < f.size(); i += 2) {
            auto value = unescape(f[i + 1].raw);
            if (f[i].raw == "CID" && !got_cid) {
                got_cid = true;
                cmd.cid = std::move(*value);
            } else if (f[i].raw == "TRIGGER" && !got_trigger) {
                got_trigger = true;
                cmd.trigger = std::move(*value);
            } else {
                return std::nullopt;
            }
        }
        return cmd;
    }
    return std::nullopt;
}

std::string exclude_line(std::string_view path) {
    std::string out = "EXCLUDE ";
    escape_to(out, path);
    out += "\r\n";
    return out;
}

std::string vps_line(std::uint32_t version) {
    return "VPS " + std::to_string(version) + "\r\n";
}

void append_scan_lines(std::string& out, std::string_view path, const Outcome& outcome) {
    using Kind = Outcome::Kind;
    char took[48];
    const auto us = outcome.took.count() < 0 ? 0 : outcome.took.count();
    std::snprintf(took, sizeof took, "%" PRId64 ".%06" PRId64, static_cast<std::int64_t>(us / 1000000),
                  static_cast<std::int64_t>(us % 1000000));
    auto head = [&](const char* status) {
        out += "SCAN ";
        escape_to(out, path);
        out += '\t';
        out += status;
        out += took;
    };
    switch (outcome.kind) {
    case Kind::Clean:
        head("[+]");
        out += " OK\r\n";
        break;
    case Kind::Unscannable:
    case Kind::EngineFailure:
        head("[E]");
        out += ' ';
        out += outcome.kind == Kind::EngineFailure ? "Engine error: " : "";
        out += outcome.reason;
        out += "\r\n";
        break;
    case Kind::Infected:
        for (std::size_t i = 0; i < outcome.findings.size(); ++i) {
            head("[L]");
            out += '\t';
            out += std::to_string(i + 1);
            out += ' ';
            escape_to(out, outcome.findings[i]);
            out += "\r\n";
        }
        break;
    }
}

} // namespace scand
