// The control socket (CONTROL_SOCKET): `zetctl scan` asks the running zet to sweep files already on disk,
// through the same road as written files, and gets every finding and the progress back. Root only.
//
// The protocol, one line each way, texts escaped as on the scan service's wire (zelu::wire::escape):
//   zetctl: "SWEEP[ NOMOVE][ PATH]...\n" (no path: every monitored tree), later perhaps "STOP\n"
//   zet:    "PROGRESS walked scanned infected unscanned walk_done\n" (at most 4 a second),
//           "FOUND path\tvault-or--\tfinding\n", "UNSCANNED path\treason\n",
//           "DONE walked scanned infected unscanned stopped\n" (then it closes), or "ERROR text\n".
#pragma once

#include "src/av.hpp"

#include <cstdint>

class Config;

// The last sweep's counts and times, in the run directory: "name value" lines, read by zetctl status.
inline constexpr const char* SWEEP_FILE_NAME = "zet.sweep";

// Listens on CONTROL_SOCKET (mode 0600) when it is set; `config` is kept and read until the process ends.
// Call after the pool runs. 0, also when the key is absent; -1 after a warning (zet runs without it).
int control_start(const Config& config);

// Removes the socket.
void control_stop();

// Whether the files of sweep `sweep_id` go to the vault when infected (not when zetctl asked --no-move).
bool control_sweep_moves(std::uint64_t sweep_id);

// The result of one file of sweep `sweep_id`, from the worker that scanned it: `vault` is the vault name or
// null, `reason` why the file could not be scanned; AV_UNSCANNABLE with a null `reason`: the file left the
// trees before its turn (removed, quarantined by a live scan, moved out), counted neither way. Never waits.
void control_sweep_result(std::uint64_t sweep_id, const char* path, av_verdict verdict,
                          const infection* findings, const char* vault, const char* reason);
