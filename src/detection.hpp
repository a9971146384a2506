// What happens to a detection besides the vault and the infection log: a syslog line, a JSON record and
// the alert command, each only when its setting asks for it.
#pragma once

#include "src/actor.hpp"

#include <cstdint>
#include <ctime>
#include <string>

class Config;
struct infection;

// Opens the JSON log and starts the alert runners as `config` asks. Call once on the main thread after
// the change into RUN_DIR, with the stop signals blocked. Failures are logged; the daemon runs on without
// the part that failed.
void detection_init(const Config& config);

// Who caused a detection: the process that wrote the file ("writer") or opened it ("opener"); no role for
// a file that a sweep or a catch-up walk found.
struct detection_cause {
    const char* role = nullptr;
    actor who;
};

// Reports one infected file after the infection log lines: `vault` is the vault name or null when the move
// failed, `sock` the worker's scan-service connection (asked for the signature version for the JSON log),
// `when` the time of the log lines, `cause` who did it (in the syslog line, the JSON record and the alert's
// environment; the infection log never names it), `vps` the signature version when the caller knows it
// (0: asked on `sock` for the JSON record).
void detection_report(int* sock, const char* path, const char* vault, const infection* list, time_t when,
                      const detection_cause& cause = {}, std::uint32_t vps = 0);
