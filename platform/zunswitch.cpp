// Switchable outputs published as elements of a daemon's module. The switch
// drives its output through the owner's callback, mirrors its state into the
// element database, and keeps name, state and pulse in the owner's settings
// file (one <switch> line per switch, read back at init).
#include "zunswitch.h"

#include "uds.h"
#include "zun_text.h"
#include "zundb.h"
#include "zunlib.h"

#include <cerrno>
#include <chrono>
#include <climits>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <mutex>
#include <new>
#include <string_view>
#include <system_error>
#include <thread>
#include <unistd.h>

namespace {

constexpr int kClassOutput = 3;  // element class of outputs
constexpr int kStateOn = 5;
constexpr int kStateOff = 6;
constexpr int kStatePulse = 8;
constexpr size_t kNameSize = 64;          // 63 characters
constexpr int kPulseMax = 864000;         // a day, in tenths of a second
constexpr size_t kSettingsMax = 65536;    // settings files are far smaller
constexpr size_t kRegistryReply = 32768;  // one module's description

}  // namespace

struct zunswitch {
  std::mutex lock;
  std::condition_variable wake;  // pulse worker: a pulse began or the switch ends
  std::thread worker;
  int module_id = -1;
  int num = 0;
  int id = -1;
  int type = 0;
  int state = kStateOff;
  int pulse = 0;  // tenths of a second
  char name[kNameSize] = {};
  zunswitch_output_fn output = nullptr;
  void *ctx = nullptr;
  bool pulsing = false;
  std::chrono::steady_clock::time_point pulse_end;
  bool closing = false;
};

namespace {

// ---- element database -------------------------------------------------

// Publishes the state of the switch (lock held).
void publish_state(zunswitch *sw)
{
  if (sw->id < 0)
    return;
  zundb_item item;
  zundb_item_init(&item);
  item.module_id = sw->module_id;
  item.element_num = sw->num;
  item.element_id = sw->id;
  item.state = zunelement_state2str(sw->state, kClassOutput);
  item.value = "";
  zundb_element_update(&item);
}

// Publishes the name of the switch (lock held).
void publish_name(zunswitch *sw)
{
  if (sw->id < 0)
    return;
  zundb_item item;
  zundb_item_init(&item);
  item.module_id = sw->module_id;
  item.element_num = sw->num;
  item.element_id = sw->id;
  item.name = sw->name;
  zundb_element_update(&item);
}

// The value of attribute `name` inside one tag's text, or false.
bool tag_attr(const char *tag, const char *name, char *value, size_t size)
{
  const char *cursor = tag;
  char key[32];
  while (zunutils_xml_get_param(&cursor, key, sizeof key, value, size, 0) == 0)
    if (std::strcmp(key, name) == 0)
      return true;
  return false;
}

// A whole decimal number within [lo, hi], or false.
bool parse_int(const char *text, long lo, long hi, int *out)
{
  if (text == nullptr || *text == '\0')
    return false;
  errno = 0;
  char *end = nullptr;
  long v = std::strtol(text, &end, 10);
  if (errno != 0 || *end != '\0' || v < lo || v > hi)
    return false;
  *out = static_cast<int>(v);
  return true;
}

// The number after the last element of module module_id, asking the element
// database for the module's description: one above the highest element
// number it lists, or above the count of its elements. 1 when it lists none
// or cannot be asked.
int next_element_num(int module_id)
{
  static char reply[kRegistryReply];  // one exchange at a time, under g_registry
  static std::mutex g_registry;
  std::lock_guard<std::mutex> hold(g_registry);
  if (!zun_format(reply, sizeof reply, "<getmodule id=\"%d\" />", module_id))
    return 1;
  if (udsclient_exchange(REGISTRYD_SOCKET, reply, sizeof reply) != 0)
    return 1;
  int highest = 0;
  int count = 0;
  constexpr std::string_view kOpen = "<element";
  for (const char *p = std::strstr(reply, "<element"); p != nullptr;
       p = std::strstr(p + 1, "<element")) {
    const char *attrs = p + kOpen.size();
    if (*attrs != ' ' && *attrs != '\t' && *attrs != '\n' && *attrs != '/' && *attrs != '>')
      continue;  // another element whose name begins the same way
    const char *end = std::strchr(attrs, '>');
    if (end == nullptr)
      break;
    char tag[1024];
    size_t len = static_cast<size_t>(end - attrs);
    if (len >= sizeof tag)
      len = sizeof tag - 1;
    std::memcpy(tag, attrs, len);
    tag[len] = '\0';
    char value[32];
    int module = module_id;
    if (tag_attr(tag, "module", value, sizeof value) && !parse_int(value, INT_MIN, INT_MAX, &module))
      continue;
    if (module != module_id)
      continue;
    count++;
    int num;
    if (tag_attr(tag, "num", value, sizeof value) && parse_int(value, 0, INT_MAX - 1, &num) &&
        num > highest)
      highest = num;
  }
  return (highest > count ? highest : count) + 1;
}

// ---- settings ---------------------------------------------------------

// What the settings file says about one switch.
struct Saved {
  int num;
  bool found = false;
  char name[kNameSize] = {};
  bool has_name = false;
  int state = 0;  // 0: not given
  int pulse = -1;  // -1: not given
};

int state_of_value(const char *text);

// The parser's handlers see no context of their own: the file being read
// belongs to this thread while it is parsed.
thread_local Saved *t_saved = nullptr;

int on_saved_switch(xml_channel *, const char **attrs)
{
  Saved *s = t_saved;
  int num;
  if (s == nullptr || s->found || !parse_int(key_find(attrs, "num"), 0, INT_MAX, &num) ||
      num != s->num)
    return 0;
  s->found = true;
  if (const char *name = key_find(attrs, "name")) {
    utf8_strlcpy(s->name, name, sizeof s->name);
    s->has_name = true;
  }
  if (const char *state = key_find(attrs, "state")) {
    int code = state_of_value(state);
    // A pulse in progress when saving rests off afterwards.
    s->state = code == kStatePulse ? kStateOff : code < 0 ? 0 : code;
  }
  int pulse;
  if (parse_int(key_find(attrs, "pulse"), 0, kPulseMax, &pulse))
    s->pulse = pulse;
  return 0;
}

constexpr xml_tag kSavedTags[] = {{"switch", on_saved_switch, nullptr}};
constexpr xml_tag_table kSavedTable = {1, kSavedTags};

// Reads the line of switch `num` from the settings file (if there is one).
void load_saved(Saved *saved)
{
  const char *path = zunlib_settings_path();
  if (path == nullptr || *path == '\0')
    return;
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return;
  static char text[kSettingsMax];
  static std::mutex g_text;
  std::lock_guard<std::mutex> hold(g_text);
  size_t len = 0;
  while (len < sizeof text) {
    ssize_t n = read(fd, text + len, sizeof text - len);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    len += static_cast<size_t>(n);
  }
  close(fd);
  xml_channel ch = {};
  ch.table = &kSavedTable;
  t_saved = saved;
  helpers_xml_parse_string(&ch, text, len);
  t_saved = nullptr;
}

// ---- state ------------------------------------------------------------

// State code of an attribute value: a decimal code, or a state text ("on",
// "off", "pulse"). -1 unless the switch can take it.
int state_of_value(const char *text)
{
  int code;
  if (!parse_int(text, 0, 99, &code))
    code = zunelement_str2state(text);
  if (code == kStateOn || code == kStateOff || code == kStatePulse)
    return code;
  return -1;
}

// Drives the output and publishes the state (lock held).
void set_state(zunswitch *sw, int code)
{
  if (code == kStatePulse) {
    sw->output(sw->ctx, kStateOn);
    sw->state = kStatePulse;
    sw->pulsing = true;
    sw->pulse_end = std::chrono::steady_clock::now() + std::chrono::milliseconds(100LL * sw->pulse);
    sw->wake.notify_all();
  } else {
    sw->pulsing = false;
    sw->output(sw->ctx, code);
    sw->state = code;
  }
  publish_state(sw);
}

// Ends pulses when their time is up; lives as long as the switch.
void pulse_worker(zunswitch *sw)
{
  std::unique_lock<std::mutex> hold(sw->lock);
  while (!sw->closing) {
    if (!sw->pulsing) {
      sw->wake.wait(hold);
      continue;
    }
    if (std::chrono::steady_clock::now() < sw->pulse_end) {
      sw->wake.wait_until(hold, sw->pulse_end);
      continue;
    }
    set_state(sw, kStateOff);
  }
}

bool apply_name(zunswitch *sw, const char *name)
{
  char next[kNameSize];
  utf8_strlcpy(next, name, sizeof next);
  if (std::strcmp(next, sw->name) == 0)
    return true;
  std::memcpy(sw->name, next, sizeof next);
  publish_name(sw);
  return true;
}

bool apply_value(zunswitch *sw, const char *value)
{
  int code = state_of_value(value);
  if (code < 0)
    return false;
  set_state(sw, code);
  return true;
}

bool apply_pulse(zunswitch *sw, const char *value)
{
  int pulse;
  if (!parse_int(value, 0, kPulseMax, &pulse))
    return false;
  sw->pulse = pulse;
  return true;
}

// Attributes a switch takes; the others of an updateelement (element, id,
// ...) are not its own and are passed over.
struct AttrSetter {
  const char *name;
  bool (*apply)(zunswitch *sw, const char *value);
};

constexpr AttrSetter kSetters[] = {
    {"name", apply_name},
    {"value", apply_value},
    {"pulse", apply_pulse},
};

}  // namespace

int zunswitch_init(zunswitch **out, int module_id, int num, int id, int type, int state,
                   int pulse, zunswitch_output_fn output, void *ctx)
{
  if (out == nullptr)
    return -1;
  *out = nullptr;
  if (output == nullptr || num < 0 || (state != kStateOn && state != kStateOff) || pulse < 0 ||
      pulse > kPulseMax)
    return -1;
  zunswitch *sw = new (std::nothrow) zunswitch;
  if (sw == nullptr)
    return -2;
  sw->module_id = module_id;
  sw->num = num > 0 ? num : next_element_num(module_id);
  sw->type = type;
  sw->state = state;
  sw->pulse = pulse;
  sw->output = output;
  sw->ctx = ctx;

  Saved saved;
  saved.num = sw->num;
  load_saved(&saved);
  if (saved.has_name)
    std::memcpy(sw->name, saved.name, sizeof sw->name);
  if (saved.state != 0)
    sw->state = saved.state;
  if (saved.pulse >= 0)
    sw->pulse = saved.pulse;

  try {
    sw->worker = std::thread(pulse_worker, sw);
  } catch (const std::system_error &) {
    delete sw;
    return -2;
  }

  std::lock_guard<std::mutex> hold(sw->lock);
  // Without the element database the switch still drives its output; it then
  // has no element (id -1) and publishes nothing.
  zundb_item item;
  zundb_item_init(&item);
  item.module_id = module_id;
  item.element_num = sw->num;
  item.element_id = id;
  item.clas = zunelement_clas2str(kClassOutput);
  item.type = zunelement_type2str(kClassOutput, type);
  item.name = sw->name;
  item.state = zunelement_state2str(sw->state, kClassOutput);
  item.value = "";
  item.socket = const_cast<char *>(zunlib_socket_path());
  if (zundb_element_add(&item) == 0)
    sw->id = item.element_id;
  sw->output(sw->ctx, sw->state);
  *out = sw;
  return 0;
}

void zunswitch_exit(zunswitch *sw)
{
  if (sw == nullptr)
    return;
  {
    std::lock_guard<std::mutex> hold(sw->lock);
    sw->closing = true;
    sw->wake.notify_all();
  }
  if (sw->worker.joinable())
    sw->worker.join();
  if (sw->id >= 0) {
    zundb_item item;
    zundb_item_init(&item);
    item.module_id = sw->module_id;
    item.element_num = sw->num;
    item.element_id = sw->id;
    zundb_element_delete(&item);
  }
  delete sw;
}

const char *zunswitch_get_name(const zunswitch *sw)
{
  // The owner asks for the name on the thread that sets it up (start-up);
  // replies built on the server thread go through zunswitch_get, which
  // reads it under the lock.
  return sw ? sw->name : "";
}

int zunswitch_set_name(zunswitch *sw, const char *name)
{
  if (sw == nullptr || name == nullptr)
    return -1;
  std::lock_guard<std::mutex> hold(sw->lock);
  apply_name(sw, name);
  return 0;
}

int zunswitch_get_id(const zunswitch *sw)
{
  return sw ? sw->id : -1;
}

int zunswitch_get(zunswitch *sw, xml_channel *ch, const char **)
{
  if (sw == nullptr || ch == nullptr || ch->write == nullptr)
    return -1;
  char name[kNameSize * 6];
  char reply[1024];
  BoundedText text(reply, sizeof reply);
  {
    std::lock_guard<std::mutex> hold(sw->lock);
    helpers_xml_name(sw->name, name, sizeof name);
    text.appendf("<element id=\"%d\" module=\"%d\" num=\"%d\" clas=\"%s\" type=\"%s\" name=\"%s\" "
                 "state=\"%s\" value=\"\" pulse=\"%d\" />",
                 sw->id, sw->module_id, sw->num, zunelement_clas2str(kClassOutput),
                 zunelement_type2str(kClassOutput, sw->type), name,
                 zunelement_state2str(sw->state, kClassOutput), sw->pulse);
  }
  if (text.truncated())
    return -1;
  ssize_t n = ch->write(ch->write_ctx, text.c_str(), text.length());
  return n == static_cast<ssize_t>(text.length()) ? 0 : -1;
}

int zunswitch_attr_set(zunswitch *sw, const char **attrs)
{
  if (sw == nullptr || attrs == nullptr)
    return -1;
  int result = 0;
  std::lock_guard<std::mutex> hold(sw->lock);
  for (size_t i = 0; attrs[i] != nullptr && attrs[i + 1] != nullptr; i += 2) {
    for (const auto &setter : kSetters) {
      if (std::strcmp(attrs[i], setter.name) != 0)
        continue;
      if (!setter.apply(sw, attrs[i + 1]))
        result = -1;
      break;
    }
  }
  return result;
}

int zunswitch_save(zunswitch *sw, xml_channel *ch)
{
  if (sw == nullptr || ch == nullptr || ch->write == nullptr)
    return -1;
  char name[kNameSize * 6];
  char line[1024];
  BoundedText text(line, sizeof line);
  {
    std::lock_guard<std::mutex> hold(sw->lock);
    helpers_xml_name(sw->name, name, sizeof name);
    // A pulse is not resumed at the next start: it is saved as its end.
    int state = sw->state == kStatePulse ? kStateOff : sw->state;
    text.appendf("\t<switch num=\"%d\" name=\"%s\" state=\"%s\" pulse=\"%d\" />\n", sw->num, name,
                 zunelement_state2str(state, kClassOutput), sw->pulse);
  }
  if (text.truncated())
    return -1;
  ssize_t n = ch->write(ch->write_ctx, text.c_str(), text.length());
  return n == static_cast<ssize_t>(text.length()) ? 0 : -1;
}
