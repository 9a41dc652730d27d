// The daemon frame: command line, log target, single-instance lock file, the
// SNMP agent role and loop, the request server on the daemon's UNIX socket,
// tag-table dispatch, settings replay and save. A daemon plugs in with one
// constant record (daemon_def) and calls daemon_main from its main().
//
// Start and stop, in this order (daemon_main):
//   options, log target, agent role, background, lock file check/creation,
//   init_agent, start-up (def.startup, server thread), master
//   set-up (-m), init_snmp, signals, "%s is up and running.\n", agent loop;
//   on SIGTERM/SIGINT: lock file removed, shutdown (server thread stopped and
//   joined, def.shutdown), "%s stop.\n", snmp_shutdown.
//
// Linking: file_settings and daemon_socket must be visible as data symbols of
// the daemon executable. Build the executable with
//   set_target_properties(<exe> PROPERTIES ENABLE_EXPORTS ON)
// (or link option -rdynamic) and link it against `zundaemon`.
//
// Threads: the main thread runs the SNMP agent loop; one server thread runs
// every socket command, one after the other. Threads the daemon starts from
// def.startup inherit SIGTERM and SIGINT blocked, so those signals always
// reach the main thread's agent loop. A program started from such a thread
// (system, popen, posix_spawn) inherits that mask across exec: unblock both
// signals in the child (posix_spawnattr_setsigmask with an empty set), or
// the child cannot be stopped with SIGTERM.
//
// Choices made where the plain sequence would be unsafe:
// - save never loses the old file: a temporary file beside it, synced, and
//   renamed over it only when every saver, every write, the sync and the
//   close succeeded. The new file keeps the old one's mode, owner and group,
//   and a settings path that is a link keeps pointing at the saved file. A
//   temporary file left by a save cut short (kill, power loss) is removed at
//   the next start, once the lock file is ours.
// - The server thread is joinable and stopped cooperatively (udsserver_stop
//   wakes its accept loop): a command in progress finishes, nothing is
//   cancelled while it holds a lock, and nothing it uses is freed before it
//   has ended.
// - The stop signal also writes to a pipe watched by the agent loop, so a
//   signal that arrives just before the loop waits still ends it.
// - A lock file holding this process's own id counts as stale.
// - -l registers a syslog writer with the SNMP library's callback log.
#pragma once
#include <cstddef>
#include <string_view>

#include "xmlhelpers.h"
#include "zun_lock.h"

extern "C" {
// Path of the settings file, ready to open: the daemon's default settings
// file mapped under APPLIANCE_ROOT, or the -f argument exactly as given. Do
// not map it again. Set before def.startup runs; never changes afterwards.
extern const char *file_settings;
// The daemon's socket path as written (e.g. "/tmp/warderd.socket"), not
// mapped: it goes into the modules and elements the daemon registers, and the
// receivers map it. The request server maps it when it binds.
extern const char *daemon_socket;
}

// A saver writes its part of the settings file through the save channel
// (ch->write(ch->write_ctx, text, len) per line) and returns 0, or non-zero
// when it failed (the save is then refused and the old file kept).
typedef int (*daemon_saver)(xml_channel *ch);

// Usage texts of the daemons (one %s for argv[0]): daemon_usage for a daemon
// with the option string "hmblf:", daemon_usage_hostname for "hmblf:H:".
// The log switch is listed as "-s | --syslog"; its short letter is l.
#define DAEMON_USAGE_TEXT                                  \
  "Usage: %s [options]\n\nOptions:\n"                      \
  "-h | --help           print this message\n"             \
  "-m | --master         switch to a SNMP master agent mode\n" \
  "-b | --background     run in the background\n"          \
  "-s | --syslog         use syslog\n"                     \
  "-f | --settings-file  gauged file settings\n"
inline constexpr const char *daemon_usage = DAEMON_USAGE_TEXT;
inline constexpr const char *daemon_usage_hostname =
    DAEMON_USAGE_TEXT "-H | --hostname       monitoring system hostname\n";

// The daemon's plug-in record. All pointers are to constant, process-wide
// data; optional members may be null.
struct daemon_def {
  const char *name;           // program name: SNMP application name, log lines
  const char *lock_file;      // "/tmp/NAME.lock" (mapped under APPLIANCE_ROOT)
  const char *socket_path;    // "/tmp/NAME.socket" (becomes daemon_socket)
  const char *settings_file;  // default settings file, "/mnt/jffs/etc/NAME.xml"
  const char *optstring;      // "hmblf:" or "hmblf:H:" (H: adds --hostname)
  const char *usage;          // usage text, one %s for argv[0]
  const xml_tag_table *tags;  // the request tag table (the replay's too, see settings_tags)

  // Options the frame does not know (e.g. 'H'): called with the option letter
  // and its argument (null when it has none); 0 accepted, non-zero refused
  // (usage on standard error, status 1). Optional.
  int (*option)(int opt, const char *arg);

  // The daemon's own start-up, run before the server thread starts (lists,
  // settings replay with daemon_replay_settings, database, reader threads).
  // Its result is passed on but never stops the daemon. Optional.
  int (*startup)(void);
  // The daemon's own clean-up, run after the server thread has ended (stop
  // readers, free lists, close the database). Optional.
  int (*shutdown)(void);

  // Savers run by the save command, in this order, between "<settings>\n" and
  // "</settings>\n".
  const daemon_saver *savers;
  size_t saver_count;

  // The tag table of the settings replay; null: the request table (tags).
  // A daemon whose settings file should only describe its state names the
  // tags of its settings lines alone, so that no line of a restored file
  // acts (sends, saves) at every start.
  const xml_tag_table *settings_tags = nullptr;
};

// Runs the daemon described by def; returns the process exit status (0 after
// a clean stop, 1 for usage errors and start-up failures; -h exits 0).
// Call it as `return daemon_main(def, argc, argv);` from main().
int daemon_main(const daemon_def &def, int argc, char **argv);

// The daemon's command lock, held for a scope with
// ZunLock hold(daemon_command_lock()); valid for the whole process. Never hold
// it across a socket write that could wait on a client, and never take the
// reader lock while holding it.
ZunMutex &daemon_command_lock(void);

// 1 when running as the SNMP master agent (-m), 0 as an AgentX subagent.
int daemon_is_master(void);

// Replays file_settings through def.settings_tags (def.tags when that is
// null), a line at a time (the savers write one element per line): every
// element whose name is a tag of that table runs its handler as a client
// command would, with the reply discarded; other elements (the root,
// grouping elements, each start or end tag on a line of its own) run
// nothing. A line that is not well-formed is left out with a log entry; the
// lines after it still load. Returns 0, the first non-zero result of a line
// (a handler's, or the parser's for a malformed line), or -1 when the file
// cannot be opened (nothing happens). Call it from def.startup when the
// daemon keeps its settings that way.
int daemon_replay_settings(void);

// True for the channel of the settings replay, whose replies go nowhere: a
// handler that would refuse a whole command may keep what it can of a line.
bool daemon_is_replay(const xml_channel *ch);

// Writes text through the channel (no close). Returns the write's result.
ssize_t daemon_write(xml_channel *ch, std::string_view text);
// Writes text as the whole reply and closes the channel; returns 0.
int daemon_reply(xml_channel *ch, std::string_view text);

// Shared command handlers, for the daemon's tag table:
//   { "test", daemon_cmd_test, nullptr }, { "save", daemon_cmd_save, nullptr },
//   { "getmodule", daemon_cmd_getmodule, nullptr },
//   { "updatemodule", daemon_cmd_updatemodule, nullptr }

// <test />  ->  <error type='Test ok' />
int daemon_cmd_test(xml_channel *ch, const char **attrs);
// <updatemodule ... />  ->  <error type='no custom parameters' />
int daemon_cmd_updatemodule(xml_channel *ch, const char **attrs);
// <getmodule id="ID" [shortcut="S"] />  ->  registryd's answer, verbatim;
// <error type='wrong parameters' /> without id (-1);
// <error type='module is not loaded' /> when registryd does not answer (-1).
int daemon_cmd_getmodule(xml_channel *ch, const char **attrs);
// <save />  ->  writes "<settings>\n", every saver, "</settings>\n" into a
// temporary file beside file_settings, syncs it and renames it over
// file_settings only when every saver, the sync and the close succeeded:
// <error type='no error' />; otherwise <error type='fail save' /> and the old
// file untouched; <error type='fail opening the file' /> when the temporary
// file cannot be created. Returns the savers' results OR-ed with the close's.
int daemon_cmd_save(xml_channel *ch, const char **attrs);
