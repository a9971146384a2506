// Output for people and for scripts: paths shown on one line whatever bytes they hold, and a small JSON
// writer whose strings follow zet's JSON log (src/text).
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace ctl {

// `s` with backslashes and control bytes (tab, newline, ...) written as C escapes, so that every path
// stays on its line and in its column; other bytes, UTF-8 included, pass unchanged.
std::string shown(std::string_view s);

// Builds one JSON document; the calls must nest correctly.
class Json {
public:
    Json& begin_object();
    Json& end_object();
    Json& begin_array();
    Json& end_array();
    Json& key(std::string_view name);
    Json& value(std::string_view s);
    Json& value(const char* s) { return value(std::string_view(s)); }
    Json& value(const std::string& s) { return value(std::string_view(s)); }
    Json& value(std::int64_t n);
    // Three decimals; a value that JSON cannot hold (infinite, NaN) is written as null.
    Json& value(double x);
    Json& value(bool b);
    Json& null();
    // The document with a final newline.
    std::string str() const { return out_ + "\n"; }

private:
    void separate();
    std::string out_;
    std::vector<bool> first_; // per open container: nothing written into it yet
    bool after_key_ = false;
};

} // namespace ctl
