// Serving connections: a thread per connection, at most a given number at once, until a signal arrives.
#pragma once

#include "scand/reloader.hpp"

namespace scand {

// Accepts on `listen_fd` and serves every connection on a thread of its own, never more than
// `max_connections` at once (further clients wait in the backlog), each command with the engine that
// `engines` holds when it starts. SIGHUP from `signal_fd` asks `engines` for a reload. Returns 0 once
// SIGINT or SIGTERM has been read and every connection has ended; -1 after logging a failure.
int serve(Reloader& engines, int listen_fd, int signal_fd, unsigned max_connections);

} // namespace scand
