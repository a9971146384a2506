// zet's configuration as the tool sees it: read with the daemon's own reader, without leaving a vault
// behind that only the check created, and with the paths resolved where the daemon opens them.
#pragma once

#include "ctl/capture.hpp"
#include "src/config.hpp"
#include "src/facts.hpp"

#include <memory>
#include <string>
#include <vector>

namespace ctl {

using ::DEFAULT_CONFIG_FILE;
using ::EXIT_CONFIG;

struct Settings {
    std::unique_ptr<Config> config = std::make_unique<Config>();
    std::string file;              // as given
    bool file_found = false;       // false: zet would start with the built-in defaults
    bool accepted = false;         // the reader returned true: zet gets past reading its configuration
    bool vault_missing = false;    // zet would create the vault at start-up; the check removed its own
    std::vector<Message> messages; // everything the reader reported, in order

    // Paths the daemon opens after changing into RUN_DIR: the infection log, the socket, the vault names
    // of quarantined files and the PID file. Relative ones are taken below RUN_DIR.
    std::string in_run_dir(const std::string& path) const;
    std::string log_file() const { return in_run_dir(config->log_file); }
    std::string socket() const { return in_run_dir(config->socket); }
    std::string vault() const { return in_run_dir(config->vault); }
    std::string pid_file() const { return in_run_dir(PID_FILE_NAME); }
};

// Reads `file` as zet's start-up does: a file that cannot be resolved leaves the defaults (with zet's two
// warnings), then Config::read_from_file. A vault that did not exist before is removed again when the
// reader created it, so a check changes nothing on disk.
Settings load_settings(const std::string& file);

// The paths of a configuration list in the order zet walks it.
std::vector<std::string> list_paths(const monitor* list);

} // namespace ctl
