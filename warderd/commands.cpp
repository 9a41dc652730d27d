// The commands of warderd on /tmp/warderd.socket: users and their rights,
// access keys, the reader's state and learning mode, the reader and power
// elements, and the frame's shared commands.
//
// Database work runs under the command lock, reader fields under the reader
// lock; no handler holds both, and replies are written after the lock is
// released. Listings grow as they need, so an entry is never cut.
#include "commands.h"

#include "access_db.h"
#include "reader.h"
#include "zun_text.h"
#include "zundb.h"
#include "zunswitch.h"

#include <cstdlib>
#include <cstring>
#include <initializer_list>
#include <new>
#include <string>

namespace {

constexpr const char *NO_ERROR = "<error type=\"no error\" />";
constexpr const char *NOT_SUPPORTED = "<error type=\"Access keys not support\" />";
constexpr const char *PERMISSIONS_DENIED = "<error type=\"Permissions denied\" />";

constexpr int READER_ELEMENT_CLASS = 4;
constexpr int READER_ELEMENT_TYPE = 1;
constexpr size_t GETELEMENT_BUFFER = 1028;

// Walks the attribute pairs in order; a pair goes to the first of `names`
// that its name begins with (compared over the expected name's length), so
// "identity" counts as "id". A later match overwrites an earlier one.
template <class F> void match_attrs(const char **attrs, std::initializer_list<const char *> names, F take)
{
  if (!attrs)
    return;
  for (size_t i = 0; attrs[i] && attrs[i + 1]; i += 2) {
    int index = 0;
    for (const char *name : names) {
      if (std::strncmp(attrs[i], name, std::strlen(name)) == 0) {
        take(index, attrs[i + 1]);
        break;
      }
      ++index;
    }
  }
}

// The request's user record: id, auth, read, write, in that order.
enum { A_ID, A_AUTH, A_READ, A_WRITE };

void take_user_attr(access_user &u, int index, const char *value, bool keep_empty_rights)
{
  switch (index) {
  case A_ID:
    u.id = zun_strtol32(value, nullptr, 10);
    break;
  case A_AUTH:
    access_user_set(u.auth, value);
    break;
  case A_READ:
    if (keep_empty_rights || value[0] != '\0')
      access_user_set(u.read, value);
    break;
  case A_WRITE:
    if (keep_empty_rights || value[0] != '\0')
      access_user_set(u.write, value);
    break;
  }
}

access_user request_user(const char **attrs, bool keep_empty_rights)
{
  access_user u;
  match_attrs(attrs, {"id", "auth", "read", "write"},
              [&](int index, const char *value) { take_user_attr(u, index, value, keep_empty_rights); });
  return u;
}

// A stored value with & < " escaped, so it cannot end its attribute.
struct Escaped {
  char text[64 * 6];
  explicit Escaped(const char *value) { helpers_xml_attr(value, text, sizeof text); }
};

// ---- users ----

// <adduser id="" auth="" read="" write="" />
int cmd_adduser(xml_channel *ch, const char **attrs)
{
  access_user u;
  access_user_set(u.read, "nothing,");
  access_user_set(u.write, "nothing,");
  match_attrs(attrs, {"id", "auth", "read", "write"},
              [&](int index, const char *value) { take_user_attr(u, index, value, false); });
  int rc;
  {
    ZunLock lock(daemon_command_lock());
    rc = access_user_add_or_update(access_users_table(), u);
  }
  if (rc == -2)
    daemon_reply(ch, "<error type=\"User already exists\" />");
  else if (rc == -1)
    daemon_reply(ch, "<error type=\"Id is wrong\" />");
  else
    daemon_reply(ch, NO_ERROR);
  return rc;
}

// <getuser id="" auth="" />
int cmd_getuser(xml_channel *ch, const char **attrs)
{
  access_user u = request_user(attrs, false);
  int rc;
  std::string out;
  try {
    out = "<access>\n";
    ZunLock lock(daemon_command_lock());
    rc = access_user_describe(access_users_table(), u, out);
    out += "</access>\n";
  } catch (const std::bad_alloc &) {
    rc = -1;
  }
  if (rc != 0) {
    daemon_reply(ch, PERMISSIONS_DENIED);
    return -1;
  }
  return daemon_reply(ch, out);
}

// <checkuser id="" auth="" read="" write="" />
int cmd_checkuser(xml_channel *ch, const char **attrs)
{
  access_user u = request_user(attrs, true);
  int rc;
  {
    ZunLock lock(daemon_command_lock());
    rc = access_user_check(access_users_table(), u);
  }
  return daemon_reply(ch, rc == 0 ? "<access state=\"ok\" />" : "<access state=\"denied\" />");
}

// <deluser user="ID" />
int cmd_deluser(xml_channel *ch, const char **attrs)
{
  int rc;
  {
    ZunLock lock(daemon_command_lock());
    if (access_users_count(access_users_table()) < 2) {
      rc = 1;
    } else {
      access_user u;
      match_attrs(attrs, {"user"}, [&](int, const char *value) {
        u.id = zun_strtol32(value, nullptr, 10);
      });
      rc = access_user_delete(access_users_table(), u);
    }
  }
  if (rc == 1) {
    daemon_reply(ch, "<error type=\"You can not delete a single user\" />");
    return -1;
  }
  if (rc < 0) {
    daemon_reply(ch, PERMISSIONS_DENIED);
    return -1;
  }
  return daemon_reply(ch, NO_ERROR);
}

// <listusers />
int cmd_listusers(xml_channel *ch, const char **)
{
  int rc;
  std::string out;
  try {
    out = "<access>\n";
    ZunLock lock(daemon_command_lock());
    rc = access_users_list(access_users_table(), out);
    out += "</access>\n";
  } catch (const std::bad_alloc &) {
    rc = -1;
  }
  if (rc != 0) {
    daemon_reply(ch, "<error type=\"Database error\" />");
    return -1;
  }
  return daemon_reply(ch, out);
}

// ---- keys ----

// <keyslist />: the rows listed before a database failure are still sent.
int cmd_keyslist(xml_channel *ch, const char **)
{
  std::string out;
  try {
    out = "<database>";
    {
      ZunLock lock(daemon_command_lock());
      access_keys_list(access_keys_table(), out);
    }
    out += "</database>";
  } catch (const std::bad_alloc &) {
    return daemon_reply(ch, "<database></database>");
  }
  return daemon_reply(ch, out);
}

// <keyslog />: the key log is always empty.
int cmd_keyslog(xml_channel *ch, const char **)
{
  return daemon_reply(ch, "<dblog></dblog>");
}

// <keysadd key="" name="" />: nothing is added unless both are given.
int cmd_keysadd(xml_channel *ch, const char **attrs)
{
  const char *key = nullptr;
  const char *name = nullptr;
  match_attrs(attrs, {"key", "name"}, [&](int index, const char *value) {
    (index == 0 ? key : name) = value;
  });
  int rc = 0;
  if (key && name) {
    ZunLock lock(daemon_command_lock());
    rc = access_key_add(access_keys_table(), key, name);
  }
  if (rc != 0) {
    daemon_reply(ch, "<error type=\"Add key error\" />");
    return rc;
  }
  return daemon_reply(ch, NO_ERROR);
}

// <keysdelete key="" />
int cmd_keysdelete(xml_channel *ch, const char **attrs)
{
  const char *key = nullptr;
  match_attrs(attrs, {"key"}, [&](int, const char *value) { key = value; });
  int rc = 0;
  if (key) {
    ZunLock lock(daemon_command_lock());
    rc = access_key_delete(access_keys_table(), key);
  }
  if (rc != 0) {
    daemon_reply(ch, "<error type=\"Delete key error\" />");
    return rc;
  }
  return daemon_reply(ch, NO_ERROR);
}

// <keystate />: the reader's state, key and holder.
int cmd_keystate(xml_channel *ch, const char **)
{
  char buf[1024];
  BoundedText out(buf, sizeof buf);
  {
    ZunLock lock(reader_lock());
    const reader &r = the_reader();
    out.appendf("<key state=\"%s\"", reader_state_text(r.state));
    if (r.state == READER_STATE_NOT_CONNECTED)
      out.append(" value=\"\"/>");
    else
      out.appendf(" value=\"%s\" username=\"%s\" />", Escaped(r.key).text, Escaped(r.username).text);
  }
  return daemon_reply(ch, out.view());
}

// <keysget />: whether learning mode is on.
int cmd_keysget(xml_channel *ch, const char **)
{
  bool adding;
  {
    ZunLock lock(reader_lock());
    adding = the_reader().add_mode == 1;
  }
  return daemon_reply(ch, adding ? "<database><state name=\"add\" /></database>"
                                 : "<database><state name=\"normal\" /></database>");
}

// <keysset state="add|..." />: learning mode starts only with no key on the
// reader; any other value ends it.
int cmd_keysset(xml_channel *ch, const char **attrs)
{
  const char *state = nullptr;
  for (size_t i = 0; attrs && attrs[i] && attrs[i + 1] && !state; i += 2)
    if (std::strncmp(attrs[i], "state", 5) == 0)
      state = attrs[i + 1];
  int rc = -1;
  if (state) {
    ZunLock lock(reader_lock());
    reader &r = the_reader();
    if (std::strncmp(state, "add", 3) == 0) {
      if (r.state == READER_STATE_NOT_CONNECTED) {
        r.add_mode = 1;
        rc = 0;
      }
    } else {
      r.add_mode = 0;
      rc = 0;
    }
  }
  daemon_reply(ch, rc == 0 ? NO_ERROR : "<error type=\"keys database change state error\" />");
  return rc;
}

// A key command behind the reader guard, and what the guard returns when it
// answers in the command's place.
struct key_command {
  xml_handler run;
  int unsupported_result;
};

// The rows of the key commands: on boards without the reader hardware the
// command is answered as not supported; otherwise it runs.
int with_reader(xml_channel *ch, const char **attrs)
{
  const auto *command = static_cast<const key_command *>(ch->context);
  if (!reader_board_has_hardware()) {
    daemon_reply(ch, NOT_SUPPORTED);
    return command->unsupported_result;
  }
  return command->run(ch, attrs);
}

constexpr key_command KEYSLIST{cmd_keyslist, 0};
constexpr key_command KEYSLOG{cmd_keyslog, 0};
constexpr key_command KEYSADD{cmd_keysadd, 0};
constexpr key_command KEYSDELETE{cmd_keysdelete, 0};
constexpr key_command KEYSTATE{cmd_keystate, 0};
constexpr key_command KEYSGET{cmd_keysget, 0};
constexpr key_command KEYSSET{cmd_keysset, -1};

// ---- elements ----

bool parse_element(const char **attrs, long &number)
{
  const char *text = key_find(attrs, "element");
  if (!text)
    return false;
  number = std::strtol(text, nullptr, 0);
  return true;
}

bool is_reader_element(long number)
{
  unsigned id = the_reader().element_id;  // set before the server starts
  return id != 0 && number == static_cast<long>(id);
}

bool is_power_element(long number)
{
  zunswitch *sw = reader_power_switch();
  return sw && zunswitch_get_id(sw) > 0 && number == zunswitch_get_id(sw);
}

// <getelement element="ID" />: the reader or the power output; no reply for
// another number.
int cmd_getelement(xml_channel *ch, const char **attrs)
{
  long number = 0;
  if (!reader_board_has_hardware() || !parse_element(attrs, number)) {
    ch->close(ch->write_ctx);
    return 0;
  }
  if (is_reader_element(number)) {
    char buf[GETELEMENT_BUFFER];
    BoundedText out(buf, sizeof buf);
    {
      ZunLock lock(reader_lock());
      const reader &r = the_reader();
      out.appendf("<element id=\"%u\" module=\"%u\" num=\"%u\" clas=\"%s\" type=\"%s\" name=\"%s\" "
                  "state=\"%s\"  value=\"%s\" username=\"%s\" />",
                  r.element_id, r.module_id, r.num, zunelement_clas2str(READER_ELEMENT_CLASS),
                  zunelement_type2str(READER_ELEMENT_CLASS, READER_ELEMENT_TYPE),
                  Escaped(r.name).text, zunelement_state2str(r.state, READER_ELEMENT_CLASS),
                  Escaped(r.key).text, Escaped(r.username).text);
    }
    daemon_write(ch, out.view());
  } else if (is_power_element(number)) {
    zunswitch_get(reader_power_switch(), ch, attrs);
  }
  ch->close(ch->write_ctx);
  return 0;
}

// Renames the reader with every attribute named exactly "name" (reader lock
// held); a changed name is published.
void rename_reader(const char **attrs)
{
  reader &r = the_reader();
  for (size_t i = 0; attrs[i] && attrs[i + 1]; i += 2) {
    if (std::strcmp(attrs[i], "name") != 0)
      continue;
    if (std::strncmp(attrs[i + 1], r.name, sizeof r.name) == 0)
      continue;
    strlcpy(r.name, attrs[i + 1], sizeof r.name);
    zundb_item item;
    zundb_item_init(&item);
    item.element_id = static_cast<int>(r.element_id);
    item.name = r.name;
    zundb_element_update(&item);
  }
}

// <updateelement element="ID" name="" ... />
int cmd_updateelement(xml_channel *ch, const char **attrs)
{
  if (!reader_board_has_hardware())
    return daemon_reply(ch, "<error type=\"element not found\" />");
  long number = 0;
  if (parse_element(attrs, number)) {
    if (is_reader_element(number)) {
      ZunLock lock(reader_lock());
      rename_reader(attrs);
    } else if (is_power_element(number)) {
      zunswitch_attr_set(reader_power_switch(), attrs);
    }
  }
  return daemon_reply(ch, NO_ERROR);
}

// ---- settings ----

// The power switch's line of the settings file.
int save_power_switch(xml_channel *ch)
{
  if (zunswitch *sw = reader_power_switch())
    zunswitch_save(sw, ch);
  return 0;
}

constexpr xml_tag TAGS[] = {
    {"test", daemon_cmd_test, nullptr},
    {"save", daemon_cmd_save, nullptr},
    {"adduser", cmd_adduser, nullptr},
    {"getuser", cmd_getuser, nullptr},
    {"checkuser", cmd_checkuser, nullptr},
    {"deluser", cmd_deluser, nullptr},
    {"listusers", cmd_listusers, nullptr},
    {"keyslist", with_reader, &KEYSLIST},
    {"keyslog", with_reader, &KEYSLOG},
    {"keysadd", with_reader, &KEYSADD},
    {"keysdelete", with_reader, &KEYSDELETE},
    {"keystate", with_reader, &KEYSTATE},
    {"keysget", with_reader, &KEYSGET},
    {"keysset", with_reader, &KEYSSET},
    {"getmodule", daemon_cmd_getmodule, nullptr},
    {"updatemodule", daemon_cmd_updatemodule, nullptr},
    {"getelement", cmd_getelement, nullptr},
    {"updateelement", cmd_updateelement, nullptr},
};
static_assert(sizeof TAGS / sizeof TAGS[0] == 18);

}  // namespace

const xml_tag_table warderd_tags = {sizeof TAGS / sizeof TAGS[0], TAGS};
const daemon_saver warderd_savers[] = {save_power_switch};
const size_t warderd_saver_count = 1;
