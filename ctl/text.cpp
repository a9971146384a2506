// Escaping and times for the plain-text output, and the JSON writer.
#include "ctl/text.hpp"

#include "src/facts.hpp"

#include <cstdio>
#include <ctime>

namespace ctl {

namespace {

// Length of the valid UTF-8 sequence at `s[i]`, or 0.
std::size_t utf8_length(std::string_view s, std::size_t i) {
    auto b = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    unsigned char c = b(i);
    std::size_t n;
    std::uint32_t cp;
    if (c >= 0xc2 && c <= 0xdf) {
        n = 2;
        cp = c & 0x1f;
    } else if (c >= 0xe0 && c <= 0xef) {
        n = 3;
        cp = c & 0x0f;
    } else if (c >= 0xf0 && c <= 0xf4) {
        n = 4;
        cp = c & 0x07;
    } else {
        return 0;
    }
    if (i + n > s.size())
        return 0;
    for (std::size_t k = 1; k < n; k++) {
        if ((b(i + k) & 0xc0) != 0x80)
            return 0;
        cp = (cp << 6) | (b(i + k) & 0x3f);
    }
    // Overlong forms, surrogates and values beyond Unicode are not valid.
    if ((n == 3 && cp < 0x800) || (n == 4 && (cp < 0x10000 || cp > 0x10ffff)) ||
        (cp >= 0xd800 && cp <= 0xdfff))
        return 0;
    return n;
}

} // namespace

std::optional<std::string> local_time(std::int64_t t) {
    const std::time_t tt = static_cast<std::time_t>(t);
    struct tm tm;
    char buf[32];
    if (localtime_r(&tt, &tm) == nullptr || strftime(buf, sizeof buf, LOG_TIME_FORMAT, &tm) == 0)
        return std::nullopt;
    return buf;
}

std::string shown(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char ch : s) {
        auto c = static_cast<unsigned char>(ch);
        switch (c) {
        case '\\':
            out += "\\\\";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\r':
            out += "\\r";
            break;
        default:
            if (c < 0x20 || c == 0x7f) {
                char buf[5];
                snprintf(buf, sizeof buf, "\\x%02x", c);
                out += buf;
            } else {
                out += ch;
            }
        }
    }
    return out;
}

std::string json_quoted(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        auto c = static_cast<unsigned char>(s[i]);
        char buf[8];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
        } else if (c == '\n') {
            out += "\\n";
        } else if (c == '\t') {
            out += "\\t";
        } else if (c < 0x20 || c == 0x7f) {
            snprintf(buf, sizeof buf, "\\u%04x", c);
            out += buf;
        } else if (c >= 0x80) {
            std::size_t n = utf8_length(s, i);
            if (n == 0) {
                snprintf(buf, sizeof buf, "\\u%04x", c);
                out += buf;
            } else {
                out.append(s.substr(i, n));
                i += n;
                continue;
            }
        } else {
            out += static_cast<char>(c);
        }
        i++;
    }
    return out + "\"";
}

void Json::separate() {
    if (after_key_) {
        after_key_ = false;
        return;
    }
    if (!first_.empty()) {
        if (!first_.back())
            out_ += ',';
        first_.back() = false;
    }
}

Json& Json::begin_object() {
    separate();
    out_ += '{';
    first_.push_back(true);
    return *this;
}

Json& Json::end_object() {
    out_ += '}';
    first_.pop_back();
    return *this;
}

Json& Json::begin_array() {
    separate();
    out_ += '[';
    first_.push_back(true);
    return *this;
}

Json& Json::end_array() {
    out_ += ']';
    first_.pop_back();
    return *this;
}

Json& Json::key(std::string_view name) {
    separate();
    out_ += json_quoted(name);
    out_ += ':';
    after_key_ = true;
    return *this;
}

Json& Json::value(std::string_view s) {
    separate();
    out_ += json_quoted(s);
    return *this;
}

Json& Json::value(std::int64_t n) {
    separate();
    out_ += std::to_string(n);
    return *this;
}

Json& Json::value(bool b) {
    separate();
    out_ += b ? "true" : "false";
    return *this;
}

Json& Json::null() {
    separate();
    out_ += "null";
    return *this;
}

} // namespace ctl
