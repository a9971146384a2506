// JSON string escaping, UTF-8 validation and local times.
#include "src/text.hpp"

#include "src/facts.hpp"

#include <ctime>

namespace {

// Room for either form of local_time.
constexpr std::size_t TIME_BUF_SIZE = 32;

// Length of the valid UTF-8 sequence at `s` (at most `left` bytes), or 0 when the byte there starts none:
// no overlong forms, no surrogates, nothing above U+10FFFF.
std::size_t utf8_length(const unsigned char* s, std::size_t left) {
    const unsigned char c = s[0];
    std::size_t len;
    unsigned char lo = 0x80, hi = 0xBF; // allowed range of the second byte
    if (c >= 0xC2 && c <= 0xDF) {
        len = 2;
    } else if (c >= 0xE0 && c <= 0xEF) {
        len = 3;
        if (c == 0xE0)
            lo = 0xA0;
        else if (c == 0xED)
            hi = 0x9F;
    } else if (c >= 0xF0 && c <= 0xF4) {
        len = 4;
        if (c == 0xF0)
            lo = 0x90;
        else if (c == 0xF4)
            hi = 0x8F;
    } else {
        return 0;
    }
    if (left < len || s[1] < lo || s[1] > hi)
        return 0;
    for (std::size_t i = 2; i < len; i++)
        if (s[i] < 0x80 || s[i] > 0xBF)
            return 0;
    return len;
}

} // namespace

void json_escape(std::string& out, const char* text, std::size_t len) {
    static const char hex[] = "0123456789abcdef";
    const auto* s = reinterpret_cast<const unsigned char*>(text);
    for (std::size_t i = 0; i < len;) {
        const unsigned char c = s[i];
        if (c == '"' || c == '\\') {
            out += '\\';
            out += static_cast<char>(c);
            i++;
        } else if (c < 0x20 || c == 0x7F) {
            out += "\\u00";
            out += hex[c >> 4];
            out += hex[c & 0xF];
            i++;
        } else if (c < 0x80) {
            out += static_cast<char>(c);
            i++;
        } else if (std::size_t n = utf8_length(s + i, len - i); n != 0) {
            out.append(text + i, n);
            i += n;
        } else {
            out += "\\udc";
            out += hex[c >> 4];
            out += hex[c & 0xF];
            i++;
        }
    }
}

std::string json_escaped(std::string_view text) {
    std::string out;
    json_escape(out, text.data(), text.size());
    return out;
}

std::string json_quoted(std::string_view text) {
    std::string out = "\"";
    json_escape(out, text.data(), text.size());
    out += '"';
    return out;
}

std::optional<std::string> local_time(std::int64_t when, time_form form) {
    const time_t t = static_cast<time_t>(when);
    // localtime_r: workers format times concurrently, and localtime's static result would be shared.
    struct tm local;
    char buf[TIME_BUF_SIZE];
    if (localtime_r(&t, &local) == nullptr ||
        strftime(buf, sizeof buf, form == TIME_RFC3339 ? "%Y-%m-%dT%H:%M:%S%z" : LOG_TIME_FORMAT, &local) ==
            0)
        return std::nullopt;
    const std::string_view out = buf;
    // "%z" gives "+0100"; RFC 3339 wants "+01:00".
    if (form == TIME_RFC3339 && out.size() >= 2)
        return std::string(out.substr(0, out.size() - 2)) + ":" + std::string(out.substr(out.size() - 2));
    return std::string(out);
}
