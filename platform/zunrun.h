// Running outside commands through the shell, and the shell quoting that
// keeps a text inside its own argument.
#pragma once
#include <atomic>
#include <cstddef>
#include <string>
#include <string_view>
#include <sys/types.h>

// Runs `command` with /bin/sh -c: standard input from /dev/null, standard
// output read back (a command joins its standard error with "2>&1"), in a
// process group of its own, with the default signal mask and dispositions
// (a daemon's threads block signals that a child must not inherit blocked).
// Hands the output to `piece(bytes, n)` in reads of at most `chunk` bytes, as
// it arrives. While it runs, the child's process group id is in *running
// (0 otherwise), so that zunrun_stop can end it. With a deadline (ms > 0),
// a command still running when it passes has its process group ended.
// Returns the exit status (128+signal when killed), ZUNRUN_DEADLINE when it
// was ended at its deadline, or -1 when the command could not be started.
inline constexpr int ZUNRUN_DEADLINE = -2;
int zunrun_shell(const char *command, size_t chunk, void (*piece)(void *ctx, const char *bytes, size_t n),
                 void *ctx, std::atomic<pid_t> *running, long deadline_ms = 0);

// Ends the command that zunrun_shell runs under *running, if any (SIGKILL to
// its process group).
void zunrun_stop(std::atomic<pid_t> *running);

// Shell quoting. Ordinary text comes back unchanged, so command lines keep
// their form; anything a shell would interpret arrives literally.
//
// An argument outside quotes: unchanged when it holds only letters, digits
// and . _ - + , : / @ = %; otherwise in single quotes (a single quote as
// '\''), the empty text as '' (a word that keeps its place).
std::string zunrun_arg(std::string_view text);
// Text inside a double-quoted argument: \ " $ and ` get a backslash.
std::string zunrun_in_double_quotes(std::string_view text);
// Text inside a double-quoted argument of `echo -e` (which reads backslash
// sequences itself): a backslash arrives as a backslash, the rest as above.
std::string zunrun_in_echo(std::string_view text);

// The longest prefix of `text` (whole UTF-8 characters) whose form under
// `quote` is at most `room` bytes, in that form.
std::string zunrun_fit(std::string_view text, size_t room, std::string (*quote)(std::string_view));
