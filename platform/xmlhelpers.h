// XML helpers on Expat: tag-table dispatch over a channel, escaping, small
// attribute walkers.
#pragma once
#include <cstddef>
#include <sys/types.h>

struct xml_channel;

// A tag-table handler: the request's channel and the element's attributes
// (names and values alternating, null-terminated). Writes its whole reply
// through ch->write, calls ch->close(ch->write_ctx) exactly once, returns 0
// or negative. ch->context is its row's context.
typedef int (*xml_handler)(xml_channel *ch, const char **attrs);

// A row of a tag table. Its context lets one handler serve several rows,
// each naming what it works on (e.g. a guard and the command behind it):
// constant data of the table's owner, or null.
struct xml_tag {
  const char *name;
  xml_handler handler;
  const void *context;
};

struct xml_tag_table {
  size_t count;
  const xml_tag *tags;
};

typedef ssize_t (*xml_read_fn)(void *ctx, void *buf, size_t size);
typedef ssize_t (*xml_write_fn)(void *ctx, const void *buf, size_t count);
typedef int (*xml_close_fn)(void *ctx);

// The record the parser works on. The read and write contexts are, by
// convention, the address of an int holding a descriptor or connection
// handle.
struct xml_channel {
  const xml_tag_table *table;
  xml_read_fn read;
  void *read_ctx;
  xml_write_fn write;
  void *write_ctx;
  xml_close_fn close;
  // The context of the row whose handler runs, set by the dispatch just
  // before it calls the handler; null until then.
  const void *context = nullptr;
};

// Reads XML through ch->read until end of input and calls, for every element
// whose name equals a tag of ch->table (exact, case-sensitive), that tag's
// handler when the start tag has been read. Other elements are descended
// into. Returns 0 when the input was well formed and every handler returned
// 0; the first non-zero handler result otherwise; negative for malformed or
// truncated input (handlers of elements read before the fault have run).
// At most XML_CHANNEL_MAX bytes are read from a channel; input that goes on
// beyond counts as truncated (a connection's channel ends within
// UDS_MAX_REQUEST anyway; a settings file replayed at start may be longer).
// A document type declaration is refused as malformed (no entity expansion).
// A handler result wins over a later fault.
// Negative codes of the parser itself: -2 malformed, -3 read failed (or no
// read function), -4 no memory.
inline constexpr size_t XML_CHANNEL_MAX = size_t(16) << 20;
int helpers_xml_parse(xml_channel *ch);

// The same for a connection, which carries one command: only the first
// element that names a tag runs its handler, and the parse ends there (the
// rest of the request is neither read nor checked); the result is then that
// handler's. A settings replay goes through helpers_xml_parse instead, which
// runs every line.
int helpers_xml_parse_command(xml_channel *ch);

// The same over a text (only ch->table is used).
int helpers_xml_parse_string(xml_channel *ch, const char *text, size_t len);

// The value of the attribute `name` (exact) in a null-terminated attribute
// array, or null.
const char *key_find(const char **attrs, const char *name);

// XML-escapes text (& < > " ') into dest (size bytes, always terminated, cut
// at a whole entity or character). Returns dest.
char *helpers_xml_name(const char *text, char *dest, size_t size);

// The same escaping limited to what a double-quoted attribute needs (& < "),
// for stored texts that replies write back: ordinary texts stay byte for
// byte, and no stored text can end its attribute. Returns dest.
char *helpers_xml_attr(const char *text, char *dest, size_t size);

// helpers_conf_read record: finds in the file (path mapped under
// APPLIANCE_ROOT, first 64 KiB read) the first element that opens with
// `start` followed by `separator` or `end` (by `end` only when separator is
// empty or null: a longer name is never taken), and copies its attribute
// text (what lies between start plus `separator` and `end`, the end counted
// outside quoted values, without the blanks and slash of an empty-element
// tag) into out, cut to size-1 at a whole UTF-8 character. out is empty
// when none.
struct conf_read {
  const char *start;      // e.g. "<language"
  const char *separator;  // e.g. " "
  const char *end;        // e.g. ">"
  char *out;
  size_t size;
};
int helpers_conf_read(conf_read *rec, const char *path);  // 0 found, -1 not

// Steps through the attributes of an XML text: skips to the next name="value"
// (quote is '"' or '\''; the value may be quoted with either when quote is
// 0), copies name and value (cut to their sizes, values as written: entities
// are not decoded), advances *cursor past it. Values quoted the other way and
// unquoted values are stepped over. Returns 0 when an attribute was found,
// non-zero when none is left.
int zunutils_xml_get_param(const char **cursor, char *name, size_t name_size,
                           char *value, size_t value_size, char quote);
