// The process behind an event: who wrote a file or opened it. The kernel names it by pid, with a pidfd
// where it can; facts read from procfs count only while that pidfd shows the same process still running,
// so that a pid reused meanwhile is never named.
#pragma once

#include <sys/types.h>

#include <string>

// The process that caused an event, as the kernel named it: its pid, and a pidfd (PIDFD_NONE where the
// kernel gives none, PIDFD_GONE where it said the process had already exited).
inline constexpr int PIDFD_NONE = -1, PIDFD_GONE = -2;
struct process_ref {
    pid_t pid = 0;
    int pidfd = PIDFD_NONE;
};

// What procfs tells of a process without asking the user database: safe on the answering thread.
struct actor_ids {
    uid_t uid = 0;   // effective: the one the file system checks (smbd serves each user under it)
    std::string exe; // the executable's path, as the kernel gives it
};

// The facts a detection names. Not `known`: no process was reported, or it had exited before it could be
// asked.
struct actor {
    bool known = false;
    pid_t pid = 0;
    uid_t uid = 0;
    std::string user; // from the user database; the uid as text when it has no entry
    std::string exe;
    std::string unit; // the systemd unit or container scope of its cgroup; empty when it has none
};

// The ids of `pid` (`pidfd` -1 when the kernel gave none). False when it has exited (or was never there).
bool actor_ids_of(pid_t pid, int pidfd, actor_ids* out);

// Every fact of `by` that procfs holds (the user name is the uid's text): never waits on anything.
actor actor_describe(const process_ref& by);
// Puts the user database's name for its uid into `a`. May wait (on NSS): workers only.
void actor_name_user(actor& a);

// The unit or container of a /proc/PID/cgroup text: its last component that names a systemd unit
// (".service", ".scope"), else the path itself, empty for the root.
std::string actor_unit(const std::string& cgroup);

// The user database's name for `uid`, or the uid as text when it has none. May wait (on NSS).
std::string user_name(uid_t uid);
// A user as configurations and zetctl give one: a name from the user database, or a number. False when it
// is neither.
bool user_uid(const std::string& text, uid_t* uid);

// "pid 4242, uid 1000 (alice), /usr/bin/cp, unit ssh.service"; "unknown (exited)" for a process that
// was gone, "unknown" when none was reported.
std::string actor_text(const actor& a);
