// The forwarding mechanism of the gateway: a request becomes one XML command
// for one daemon, described by a constant row (fwd_command) instead of code.
//
// Walking a row (forward_run):
//   1. required parameters: each name in `required` must be present; a
//      missing one reports "some parameters are not specified", or ends the
//      handler without output when `on_missing` is fwd_missing::silent;
//   2. route: the socket is `socket` (fwd_route::fixed) or found by a lookup
//      (module, element, ...) that also asks the user's module or element
//      access; a lookup writes its own refusal ("access error", "module is
//      not founded", or nothing) and the row stops;
//   3. the command is composed in command_buffer: `opening`, in which each
//      "%s" is replaced, in order, by the values named in `open_args`; then
//      for every attribute of `attrs` whose parameter the request holds,
//      ` name="value"` in the attribute's form; then `close`;
//   4. delivery: streamed to standard output, exchanged and printed, or
//      exchanged only (see fwd_delivery).
// A plain or decoded value (and every opening value) is written unchanged
// except that '"' becomes &quot;, '<' becomes &lt; and a bare '&' &amp;, so
// that no request value can end its attribute, open an element of its own
// or make the daemon refuse the command. A command that
// does not fit the command area is refused with "command is too long" and
// nothing is sent.
//
// Adding a command family (engine/cmd_FAMILY.cpp):
//   - define each command as a row with external linkage, for example
//       static constexpr fwd_attr delmail_attrs[] = {};
//       extern const fwd_command notify_delmail = {
//           .required = {"id"},
//           .opening = "<delmail id=\"%s\" />",
//           .open_args = {fwd_arg::param("id")},
//           .socket = SOCKET_HERALDD,
//       };
//     (rows whose opening is the whole command leave attrs empty and close
//     null);
//   - a querytype whose behaviour is more than one row (a choice between
//     rows, several commands, a reply of its own) gets a handler of the one
//     signature qt_handler, built from forward_compose / forward_deliver /
//     forward_run and the reply helpers below;
//   - declare the rows and handlers in engine/families.h (one line each;
//     that header only ever grows);
//   - add the querytype's line to the table in engine/querytypes.cpp, in
//     its place among the 83 rows:
//       {"delmail", SEC_NOTIFY, LEVEL_WRITE, forward_handler, &notify_delmail},
//     or, for a handler of its own:
//       {"send_sms_message", SEC_NOTIFY, LEVEL_WRITE, notify_send_sms, nullptr,
//        SEC_GSM, LEVEL_WRITE},
//   No other file changes: engine/CMakeLists.txt picks up every engine/*.cpp.
#pragma once
#include <cstddef>
#include <span>
#include <string>
#include <string_view>

#include "zun_text.h"
#include "zundb.h"   // REGISTRYD_SOCKET
#include "zunlog.h"  // CHRONICLED_SOCKET

// Sockets of the daemons the gateway talks to (paths as written; the socket
// client maps them under the root).
inline constexpr const char *SOCKET_REGISTRYD = REGISTRYD_SOCKET;
inline constexpr const char *SOCKET_CHRONICLED = CHRONICLED_SOCKET;
inline constexpr const char *SOCKET_STEWARDD = "/tmp/stewardd.socket";
inline constexpr const char *SOCKET_HERALDD = "/tmp/heraldd.socket";
inline constexpr const char *SOCKET_WARDERD = "/tmp/warderd.socket";
inline constexpr const char *SOCKET_PHANTOMD = "/tmp/phantomd.socket";
inline constexpr const char *SOCKET_CELLULARD = "/tmp/cellulard.socket";
inline constexpr const char *SOCKET_BASEIOD = "/tmp/baseiod.socket";
inline constexpr const char *SOCKET_MAINSD = "/tmp/mainsd.socket";
inline constexpr const char *SOCKET_OPTICD = "/tmp/opticd.socket";
inline constexpr const char *SOCKET_BUSSTATE = "/tmp/busstate.socket";

// command_buffer: one 65,536-byte area for the whole process. Commands are
// composed in, and replies received into, its first COMMAND_AREA bytes; the
// last ESCAPE_AREA bytes receive the XML-escaped form of one value at a time.
inline constexpr size_t COMMAND_BUFFER_SIZE = 65536;
inline constexpr size_t COMMAND_AREA = 32768;
inline constexpr size_t ESCAPE_AREA = COMMAND_BUFFER_SIZE - COMMAND_AREA;
extern char command_buffer[COMMAND_BUFFER_SIZE];
inline char *escape_area() { return command_buffer + COMMAND_AREA; }

// The reply texts of the handlers, each in one place.
inline constexpr const char *TXT_NO_ERROR = "no error";
inline constexpr const char *TXT_MISSING = "some parameters are not specified";
inline constexpr const char *TXT_NOT_LOADED = "module is not loaded";
inline constexpr const char *TXT_NOT_FOUNDED = "module is not founded";
inline constexpr const char *TXT_ACCESS = "access error";
inline constexpr const char *TXT_TOO_LONG = "command is too long";
inline constexpr const char *TXT_BAD_VALUE = "invalid parameter value";

// How a parameter value is written into a command.
enum class fwd_form : unsigned char {
  plain,    // as parsed
  decoded,  // url_decode'd once more, in place (d)
  escaped,  // decoded once more, then XML-escaped (e)
  escaped_if_func_addmail,  // escaped when `func` equals "addmail" (any case), else plain
};

struct fwd_attr {
  const char *name;  // parameter name (matched without case) and attribute name (as written)
  fwd_form form = fwd_form::plain;
};

// A value put into the opening text in place of a "%s".
struct fwd_arg {
  enum class kind : unsigned char { none, session_key, param } what = kind::none;
  const char *name = nullptr;  // parameter name for kind::param (absent: "")
  static constexpr fwd_arg key() { return {kind::session_key, nullptr}; }
  static constexpr fwd_arg param(const char *n) { return {kind::param, n}; }
};

// Where the command goes.
enum class fwd_route : unsigned char {
  fixed,           // `socket`
  module_lookup,   // module right for decimal `id` ("access error"), then the
                   // module's socket ("module is not founded" when unknown)
  module_lookup_or_fallback,  // as module_lookup, but an unknown module goes to `socket`
  element_lookup,  // module of `id` asked from registryd, element right
                   // ("access error"), then the element's socket (unknown: no output)
  element_socket,  // the element's socket, no right asked (unknown: no output)
};

enum class fwd_delivery : unsigned char {
  streamed,           // reply copied to standard output; failure: "module is not loaded"
  streamed_quiet,     // the same, a failure reports nothing
  exchanged_printed,  // exchanged; failure: "module is not loaded"; success: reply printed
  exchanged_only,     // exchanged; nothing shown either way
};

enum class fwd_missing : unsigned char { report, silent };

inline constexpr size_t FWD_MAX_REQUIRED = 3;
inline constexpr size_t FWD_MAX_OPEN_ARGS = 3;
inline constexpr size_t FWD_MAX_SECRETS = 3;
// secret_section of a row that describes the item `id` names: the section
// that changing that item takes (elements, or the one the item maps to:
// notify for a notifier, cameras for a camera, ...).
inline constexpr int FWD_SECTION_OF_ITEM = -2;

// One command of a family: data only.
struct fwd_command {
  const char *required[FWD_MAX_REQUIRED] = {};
  fwd_missing on_missing = fwd_missing::report;
  const char *opening = "";
  fwd_arg open_args[FWD_MAX_OPEN_ARGS] = {};
  std::span<const fwd_attr> attrs = {};
  const char *close = nullptr;  // null: the opening is the whole command
  fwd_route route = fwd_route::fixed;
  const char *socket = nullptr;  // fixed socket, or the fallback
  fwd_delivery delivery = fwd_delivery::streamed;
  // Parameters whose values a daemon puts into a shell command line: a
  // present value holding any character but letters, digits, blank and
  // . _ - : / @ = , + % is refused in step 1 with "invalid parameter value"
  // and nothing is sent ('%' has no meaning to a shell; percent-encoded
  // locations need it).
  const char *shell_args[FWD_MAX_REQUIRED] = {};
  // Attributes of the reply that hold secrets (passwords, the write
  // community). A session that may not write `secret_section` gets them
  // with empty values: what only a writer may change, only a writer sees.
  // The reply is then taken whole before it is shown.
  const char *secrets[FWD_MAX_SECRETS] = {};
  int secret_section = 0;
};

// The one signature of every querytype handler. `cmd` is the row the
// querytype line names (null for handlers that need none).
using qt_handler = int (*)(const fwd_command *cmd);

// Walks the whole row (steps 1 to 4 above). 0 when the command was
// delivered, -1 otherwise (the reply, if any, has been written).
int forward_run(const fwd_command *cmd);

// qt_handler for querytype lines that are exactly one row.
int forward_handler(const fwd_command *cmd);

// Step 1 alone: 0 when every required parameter is present and every value
// named in shell_args is safe for a shell; otherwise the row's reply has
// been written and -1 is returned.
int forward_require(const fwd_command &cmd);

// Step 2 alone: the socket the row's command goes to, into path (size
// bytes). 0 when found; -1 when the route stopped the row (its reply, if
// any, has been written). Uses command_buffer for the element lookup.
int forward_route(const fwd_command &cmd, char *path, size_t size);

// Step 3 alone: composes the row's command in command_buffer. 0 on success;
// -1 when it would not fit ("command is too long" has been written).
int forward_compose(const fwd_command &cmd);

// Step 4 alone: delivers the text in command_buffer to `socket`. 0 when
// delivered, -1 otherwise (with the reply the delivery calls for).
int forward_deliver(const char *socket, fwd_delivery delivery);

// The reply text with the values of the attributes named in `names` (the
// first `count`, null ones skipped) emptied, in every element of the text;
// all else unchanged.
std::string forward_hide_attrs(std::string_view reply, const char *const *names, size_t count);

// Appends ` name="value"` for one parameter in the given form to a command
// being composed (used by forward_compose and by records that reuse the
// attribute forms, like the change record of updateelement). False when
// the text no longer fits.
bool forward_append_attr(BoundedText &out, const fwd_attr &attr);

// Appends a value for a double-quoted attribute: '"' as &quot;, '<' as &lt;,
// an '&' that does not begin an entity reference as &amp; (a value that
// already holds entities keeps them), everything else unchanged.
bool forward_append_value(BoundedText &out, const char *value);

// True when a value may stand in a shell command line as it is: letters,
// digits, blank and . _ - : / @ = , + % only (the empty text is safe).
bool forward_shell_safe(const char *value);

// Reads a number with base detection (0x hexadecimal, 0 octal, else
// decimal), as settime reads `time`: 64 bits on every architecture, so that
// a time past 2038 reads whole on the board too.
long long forward_number_auto(const char *text);
// Reads leading decimal digits (none: 0), clamped to the int range.
int forward_number_dec(const char *text);

// Reads the request's `id` as every step of a request reads it (rights
// check, section remapping, access lists, module and element lookups, the
// account commands): base detection (0x hexadecimal, 0 octal, else decimal)
// after optional blanks, anything after the number ignored. No number, or
// one outside 0 to 2^31-1, reads as -1 (no item), never as another id.
int forward_read_id(const char *text);

// Writes a text that a reply carries inside a double-quoted attribute to
// standard output: '"', '<' and '&' as entities, everything else unchanged.
void print_attr_text(const char *text);

// Replies through error_printstr with the texts above.
int reply_text(const char *text);  // returns -1, so handlers can `return reply_text(...)`
