// The state file of the catch-up after downtime (STATE_FILE): the time up to which zet handled every event,
// and what the catch-up of the run that wrote it did. Written by the daemon, read by it at start and by
// zetctl status.
#pragma once

#include <cstdint>
#include <ctime>
#include <string>
#include <string_view>

// What the catch-up after downtime of the run that wrote the file did, or why it had none.
enum catchup_phase : std::uint8_t {
    CATCHUP_FIRST_START, // there was no state file at start: nothing to catch up from
    CATCHUP_SKIPPED,     // the state file at start could not be read (said in zet's log): no walk
    CATCHUP_WALKING,     // walking the trees for files changed since `catchup_since`
    CATCHUP_DONE,        // walked: `catchup_queued` files queued, the walk ended at `catchup_finished`
};
// The spellings in the file, by value.
inline constexpr const char* CATCHUP_PHASE_NAMES[] = {"first-start", "skipped", "walking", "done", nullptr};

// One state file. Times are CLOCK_REALTIME, written as seconds.nanoseconds since the epoch.
struct zet_state {
    timespec handled_until = {0, 0}; // the scan of every file whose event came before it had ended
    std::int64_t pid = 0;            // of the zet that wrote it
    timespec started = {0, 0};       // when that zet read its state at start
    catchup_phase catchup = CATCHUP_FIRST_START;
    timespec catchup_since = {0, 0};  // CATCHUP_WALKING, CATCHUP_DONE
    std::uint64_t catchup_queued = 0; // CATCHUP_DONE
    timespec catchup_finished = {0, 0};
};

// The text of the file: one "name value" line per field, handled_until first.
std::string state_format(const zet_state& state);

// Reads the text of a state file into `*state` by name: lines with other names are skipped, so that a newer
// zet may add fields. False when handled_until is missing, a line has no value or a known field a bad one.
bool state_parse(std::string_view text, zet_state* state);

enum state_read_result {
    STATE_READ,    // `*state` holds the file
    STATE_ABSENT,  // no file at the path
    STATE_FAILED,  // open() or read() failed: `*call` names it, errno tells why
    STATE_GARBAGE, // read, but not a state file (or larger than one can be)
};
state_read_result state_read(const char* path, zet_state* state, const char** call);

// Replaces the file at `path` atomically: "<path>.tmp" beside it (mode 0600), written and synced, renamed
// over it, then the directory synced, so that a crash leaves the old file or the new one. 0; -1 when a
// step failed (a LOG_WARNING naming the call and the path when `report`).
int state_write(const char* path, const zet_state& state, bool report);
