// Byte-string helpers of zelu::util.
#include "zelu/util.hpp"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>
#include <system_error>

namespace zelu::util {

namespace {

bool in_set(char c, const char* set, std::size_t set_len) {
    return std::memchr(set, c, set_len) != nullptr;
}

// Index of the first byte of `s` outside `set`, or npos.
std::size_t first_outside(const std::string& s, const char* set, std::size_t set_len) {
    for (std::size_t i = 0; i < s.size(); ++i) {
        if (!in_set(s[i], set, set_len)) {
            return i;
        }
    }
    return std::string::npos;
}

// Index of the last byte of `s` outside `set`, or npos.
std::size_t last_outside(const std::string& s, const char* set, std::size_t set_len) {
    for (std::size_t i = s.size(); i-- > 0;) {
        if (!in_set(s[i], set, set_len)) {
            return i;
        }
    }
    return std::string::npos;
}

} // namespace

void rstrip(std::string& s, const char* set) {
    const std::size_t set_len = std::strlen(set);
    if (s.empty() || set_len == 0) {
        return;
    }
    const std::size_t last = last_outside(s, set, set_len);
    s.erase(last == std::string::npos ? 0 : last + 1);
}

std::string rstripped(const std::string& s, const char* set) {
    const std::size_t set_len = std::strlen(set);
    if (set_len == 0) {
        return s;
    }
    const std::size_t last = last_outside(s, set, set_len);
    return last == std::string::npos ? std::string() : s.substr(0, last + 1);
}

void lstrip(std::string& s, const char* set) {
    const std::size_t set_len = std::strlen(set);
    if (s.empty() || set_len == 0) {
        return;
    }
    const std::size_t first = first_outside(s, set, set_len);
    s.erase(0, first == std::string::npos ? s.size() : first);
}

std::string lstripped(const std::string& s, const char* set) {
    const std::size_t set_len = std::strlen(set);
    if (set_len == 0) {
        return s;
    }
    const std::size_t first = first_outside(s, set, set_len);
    return first == std::string::npos ? std::string() : s.substr(first);
}

void strip(std::string& s) {
    rstrip(s, whitespace);
    lstrip(s, whitespace);
}

std::string stripped(const std::string& s, const char* set) {
    const std::size_t set_len = std::strlen(set);
    if (set_len == 0) {
        return s;
    }
    const std::size_t first = first_outside(s, set, set_len);
    if (first == std::string::npos) {
        return {};
    }
    const std::size_t last = last_outside(s, set, set_len);
    return s.substr(first, last - first + 1);
}

std::vector<std::string> split(std::string_view text, char sep, bool keep_empty) {
    std::vector<std::string> pieces;
    std::size_t start = 0;
    for (std::size_t pos = text.find(sep); pos != std::string_view::npos; pos = text.find(sep, start)) {
        if (keep_empty || pos > start) {
            pieces.emplace_back(text.substr(start, pos - start));
        }
        start = pos + 1;
    }
    if (keep_empty || start < text.size()) {
        pieces.emplace_back(text.substr(start));
    }
    return pieces;
}

int compare_nocase(const std::string& a, const std::string& b) {
    return ::strcasecmp(a.c_str(), b.c_str());
}

bool equals_nocase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && ::strncasecmp(a.data(), b.data(), a.size()) == 0;
}

bool NoCaseLess::operator()(std::string_view a, std::string_view b) const {
    const int diff = ::strncasecmp(a.data(), b.data(), std::min(a.size(), b.size()));
    return diff != 0 ? diff < 0 : a.size() < b.size();
}

bool starts_with(const std::string& s, const std::string& prefix) {
    return s.size() >= prefix.size() && s.compare(0, prefix.size(), prefix) == 0;
}

std::string to_lower(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return s;
}

std::string to_upper(std::string s) {
    for (char& c : s) {
        c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    }
    return s;
}

bool parse_bool(const std::string& s) {
    const std::string lowered = to_lower(s);
    if (!lowered.empty() && (lowered[0] == 'f' || lowered[0] == 'n')) {
        return false;
    }
    return !(lowered.empty() || lowered == "0" || lowered == "off");
}

template <> bool from_string<bool>(const std::string& s, bool& out, std::ios_base::fmtflags /*flags*/) {
    if (s == "1" || s == "true") {
        out = true;
        return true;
    }
    if (s == "0" || s == "false") {
        out = false;
        return true;
    }
    return false;
}

bool replace_substring(std::string& s, const std::string& from, const std::string& to) {
    const std::size_t pos = s.find(from);
    if (pos == std::string::npos) {
        return false;
    }
    s.replace(pos, from.size(), to);
    return true;
}

std::string format(const char* fmt, ...) {
    va_list args;
    va_start(args, fmt);
    const int size = std::vsnprintf(nullptr, 0, fmt, args);
    va_end(args);
    if (size < 0) {
        throw std::system_error(errno, std::generic_category(), "vsnprintf");
    }
    std::string result(static_cast<std::size_t>(size), '\0');
    va_start(args, fmt);
    const int written = std::vsnprintf(result.data(), result.size() + 1, fmt, args);
    va_end(args);
    if (written < 0) {
        throw std::system_error(errno, std::generic_category(), "vsnprintf");
    }
    return result;
}

std::string escape(const std::string& s) {
    std::string out;
    out.reserve(s.size());
    for (const char c : s) {
        switch (c) {
        case '\a':
            out += "\\a";
            break;
        case '\b':
            out += "\\b";
            break;
        case '\t':
            out += "\\t";
            break;
        case '\n':
            out += "\\n";
            break;
        case '\v':
            out += "\\v";
            break;
        case '\f':
            out += "\\f";
            break;
        case '\r':
            out += "\\r";
            break;
        case '"':
            out += "\\\"";
            break;
        case '\'':
            out += "\\'";
            break;
        case '\\':
            out += "\\\\";
            break;
        default:
            if (std::isprint(static_cast<unsigned char>(c))) {
                out += c;
            } else {
                out += format("\\x%02x", static_cast<unsigned>(static_cast<unsigned char>(c)));
            }
        }
    }
    return out;
}

} // namespace zelu::util
