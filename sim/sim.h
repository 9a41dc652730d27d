// appliance-sim: stand-ins for the sibling daemons of the appliance, served on
// their sockets under APPLIANCE_ROOT, and for the 1-Wire reader and GPIO tree.
//
// Each stand-in is one row of the table in main.cpp: a name (its socket is
// /tmp/NAME.socket) and a table of command handlers. One thread per stand-in
// runs the platform's socket server; every connection's command is written
// to the journal, then the stand-in's fault mode decides whether, when and
// how it is answered.
#pragma once
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace sim {

using Attrs = std::vector<std::pair<std::string, std::string>>;  // name, value in order

// One XML command as received: the root element's name and attributes
// (entities decoded), and its child elements in order.
struct Element {
  std::string name;
  Attrs attrs;

  const std::string *find(std::string_view key) const;  // null when absent
  std::string get(std::string_view key, std::string_view dflt = "") const;
  bool has(std::string_view key) const { return find(key) != nullptr; }
};

struct Command {
  Element root;
  std::vector<Element> children;
  std::string text;  // the command bytes as received
};

// Parses one command text; false when no element could be read at all (a
// well-formed start tag followed by garbage still yields the root).
bool parse_command(std::string_view text, Command *cmd);

// A command handler: fills the reply; returns 0 (the reply is always sent).
typedef int (*command_fn)(const Command &cmd, std::string &reply);

struct CommandRow {
  const char *name;
  command_fn fn;
};

struct CommandTable {
  const CommandRow *rows;
  size_t count;
  command_fn fallback;  // for names not in the table
};

template <size_t N>
constexpr CommandTable make_table(const CommandRow (&rows)[N], command_fn fallback)
{
  return {rows, N, fallback};
}

// Reply helpers.
inline constexpr const char *kNoError = "<error type=\"no error\" />";
std::string xml_escape(std::string_view text);                // attribute-safe
std::string error_reply(std::string_view text);               // <error type="TEXT" />
void append_attr(std::string &out, std::string_view name, std::string_view value);  // ` name="esc"`
int reply_no_error(const Command &cmd, std::string &reply);   // the common fallback
long parse_long(std::string_view text, long dflt);            // decimal, dflt when not a number
void attrs_set(Attrs &list, const std::string &k, const std::string &v);  // replaced in place, else added

// The command tables of the stand-ins (one file each).
extern const CommandTable registryd_table;
extern const CommandTable stewardd_table;
extern const CommandTable chronicled_table;
extern const CommandTable cellulard_table;
extern const CommandTable phantomd_table;
extern const CommandTable opticd_table;
extern const CommandTable baseiod_table;
extern const CommandTable mainsd_table;
extern const CommandTable busstate_table;

// registryd's database, seeded from $APPLIANCE_ROOT/etc/registry.xml.
// Returns the number of items read, negative when the file is malformed.
int registry_seed(const std::string &path);

// The elements that the other stand-ins serve (outputs, cameras, virtual
// devices) live in registryd's table, as the real daemons keep the element
// database told; these calls are how they change it. Address attributes
// (id, element, k) in attrs are skipped; name, state and value set the
// element's fields (an output's value switches it), the rest its settings.
//
// Changes element id: 0, or -1 when there is no such element.
int registry_update_element(int id, const Attrs &attrs);
// Element id of class clas and type type: changed when it exists, made with
// that id when the id is free, a new element with the next id when id is
// negative. A new one joins the module served at `socket` (the first), or
// is served there itself. 0, or -1 when the id names anything else.
int registry_put_device(int id, int clas, int type, const char *socket, const Attrs &attrs);
// Deletes element id when it is of class clas and type type: 0, else -1
// (nothing deleted).
int registry_del_device(int id, int clas, int type);
// Switches every output of type type off.
void registry_outputs_off(int type);
// One step of the sensors' drift (--wander): each sensor's value moves a
// little, within its type's range; its state follows its thresholds when
// it has any.
void registry_wander(void);

// Journal of every command received: "name\tcommand\n", line feeds inside
// the command written as \n, flushed at once.
void journal_open(const std::string &path);
void journal_write(std::string_view daemon, std::string_view command);

// Fault modes.
enum class Fault { none, silent, close, slow, malformed };
bool fault_parse(std::string_view text, Fault *out);
// The mode of a stand-in now: the faults file (re-read on every call) wins
// over the command-line default.
Fault fault_current(std::string_view daemon, Fault dflt);
void faults_file_set(const std::string &path);

// Hardware stand-ins: the 1-Wire reader FIFO and the GPIO tree. w1_start
// creates the FIFO (0 on success); w1_poll keeps it filled or drained.
// gpio_start makes the GPIO tree with no line exported and starts the thread
// that answers its writes as the kernel would (0 on success).
int w1_start(void);
void w1_poll(void);
void w1_stop(void);
int gpio_start(void);
void gpio_stop(void);

}  // namespace sim
