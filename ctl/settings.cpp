// Reading zet's configuration for the tool's commands.
#include "ctl/settings.hpp"

#include "zelu/ini_parser.hpp"

#include <sys/stat.h>
#include <syslog.h>
#include <unistd.h>

#include <cstdlib>

namespace ctl {

namespace {

struct PreScan {
    std::string vault;           // the VAULT value the reader will use (the last one before any section)
    std::vector<Message> silent; // refusals the reader does not explain
};

// Looks ahead at what the reader cannot tell: whether the vault exists before it creates it, and the empty
// SCAN and EXCL values it refuses without a message. Parse errors are left to the reader.
PreScan pre_scan(const char* file, const std::string& vault) {
    PreScan out{vault, {}};
    if (file == nullptr)
        return out;
    LogCapture quiet;
    zelu::ini::parse_file(
        file,
        [&out, file](const zelu::ini::Item& item) {
            if (item.section.empty() && item.key == "VAULT")
                out.vault = item.value;
            if (item.section == "MONITORS" && (item.key == "SCAN" || item.key == "EXCL") &&
                item.value.empty())
                out.silent.push_back(
                    {LOG_ERR, std::string(file) + ": [MONITORS] " + item.key + " with an empty path"});
        },
        [](zelu::ini::ErrorCode, std::string, std::string) {}, 0);
    return out;
}

} // namespace

std::string Settings::in_run_dir(const std::string& path) const {
    if (path.empty() || path.front() == '/')
        return path;
    return config->run_dir + "/" + path;
}

Settings load_settings(const std::string& file) {
    Settings s;
    s.file = file;
    LogCapture capture;

    char* canonical = realpath(file.c_str(), nullptr);
    s.file_found = canonical != nullptr;
    if (!s.file_found) {
        // zet's own start-up warnings, so the check shows what zet would log.
        syslog(LOG_WARNING, "realpath(): %s: %m", file.c_str());
        syslog(LOG_WARNING, "Configuration file not available. Using default settings.");
    }

    PreScan pre = pre_scan(canonical, s.config->vault);
    const std::string& vault = pre.vault;
    struct stat st;
    bool vault_existed = vault.empty() || lstat(vault.c_str(), &st) == 0;

    s.accepted = s.config->read_from_file(canonical);
    free(canonical);

    if (!vault_existed && lstat(vault.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) {
        // Only the empty directory the reader has just made; zet makes its own at start-up.
        s.vault_missing = true;
        rmdir(vault.c_str());
    } else if (!vault_existed) {
        s.vault_missing = true;
    }
    s.messages = capture.take();
    if (!s.accepted)
        s.messages.insert(s.messages.end(), pre.silent.begin(), pre.silent.end());
    return s;
}

std::vector<std::string> list_paths(const monitor* list) {
    std::vector<std::string> out;
    for (const monitor* m = list; m != nullptr; m = m->next)
        out.emplace_back(m->path);
    return out;
}

} // namespace ctl
