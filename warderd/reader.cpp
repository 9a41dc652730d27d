#include "reader.h"

#include "access_db.h"
#include "daemon.h"
#include "zun25_gpio.h"
#include "zun_fault.h"
#include "zun_path.h"
#include "zun_text.h"
#include "zunboard.h"
#include "zundb.h"
#include "zunlog.h"
#include "zunswitch.h"

#include <array>
#include <atomic>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/select.h>
#include <unistd.h>

namespace {

// Element class and type of the reader element; module class and kind of the
// "Readers" module.
constexpr int READER_ELEMENT_CLASS = 4;
constexpr int READER_ELEMENT_TYPE = 1;
constexpr int READERS_MODULE_CLASS = 1;
constexpr int READERS_MODULE_KIND = 3;
constexpr int KEY_BYTES = 6;
constexpr int LOG_LEVEL = 8;

constexpr std::array<const char *, 10> STATE_TEXTS = {
    "", "normal", "low alarm", "high warning", "high alarm",
    "on", "off", "not connected", "pulse", "low warning",
};

reader g_reader;
ZunMutex g_reader_lock;
zunswitch *g_power_switch = nullptr;
// The level the power switch last asked for: the switch drives its output
// when it is created, before the line is exported and can take it.
std::atomic<int> g_power_level{0};
int g_w1_fd = 0;                    // 0: reader stopped
int g_stop_fd = -1;                 // eventfd that wakes the thread for its stop
std::atomic<bool> g_stop{false};
pthread_t g_thread;
bool g_thread_started = false;

char *socket_text() { return const_cast<char *>(daemon_socket); }

void reader_reset(reader &r)
{
  r = reader{};
  r.num = 1;
  strlcpy(r.name, "iButton", sizeof r.name);
  r.state = READER_STATE_NOT_CONNECTED;
}

void register_module(reader &r)
{
  zundb_item item;
  zundb_item_init(&item);
  item.kind = READERS_MODULE_KIND;
  item.count = 1;
  item.module_id = -1;
  item.clas = zunmodule_clas2str(READERS_MODULE_CLASS);
  item.type = zunmodule_internal2str(READERS_MODULE_KIND);
  item.name = "Readers";
  item.state = "normal";
  item.socket = socket_text();
  if (zundb_module_add(&item) != 0)
    return;
  r.module_id = static_cast<unsigned>(item.module_id);

  zundb_item el;
  zundb_item_init(&el);
  el.module_id = item.module_id;
  el.element_num = static_cast<int>(r.num);
  el.clas = zunelement_clas2str(READER_ELEMENT_CLASS);
  el.type = zunelement_type2str(READER_ELEMENT_CLASS, READER_ELEMENT_TYPE);
  el.name = "iButton";
  el.state = zunelement_state2str(READER_STATE_NOT_CONNECTED, READER_ELEMENT_CLASS);
  el.value = "";
  el.socket = socket_text();
  if (zundb_element_add(&el) == 0)
    r.element_id = static_cast<unsigned>(el.element_id);

  if (zunswitch_init(&g_power_switch, item.module_id, 0, -1, 1, 5, 15, reader_power_output,
                     nullptr) != 0)
    g_power_switch = nullptr;
  if (g_power_switch) {
    const char *name = zunswitch_get_name(g_power_switch);
    if (name == nullptr || name[0] == '\0')
      zunswitch_set_name(g_power_switch, "iButton Power");
  }
  // An exported line starts as an input: it becomes an output at the level
  // the switch's (saved) state asked for, so the reader is powered when its
  // element says "on".
  zun25_gpio_export(READER_POWER_GPIO, g_power_level.load());
}

void publish_state(const reader &r)
{
  zundb_item item;
  zundb_item_init(&item);
  item.element_id = static_cast<int>(r.element_id);
  item.state = zunelement_state2str(r.state, READER_ELEMENT_CLASS);
  item.value = r.state == READER_STATE_NORMAL ? r.username : r.key;
  zundb_element_update(&item);
}

void log_access(const char *fmt, const char *value)
{
  char text[512];
  BoundedText t(text, sizeof text);
  t.appendf(fmt, value);
  zunlog_message("access", text, LOG_LEVEL);
}

// The decision for a newly presented key (reader lock held).
void decide(reader &r)
{
  if (r.add_mode == 0) {
    int found;
    {
      ZunLock cl(daemon_command_lock());
      found = access_key_find(access_keys_table(), r.key, r.username, sizeof r.username);
    }
    if (found == 0) {
      r.state = READER_STATE_NORMAL;
      log_access("Access granted for username: '%s'", r.username);
    } else {
      strlcpy(r.username, "unauthorized", sizeof r.username);
      log_access("Access error for key: '%s'", r.key);
      r.state = READER_STATE_HIGH_ALARM;
    }
  } else if (r.add_mode == 1) {
    int rc;
    {
      ZunLock cl(daemon_command_lock());
      ZunFaultScope scope("learn");  // a test may make this write's calls fail
      rc = access_key_add(access_keys_table(), r.key, nullptr);
    }
    if (rc == 0) {
      r.add_mode = 0;
      r.state = READER_STATE_NORMAL;
    } else {
      r.state = READER_STATE_HIGH_ALARM;
    }
  }
}

void no_key(reader &r)
{
  r.state = READER_STATE_NOT_CONNECTED;
  std::memset(r.last_raw, 0, sizeof r.last_raw);
  r.key[0] = '\0';
  r.username[0] = '\0';
}

// Sleeps up to ms, or until the stop routine wakes the thread.
void sleep_interruptible(int ms)
{
  struct pollfd p = {g_stop_fd, POLLIN, 0};
  poll(&p, 1, ms);
}

enum class After { next, pause, idle, end };

// One evaluation of a wait's outcome (reader lock held).
After evaluate(reader &r, int fd, int ready, int wait_errno)
{
  if (ready < 0) {
    if (wait_errno == EAGAIN || wait_errno == EINTR)
      return After::next;
    return After::end;
  }
  if (ready == 0) {
    no_key(r);
    return After::next;
  }
  unsigned char raw[KEY_BYTES];
  ssize_t n = read(fd, raw, sizeof raw);
  if (n != KEY_BYTES) {
    no_key(r);
    // A device that reports end of input stays readable: wait out the rest
    // of the window instead of spinning on it.
    return n == 0 ? After::idle : After::next;
  }
  if (std::memcmp(raw, r.last_raw, KEY_BYTES) == 0)
    return After::pause;
  std::memcpy(r.last_raw, raw, KEY_BYTES);
  BoundedText key(r.key, sizeof r.key);
  for (unsigned char b : raw)
    key.appendf("%02X", b);
  decide(r);
  return After::pause;
}

void *reader_thread(void *arg)
{
  reader &r = *static_cast<reader *>(arg);
  int fd = open(zunpath(W1_DEVICE).c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0)
    return nullptr;
  g_w1_fd = fd;
  while (!g_stop.load()) {
    // Only this thread changes the state, so it can be read without the lock.
    int before = r.state;
    fd_set rd;
    FD_ZERO(&rd);
    FD_SET(fd, &rd);
    if (g_stop_fd >= 0)
      FD_SET(g_stop_fd, &rd);
    struct timeval tv = {0, READER_WAIT_US};
    int ready = select((fd > g_stop_fd ? fd : g_stop_fd) + 1, &rd, nullptr, nullptr, &tv);
    int wait_errno = errno;
    if (g_stop.load())
      break;
    if (ready > 0 && !FD_ISSET(fd, &rd))
      ready = 0;
    After next;
    {
      ZunLock lock(reader_lock());
      next = evaluate(r, fd, ready, wait_errno);
      if (next != After::end && r.state != before)
        publish_state(r);
    }
    if (next == After::end)
      break;
    if (next == After::pause)
      sleep_interruptible(READER_PAUSE_MS);
    else if (next == After::idle)
      sleep_interruptible(READER_WAIT_US / 1000);
  }
  return nullptr;
}

}  // namespace

const char *reader_state_text(int state)
{
  if (state < 0 || static_cast<size_t>(state) >= STATE_TEXTS.size())
    return "";
  return STATE_TEXTS[static_cast<size_t>(state)];
}

reader &the_reader() { return g_reader; }
zunswitch *reader_power_switch() { return g_power_switch; }
ZunMutex &reader_lock() { return g_reader_lock; }

int reader_board_has_hardware(void)
{
  switch (zunboard_type_get()) {
  case 0:
  case 2:
  case 3:
  case 4:
    return 1;
  default:
    return 0;
  }
}

int reader_power_output(void *, int command)
{
  if (command != 5 && command != 6)
    return 0;
  int level = command == 5 ? 1 : 0;
  g_power_level.store(level);
  zun25_gpio_put(READER_POWER_GPIO, level);
  return 0;
}

int readers_start(void)
{
  reader_reset(g_reader);
  register_module(g_reader);
  g_stop.store(false);
  g_w1_fd = 0;
  g_stop_fd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
  int rc = pthread_create(&g_thread, nullptr, reader_thread, &g_reader);
  g_thread_started = rc == 0;
  return rc;
}

int readers_stop(void)
{
  g_stop.store(true);
  if (g_stop_fd >= 0) {
    uint64_t one = 1;
    ssize_t w = write(g_stop_fd, &one, sizeof one);
    (void)w;
  }
  if (g_thread_started)
    pthread_join(g_thread, nullptr);
  g_thread_started = false;
  if (g_w1_fd > 0)
    close(g_w1_fd);
  g_w1_fd = 0;
  if (g_stop_fd >= 0)
    close(g_stop_fd);
  g_stop_fd = -1;

  zun25_gpio_unexport(READER_POWER_GPIO);

  if (g_reader.element_id != 0) {
    zundb_item el;
    zundb_item_init(&el);
    el.element_id = static_cast<int>(g_reader.element_id);
    zundb_element_delete(&el);
  }
  if (g_power_switch)
    zunswitch_exit(g_power_switch);
  g_power_switch = nullptr;
  if (g_reader.module_id != 0) {
    zundb_item mod;
    zundb_item_init(&mod);
    mod.module_id = static_cast<int>(g_reader.module_id);
    zundb_module_delete(&mod);
  }
  return 0;
}
