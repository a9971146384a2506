// Text that the daemon and zetctl write alike: JSON strings that keep every byte of a file name, and
// local times. The same file name or moment must read the same in zet's logs and in zetctl's output, so
// that scripts can join them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

// Appends `text` to `out` as the inside of a JSON string: '"' and '\' get a backslash, control bytes
// (0x00-0x1F, 0x7F) become \u00XX, valid UTF-8 is copied, and every byte that is not part of a valid UTF-8
// sequence becomes \udcXX, its lone low surrogate U+DC80 + byte (Python's "surrogateescape"), so that
// the original bytes come back exactly and no byte can end a line or a string early.
void json_escape(std::string& out, const char* text, std::size_t len);

// `text` escaped by json_escape: without quotes (for messages), and with them.
std::string json_escaped(std::string_view text);
std::string json_quoted(std::string_view text);

enum time_form {
    TIME_LOG,     // the infection log's "2026-12-08 15:08:50" (LOG_TIME_FORMAT)
    TIME_RFC3339, // "2026-12-08T15:08:50+01:00", with the zone's offset
};

// The Unix time `when` as local time in `form`; nothing when it cannot be converted. Safe on any thread.
std::optional<std::string> local_time(std::int64_t when, time_form form = TIME_LOG);
