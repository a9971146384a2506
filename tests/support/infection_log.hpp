// Reading the daemon's infection log: one line per finding, "time TAB path TAB vault file or ERROR TAB
// finding". Its columns are not quoted, so a tab in a name adds a column and a line feed splits the line.
#pragma once

#include "tests/support/files.hpp"

#include <chrono>
#include <string>
#include <vector>

namespace zet_test {

// The local time column.
inline bool is_log_time(const std::string& text) {
    return like(text, "####-##-## ##:##:##");
}

// `line` (without its line feed) split at every tab.
std::vector<std::string> log_columns(const std::string& line);

// Every line of the log at `file`, split at every tab; none when it cannot be read.
std::vector<std::vector<std::string>> read_infection_log(const std::string& file);

// The columns of the first line of `file` that holds "TAB path TAB", once there is one within `timeout`;
// none when none comes.
std::vector<std::string> wait_for_log_line(const std::string& file, const std::string& path,
                                           std::chrono::milliseconds timeout = 20s);

} // namespace zet_test
