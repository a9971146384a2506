// The keys of the configuration file's global part as one table: how each value is read into Config,
// what a bad one is called, and how zetctl check-config shows it. A new key is one row (and its field).
#pragma once

#include "src/config.hpp"

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>

namespace zelu::ini {
struct Item;
}

// How a key's value is read.
enum config_kind : std::uint8_t {
    KEY_TEXT,   // any text, as written
    KEY_PATH,   // an absolute path, or empty for none
    KEY_INT,    // an integer literal from `min` to `max`
    KEY_BOOL,   // a boolean literal or an integer literal (any but 0 is on); stored as 1 or 0
    KEY_SIZE,   // "0", or bytes with an optional K, M or G (binary multiples) up to `max`
    KEY_CHOICE, // one of `choices`, stored as its position
};

struct config_key {
    const char* name; // as written in the file; names are case-sensitive
    config_kind kind;
    std::string Config::*text = nullptr;    // KEY_TEXT, KEY_PATH
    std::int32_t Config::*number = nullptr; // KEY_INT, KEY_BOOL, KEY_CHOICE
    std::int64_t Config::*size = nullptr;   // KEY_SIZE
    bool Config::*given = nullptr;          // set once the key is read with a good value
    std::int64_t min = 0, max = 0;          // KEY_INT; KEY_SIZE uses `max` only
    const char* const* choices = nullptr;   // KEY_CHOICE: the spellings, ended by nullptr
    // The start of the message for a bad value ("invalid scanner count, expected an integer from 1 to
    // 1024"); not for KEY_BOOL, whose message is common to all, nor for KEY_TEXT, which never fails.
    const char* invalid = nullptr;
    // check-config: what an empty text or a size of 0 shows, and the unit after any other size.
    const char* none = nullptr;
    const char* unit = nullptr;
    // check-config: the shown value where the kind's own form does not say enough; nothing leaves the
    // line out.
    std::optional<std::string> (*show)(const Config&) = nullptr;
};

// Every key of the global part, in the order check-config shows them.
std::span<const config_key> config_keys();

// The row for the key `name`; nullptr for a key zet does not know.
const config_key* config_key_named(std::string_view name);

// Takes the value of `item` (a key/value item of the global part) into `config` as `key` says, and sets its
// `given` flag. False after a LOG_ERR message with `file`, the key and the value; the field and the flag
// then keep what they held.
bool config_key_read(Config& config, const config_key& key, const zelu::ini::Item& item, const char* file);

// The value of `key` in `config` as check-config shows it, before the escaping of its output; nothing
// when the line is left out.
std::optional<std::string> config_key_value(const Config& config, const config_key& key);
