// Notifiers: the three records (mail, SMS, trap), their lists, and the
// attribute setters through which every command, settings line and SNMP set
// changes a notifier.
//
// A kind (notifier_kind) is data: its defaults, its attribute rows, the
// formats of its description and of its settings line, its sender and how
// its notifications are built, its test command and its SNMP columns. One
// set of functions works on every list, and firing and testing are one path.
//
// Threads and locks. Commands run on the request server thread, which alone
// inserts and removes notifiers; the settings replay runs on the main thread
// before that thread exists; SNMP requests run on the main thread. A thread
// other than the server thread reaches a notifier only through
// notifier_list_with / notifier_list_each, which hold the list's lock while
// the notifier is used, or through notifier_list_lock, which hands over from
// the list's lock to the notifier's; a deletion takes the list's lock to
// remove the row and then waits for the notifier's lock before it frees the
// notifier, so it can never free a notifier that another thread is reading.
// Each notifier's own lock is held while its fields are changed or read; the
// order is always list lock, then notifier lock. The SNMP tables (tables.h)
// hold the list's lock around all their work on a list. The senders' workers
// copy a notifier under both (sender.h) and run nothing while they hold
// them. Both locks are mutexes (zun_lock.h), held for a scope with
// ZunLock hold(list.lock) or ZunLock hold(n.lock): a holder may wait on the
// element database, and a waiter then sleeps.
#pragma once
#include <cstddef>
#include <cstdint>
#include <atomic>
#include <vector>
#include <sys/types.h>
#include <span>
#include <string>
#include <string_view>

#include "xmlhelpers.h"
#include "zun_lock.h"

typedef struct netsnmp_container_s netsnmp_container;

inline constexpr int NOTIFIER_CLASS = 6;       // element class of every notifier
inline constexpr uint32_t STATE_ON = 5;        // fires a notification
inline constexpr uint32_t STATE_OFF = 6;       // at rest
inline constexpr uint32_t STATE_PULSE = 8;     // fires a video mail (mail only)
inline constexpr int NOTIFIER_MAX_NUM = 999;   // highest number given automatically
inline constexpr size_t NOTIFIER_RECIPIENTS = 5;

// Element id of a notifier whose registration the element database refused:
// counted down from here (2^31-1, the highest id a request can name), never
// one that another notifier of any list holds. Such a notifier is described,
// saved and deleted like any other.
inline constexpr uint32_t UNREGISTERED_ID_TOP = 0x7fffffff;

// The head every record begins with.
struct notifier {
  uint32_t id;        // element id; key in its list, index of its SNMP row
  uint32_t module;    // module id of its list
  int32_t num;        // element number within the module
  uint32_t type;      // 1 mail, 2 trap, 3 SMS
  char name[64];
  uint32_t state;     // reported state: 6
  uint32_t value;     // state code of the last `value`; 6 between commands
  ZunMutex lock;      // constructed in place by notifier_new
  bool registered;    // the element database gave the id: a new name is published
  bool listed;        // held by a list (a test notification's is not)
};

struct mail_notifier {
  notifier head;
  char server[128];
  int32_t port;
  bool ssl_active;
  bool starttls;
  char login[64];
  char password[64];
  char to[320];
  char from[64];
  char message[1024];
  char recipient_buffer[320];               // working copy of `to`, cut into tokens
  char *recipients[NOTIFIER_RECIPIENTS];    // into recipient_buffer; null after the last
};

struct sms_notifier {
  notifier head;
  char to_phone[160];
  char message[512];
  char phone_buffer[160];
  char *phones[NOTIFIER_RECIPIENTS];
};

inline constexpr size_t TRAP_MACROS = 6;  // macro3 ... macro8

struct trap_notifier {
  notifier head;
  char server[128];
  int32_t port;
  char version[4];
  char comunity[32];
  char user[64];
  char level[32];
  char auth_type[8];
  char auth_pass[64];
  char priv_type[8];
  char priv_pass[64];
  char message[1024];
  char macro[TRAP_MACROS][256];  // macro3 ... macro8 of the current command
};

// How an attribute row changes its field.
enum class set_kind : unsigned char {
  name,        // the element name: published to the element database when it changes
  text,        // copied into the field, cut at a whole UTF-8 character
  number,      // strtol with base detection, no range check
  ssl_active,  // "true...": on; otherwise ssl_active and starttls off
  starttls,    // "true...": starttls and ssl_active on; otherwise starttls off
  list,        // recipients: the text, and up to five tokens of a working copy
  state,       // the state code of the text
  inner,       // the text without its first and last character (strlcpy)
};

// What else an attribute row says of its value.
enum : unsigned char {
  // The value (each token of a list) stands alone as a word on a command
  // line, where one that begins with "-" would be read as an option (BusyBox
  // sendmail runs the text of -H through a shell; snmptrap's -L writes
  // files): such a value is refused wherever it is set.
  ATTR_WORD = 1,
  // A password: the SNMP tables read it as an empty text (it stays writable).
  ATTR_SECRET = 2,
};

// One attribute row: name, setter, field (offset and width). A list row also
// names its working copy and its references.
struct notifier_attr {
  const char *name;
  set_kind kind;
  size_t field;
  size_t size;
  size_t buffer = 0;
  size_t refs = 0;
  unsigned char flags = 0;
};

// How a field is written into a description or a settings line.
enum class out_kind : unsigned char {
  u32,      // the 32-bit field as unsigned decimal
  i32,      // as signed decimal
  text,     // the text, XML-escaped
  flag,     // "true" or "false"
  clas,     // the element class text of notifiers
  type,     // the element type text of the notifier's type
  state,    // the element state text of the notifier's state
};

// One piece of a line: literal text before the field, then the field.
struct line_field {
  const char *before;
  out_kind kind;
  size_t field;
};

struct sender;
struct send_job;
struct send_command;

inline constexpr size_t NO_FIELD = SIZE_MAX;

struct notifier_kind {
  const char *noun;          // "mail", "sms", "trap"
  uint32_t type;             // element type code
  int module_num;            // module number within the daemon
  const char *module_name;   // "Mails", "SMSs", "Traps"
  const char *default_name;  // with %u for the number
  size_t record_size;
  void (*defaults)(notifier &n);   // the record's defaults beyond the head
  std::span<const notifier_attr> attrs;
  // Run at the start of every command that applies attributes. Optional.
  void (*begin_command)(notifier &n);
  // Run by every applying after the setters: non-zero when nothing of the
  // kind can be sent (logged); applying then fires nothing and returns it.
  // Optional.
  int (*ready)(notifier &n);

  // Sending. Value 5 queues the command's ready text (`textready`, its first
  // text_size - 1 bytes, 0: whole), value 8 a pulse job when the kind has a
  // pulse hook. The bytes [fired_field, +fired_size) of the record belong to
  // the firing command: a job keeps them from its firing, the rest of the
  // record is read again when it runs.
  sender *out;
  size_t text_size;
  size_t fired_field;
  size_t fired_size;
  // The outside commands that send a job for the notifier as it is, one per
  // recipient: 0, or non-zero when the notifier cannot be sent as it is
  // (logged; nothing is sent).
  int (*commands)(const notifier &n, const send_job &job, std::vector<send_command> &out);
  // Makes what a pulse job sends, on the sender's side, before its commands
  // (its outside programs end through *running): 0, or non-zero (logged).
  int (*pulse)(sender &s, notifier &n, std::atomic<pid_t> *running);

  // The test command (testmail, testtrap): a notifier of the kind with this
  // id, whose text is test_text followed by the field at test_message
  // (NO_FIELD: nothing). Null test_text: the kind has none.
  const char *test_text;
  size_t test_message;
  uint32_t test_id;

  // The setter rows of the SNMP table's columns from 8 on.
  std::span<const char *const> snmp_columns;
  std::span<const line_field> description;
  const char *description_end;
  const char *group_open;    // "\t<mails>\n"
  const char *group_close;
  std::span<const line_field> settings;
  const char *settings_end;
};

extern const notifier_kind mail_kind, sms_kind, trap_kind;

// A list of one kind: rows in a container ordered by element id (the SNMP
// table's container), the module id, the number counter, the list's lock.
struct notifier_list {
  const notifier_kind *kind;
  netsnmp_container *rows = nullptr;
  uint32_t module_id = 0;
  int32_t next_num = 1;
  ZunMutex lock{};
  bool ready = false;   // created: the container exists
};

extern notifier_list zunmaillist, zunsmslist, zuntraplist;

// Creates the list at start: container, the sender, the SNMP table over the
// container, module registration. 0, or -1 when the container cannot be made
// (the list then stays unusable), the sender cannot be started
// or the table was not registered (the module is then not registered), or the
// module was refused (the list works; its notifiers carry module 0).
int notifier_list_create(notifier_list &list);

// Creates a notifier with number `num`, or when negative the next free one
// from the list's counter up to 999, then the lowest free one; registers it
// as an element. The notifier, or null (no memory, list not created, or no
// number of 1..999 left: then nothing is registered).
notifier *notifier_list_add(notifier_list &list, int32_t num);

// The notifier with that element id, or null. For the server thread, which
// alone deletes notifiers.
notifier *notifier_list_find(notifier_list &list, uint32_t id);

// Deletes the notifier with that element id (unregistered, freed). 0, or -1
// when the list has none.
int notifier_list_delete(notifier_list &list, uint32_t id);

// Stops the sender (queued jobs are dropped), frees every notifier (each
// unregistered) and unregisters the module.
void notifier_list_destroy(notifier_list &list);

// Calls fn(notifier &) for every notifier in ascending id, under the list's
// lock (fn must not change the list).
void notifier_list_each(notifier_list &list, void (*fn)(notifier &, void *), void *ctx);

// The notifier with that id with its own lock taken, or null. The list's
// lock is held only while the notifier is found and locked, so the caller may
// keep the notifier, until it releases the notifier's lock
// (n->lock.unlock()), across work that waits on another program.
notifier *notifier_list_lock(notifier_list &list, uint32_t id);

// Calls fn(notifier &) for the notifier with that id under the list's lock;
// false when the list has none.
bool notifier_list_with(notifier_list &list, uint32_t id, void (*fn)(notifier &, void *), void *ctx);

// Applies a command's attributes (in their order, every row of the kind's
// table whose name equals the attribute's) under the notifier's lock, sets
// the default name when the name is empty, fires the notifier when the value
// asks for it (queues, see the kind's sending), and sets the value back to
// 6. Returns the kind's ready hook's result (0 without one); whether a
// firing was queued does not change it.
int notifier_apply(notifier &n, const char **attrs);

// Queues a notification of the notifier (its lock held): its ready text, or
// a pulse job. 0, or the result of sender_queue.
int notifier_send(notifier &n, std::string text, bool pulse);

// The element description of a notifier (default name set first), under its
// lock.
std::string notifier_describe(notifier &n);

// Appends the notifier's settings line, under its lock.
void notifier_settings_line(notifier &n, std::string &out);

// The kind of a notifier.
const notifier_kind &notifier_kind_of(const notifier &n);

// Allocates a notifier of the kind with its defaults and its lock (never in
// a list, never registered): for the lists and for test notifications.
notifier *notifier_new(const notifier_kind &kind);
void notifier_free(notifier *n);

// Applies one setter row to a notifier (its lock held).
int notifier_set(notifier &n, const notifier_attr &row, const char *value);

// True when a word of the value of an ATTR_WORD row (the value, or a token
// of a list) would be read as an option: it begins with "-". The value ends
// at its first NUL, as the setters read it.
bool notifier_is_option(std::string_view word);
bool notifier_value_refused(const notifier_attr &row, std::string_view value);

// The value without its refused words (for a list, the other tokens are
// kept with their separators; a single word leaves nothing); each refused
// word is handed to refused(ctx, word).
std::string notifier_value_cleaned(const notifier_attr &row, std::string_view value,
                                   void (*refused)(void *ctx, std::string_view word), void *ctx);

// The first attribute of a command (names and values alternating) that a
// row of the kind refuses, or null when every one is allowed.
const char *notifier_attrs_refused(const notifier_kind &kind, const char **attrs);
