// The catch-up after downtime: the state file read at start, then kept up to date by a thread of its own
// while zet runs and written once more at a clean stop.
#pragma once

class Config;

// Only when `config` keeps a state file; after the marks, with the stop signals blocked. A state file that
// reads asks recovery for a catch-up walk from its handled-until time; none (a first start) asks for
// nothing; one that cannot be read is a warning, and nothing is walked. Writes the file at once, then
// starts the thread that writes it at most every DOWNTIME_WRITE_SECONDS while it changes. 0; -1 after a
// warning when the thread cannot start (the file is then written at a clean stop only).
int downtime_start(const Config& config);

// At a clean stop: writes the file a last time (when kept) and keeps the thread from writing it again.
void downtime_stop();
