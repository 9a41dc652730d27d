// What the frame's own files share: the running daemon's record and the
// frame's share of the start-up and shutdown routines.
#pragma once
#include "daemon.h"

// The record daemon_main was given (null before).
const daemon_def *frame_def(void);

// Start-up: def.startup, server thread. 0, or the first error
// (the daemon then answers no socket commands but still runs).
int frame_startup(void);
// Removes the temporary files that saves cut short (killed, power lost) left
// beside the settings file: only names of the save's own pattern, only
// regular files. Run after the lock file is taken, so that no save of this
// daemon runs at the same time.
void frame_remove_stale_saves(void);
// Shutdown: server thread stopped and joined, def.shutdown. 0, or the first
// non-zero result.
int frame_shutdown(void);
// After the master agent opened its transports: every INTEGER of a request's
// variable bindings that lies outside 32 bits reaches the handlers as 2^31
// (which they refuse), never folded into 32 bits by the library.
void frame_guard_agent_input(void);
