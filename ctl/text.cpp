// Escaping for the plain-text output, and the JSON writer.
#include "ctl/text.hpp"

#include "src/text.hpp"

#include <cmath>
#include <cstdio>

namespace ctl {

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

Json& Json::value(double x) {
    separate();
    if (!std::isfinite(x)) {
        out_ += "null";
        return *this;
    }
    char buf[64];
    snprintf(buf, sizeof buf, "%.3f", x);
    out_ += buf;
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
