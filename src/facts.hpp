// What the daemon and zetctl must agree on about the daemon's outside: its version, default paths, exit
// status for a refused configuration, PID file, and the shapes of log times and vault names.
#pragma once

#include <cstddef>

// The build sets ZET_VERSION from the project's version, for every program.
inline constexpr const char* DAEMON_VERSION = ZET_VERSION;
inline constexpr const char* DEFAULT_CONFIG_FILE = "/etc/orbis/zet.conf";
inline constexpr const char* PID_FILE_NAME = "zet.pid";
inline constexpr int EXIT_CONFIG = 13; // the configuration file could not be read or has errors
// Local times in the infection log; LOG_TIME_SIZE holds one and its terminating zero.
inline constexpr const char* LOG_TIME_FORMAT = "%Y-%m-%d %H:%M:%S";
inline constexpr std::size_t LOG_TIME_SIZE = 20;
// A vault name is the file's own name, a dot and the six characters that mkstemp chose.
inline constexpr std::size_t VAULT_SUFFIX_SIZE = 7;
