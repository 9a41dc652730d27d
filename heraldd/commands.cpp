// The commands of heraldd on /tmp/heraldd.socket and the lines of its
// settings file: a tag table of 18 entries and one of the three line tags
// for the replay, the creating, changing, deleting and testing commands of
// the three kinds (one handler each; a row's context names its list), the
// element description and change, and the savers of the save command.
#include "commands.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "notifier.h"
#include "heraldd.h"
#include "zun_text.h"

namespace {

constexpr const char *NO_ERROR = "<error type=\"no error\" />";
constexpr const char *NO_SUCH_ELEMENT = "<error type=\"no such element\" />";
constexpr const char *MEMORY_ERROR = "<error type=\"memory error\" />";
constexpr const char *INVALID_ATTRIBUTE = "<error type=\"invalid attribute\" />";
constexpr const char *MISSING = "<error type=\"some parameters are not specified\" />";
constexpr const char *TEST_FAILED = "<error type=\"send test message failed\" />";

notifier_list *const LISTS[] = {&zunmaillist, &zunsmslist, &zuntraplist};

// The list of a kind's command: its row's context.
notifier_list &list_of(const xml_channel *ch)
{
  return *const_cast<notifier_list *>(static_cast<const notifier_list *>(ch->context));
}

// A number attribute as the commands read it: strtol with base detection,
// into 32 bits alike on every architecture.
int32_t number_attr(const char **attrs, const char *name, int32_t absent)
{
  const char *text = key_find(attrs, name);
  return text != nullptr ? zun_strtol32(text, nullptr, 0) : absent;
}

// A command that sets a refused value changes nothing.
bool refused(const notifier_list &list, const char **attrs)
{
  return notifier_attrs_refused(*list.kind, attrs) != nullptr;
}

// What makes applying send: a settings line keeps none of it, or a restored
// file would send at every start.
constexpr std::string_view FIRING[] = {"value",  "textready", "macro3", "macro4",
                                       "macro5", "macro6",    "macro7", "macro8"};

// A settings line's attributes without those that fire and with the refused
// words left out, each logged: one bad recipient costs only itself.
class LineAttrs {
public:
  LineAttrs(const notifier_kind &kind, const char **attrs)
  {
    for (size_t i = 0; attrs != nullptr && attrs[i] != nullptr && attrs[i + 1] != nullptr; i += 2) {
      if (std::ranges::find(FIRING, attrs[i]) != std::end(FIRING))
        continue;
      values_.emplace_back(attrs[i]);
      values_.emplace_back(attrs[i + 1]);
      for (const notifier_attr &row : kind.attrs)
        if (std::strcmp(row.name, attrs[i]) == 0) {
          where_ = {kind.noun, row.name};
          values_.back() = notifier_value_cleaned(row, attrs[i + 1], log_refused, &where_);
        }
    }
    for (const std::string &v : values_)
      attrs_.push_back(v.c_str());
    attrs_.push_back(nullptr);
  }
  const char **attrs() { return attrs_.data(); }

private:
  static void log_refused(void *ctx, std::string_view word)
  {
    auto *where = static_cast<std::pair<const char *, const char *> *>(ctx);
    heraldd_log("error", "Settings: %s %s '%.*s' refused: it begins with \"-\"", where->first, where->second,
                static_cast<int>(word.size()), word.data());
  }
  std::pair<const char *, const char *> where_;
  std::vector<std::string> values_;
  std::vector<const char *> attrs_;
};

// Creates a notifier with number `num` (automatic when negative) and applies
// the command's attributes to it.
int create(xml_channel *ch, notifier_list &list, int32_t num, const char **attrs)
{
  if (refused(list, attrs))
    return daemon_reply(ch, INVALID_ATTRIBUTE);
  notifier *n = notifier_list_add(list, num);
  if (n == nullptr)
    return daemon_reply(ch, MEMORY_ERROR);
  return daemon_reply(ch, notifier_apply(*n, attrs) != 0 ? INVALID_ATTRIBUTE : NO_ERROR);
}

// <mail|sms|trap [num=""] ... />: a settings line, which never fires (or a
// command of that form, which may, refused whole as any other command when
// it sets a refused value).
int load(xml_channel *ch, notifier_list &list, const char **attrs)
{
  int32_t num = number_attr(attrs, "num", -1);
  if (!daemon_is_replay(ch))
    return create(ch, list, num, attrs);
  LineAttrs line(*list.kind, attrs);
  return create(ch, list, num, line.attrs());
}

// <addmail|addsms|addtrap [id=""] ... />: changes the notifier of this kind
// with that id, or creates one with the next free number.
int add(xml_channel *ch, notifier_list &list, const char **attrs)
{
  if (key_find(attrs, "id") == nullptr)
    return create(ch, list, -1, attrs);
  notifier *n = notifier_list_find(list, static_cast<uint32_t>(number_attr(attrs, "id", 0)));
  if (n == nullptr)
    return daemon_reply(ch, NO_SUCH_ELEMENT);
  if (refused(list, attrs))
    return daemon_reply(ch, INVALID_ATTRIBUTE);
  notifier_apply(*n, attrs);
  return daemon_reply(ch, NO_ERROR);
}

// <delmail|delsms|deltrap id="" />
int del(xml_channel *ch, notifier_list &list, const char **attrs)
{
  if (key_find(attrs, "id") == nullptr)
    return daemon_reply(ch, MISSING);
  uint32_t id = static_cast<uint32_t>(number_attr(attrs, "id", 0));
  return daemon_reply(ch, notifier_list_delete(list, id) == 0 ? NO_ERROR : NO_SUCH_ELEMENT);
}

// The notifier with the `element` id in any list (mails, SMS, traps).
notifier *find_element(const char **attrs)
{
  uint32_t id = static_cast<uint32_t>(number_attr(attrs, "element", 0));
  for (notifier_list *list : LISTS)
    if (notifier *n = notifier_list_find(*list, id))
      return n;
  return nullptr;
}

// Appends one notifier's settings line to the text of its group.
void append_line(notifier &n, void *text)
{
  notifier_settings_line(n, *static_cast<std::string *>(text));
}

// Writes a list's group of the settings file through the save channel.
int save_list(xml_channel *ch, notifier_list &list)
{
  std::string text = list.kind->group_open;
  notifier_list_each(list, append_line, &text);
  text += list.kind->group_close;
  daemon_write(ch, text);
  return 0;
}

}  // namespace

int notifier_cmd_load(xml_channel *ch, const char **attrs) { return load(ch, list_of(ch), attrs); }
int notifier_cmd_add(xml_channel *ch, const char **attrs) { return add(ch, list_of(ch), attrs); }
int notifier_cmd_del(xml_channel *ch, const char **attrs) { return del(ch, list_of(ch), attrs); }

int notifier_cmd_test(xml_channel *ch, const char **attrs)
{
  const notifier_kind &kind = *list_of(ch).kind;
  notifier *n = notifier_attrs_refused(kind, attrs) == nullptr ? notifier_new(kind) : nullptr;
  int result = -1;
  if (n != nullptr) {
    n->id = kind.test_id;
    strlcpy(n->name, "Test Notify", sizeof n->name);
    result = notifier_apply(*n, attrs);
    if (result == 0) {
      std::string text = kind.test_text;
      if (kind.test_message != NO_FIELD)
        text += reinterpret_cast<const char *>(n) + kind.test_message;
      result = notifier_send(*n, std::move(text), false);
    }
    notifier_free(n);
  }
  return daemon_reply(ch, result == 0 ? NO_ERROR : TEST_FAILED);
}


// <getelement element="ID" />: the notifier's description.
int notifier_cmd_get(xml_channel *ch, const char **attrs)
{
  notifier *n = find_element(attrs);
  if (n == nullptr) {
    daemon_reply(ch, "<error type='element not found' />");
    return -1;
  }
  return daemon_reply(ch, notifier_describe(*n));
}

// <updateelement element="ID" ... />: changes (and may fire) the notifier;
// an id that no list holds changes nothing. A refused value refuses the
// whole command (nothing changed, nothing fired).
int notifier_cmd_update(xml_channel *ch, const char **attrs)
{
  if (notifier *n = find_element(attrs)) {
    if (notifier_attrs_refused(notifier_kind_of(*n), attrs) != nullptr)
      return daemon_reply(ch, INVALID_ATTRIBUTE);
    notifier_apply(*n, attrs);
  }
  return daemon_reply(ch, NO_ERROR);
}

// <ctlmodule func="" />: the notifier lists have no module functions.
int notifier_cmd_ctl(xml_channel *ch, const char **)
{
  daemon_reply(ch, "<error type='invalid request' />");
  return -1;
}

int zunmail_list_save(xml_channel *ch) { return save_list(ch, zunmaillist); }
int zuntrap_list_save(xml_channel *ch) { return save_list(ch, zuntraplist); }
int zunsms_list_save(xml_channel *ch) { return save_list(ch, zunsmslist); }

namespace {

const xml_tag TAGS[] = {
    {"test", daemon_cmd_test, nullptr},
    {"save", daemon_cmd_save, nullptr},
    {"mail", notifier_cmd_load, &zunmaillist},
    {"addmail", notifier_cmd_add, &zunmaillist},
    {"delmail", notifier_cmd_del, &zunmaillist},
    {"testmail", notifier_cmd_test, &zunmaillist},
    {"sms", notifier_cmd_load, &zunsmslist},
    {"addsms", notifier_cmd_add, &zunsmslist},
    {"delsms", notifier_cmd_del, &zunsmslist},
    {"trap", notifier_cmd_load, &zuntraplist},
    {"addtrap", notifier_cmd_add, &zuntraplist},
    {"deltrap", notifier_cmd_del, &zuntraplist},
    {"testtrap", notifier_cmd_test, &zuntraplist},
    {"getmodule", daemon_cmd_getmodule, nullptr},
    {"updatemodule", daemon_cmd_updatemodule, nullptr},
    {"getelement", notifier_cmd_get, nullptr},
    {"updateelement", notifier_cmd_update, nullptr},
    {"ctlmodule", notifier_cmd_ctl, nullptr},
};
static_assert(sizeof TAGS / sizeof TAGS[0] == 18);

// The lines of the settings file: the replay runs nothing else (no test, no
// save), so a restored file only makes notifiers.
const xml_tag SETTINGS_TAGS[] = {
    {"mail", notifier_cmd_load, &zunmaillist},
    {"sms", notifier_cmd_load, &zunsmslist},
    {"trap", notifier_cmd_load, &zuntraplist},
};

}  // namespace

const xml_tag_table heraldd_tags = {sizeof TAGS / sizeof TAGS[0], TAGS};
const xml_tag_table heraldd_settings_tags = {sizeof SETTINGS_TAGS / sizeof SETTINGS_TAGS[0], SETTINGS_TAGS};
const daemon_saver heraldd_savers[] = {zunmail_list_save, zuntrap_list_save, zunsms_list_save};
const size_t heraldd_saver_count = 3;
