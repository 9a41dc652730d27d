// testd: a small daemon on the frame, for the frame's system tests and
// benchmark. It keeps a list of named items that it saves as grouped lines
// and replays at start, like a real daemon keeps its settings.
//
//   <item name="N" />         add an item (also a settings-file line)
//   <items />                 list the items
//   <failsave on="1|0" />     make the second saver fail (or not); the
//                             environment variable TESTD_FAIL_SAVER=1 starts
//                             with it failing
//   <hold />                  a long command: creates /tmp/testd.held and
//                             waits (at most 10 s) for /tmp/testd.release
//   <paths />                 file_settings and daemon_socket, looked up as
//                             the executable's exported symbols
//   <hostname />              the -H value (with TESTD_HOSTNAME=1 the daemon
//                             takes the option string "hmblf:H:")
// and the frame's test, save, getmodule and updatemodule.
#include <array>
#include <atomic>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <dlfcn.h>
#include <unistd.h>

#include "daemon.h"
#include "zun_path.h"
#include "zun_text.h"

namespace {

constexpr size_t MAX_ITEMS = 64;
constexpr size_t ITEM_NAME = 64;

std::array<std::array<char, ITEM_NAME>, MAX_ITEMS> g_items;
size_t g_item_count = 0;
std::atomic<bool> g_fail_saver{false};
const char *g_hostname = "Orvane NMS";

// <item name="N" />
int cmd_item(xml_channel *ch, const char **attrs)
{
  const char *name = key_find(attrs, "name");
  if (!name)
    return daemon_reply(ch, "<error type=\"some parameters are not specified\" />");
  ZunLock lock(daemon_command_lock());
  if (g_item_count == MAX_ITEMS)
    return daemon_reply(ch, "<error type=\"memory error\" />");
  utf8_strlcpy(g_items[g_item_count].data(), name, ITEM_NAME);
  ++g_item_count;
  return daemon_reply(ch, "<error type=\"no error\" />");
}

// <items />
int cmd_items(xml_channel *ch, const char **)
{
  char buf[MAX_ITEMS * (ITEM_NAME * 6 + 24) + 32];
  char name[ITEM_NAME * 6];
  BoundedText reply(buf, sizeof buf);
  reply.append("<items>");
  {
    ZunLock lock(daemon_command_lock());
    for (size_t i = 0; i < g_item_count; ++i)
      reply.appendf("<item name=\"%s\" />", helpers_xml_name(g_items[i].data(), name, sizeof name));
  }
  reply.append("</items>");
  return daemon_reply(ch, reply.view());
}

// <failsave on="1|0" />
int cmd_failsave(xml_channel *ch, const char **attrs)
{
  const char *on = key_find(attrs, "on");
  g_fail_saver.store(on && strcmp(on, "1") == 0);
  return daemon_reply(ch, "<error type=\"no error\" />");
}

void pause_ms(long ms)
{
  timespec ts = {ms / 1000, (ms % 1000) * 1000 * 1000};
  nanosleep(&ts, nullptr);
}

// <hold />
int cmd_hold(xml_channel *ch, const char **)
{
  std::string held = zunpath("/tmp/testd.held");
  std::string release = zunpath("/tmp/testd.release");
  FILE *f = fopen(held.c_str(), "w");
  if (f)
    fclose(f);
  for (int i = 0; i < 1000 && access(release.c_str(), F_OK) != 0; ++i)
    pause_ms(10);
  return daemon_reply(ch, "<error type='released' />");
}

// <hostname />
int cmd_hostname(xml_channel *ch, const char **)
{
  char buf[256];
  char text[200];
  BoundedText reply(buf, sizeof buf);
  reply.appendf("<hostname value=\"%s\" />", helpers_xml_name(g_hostname, text, sizeof text));
  return daemon_reply(ch, reply.view());
}

// <paths />: what another part of the process finds under the two exported
// names (a symbol the executable does not export is not found this way).
int cmd_paths(xml_channel *ch, const char **)
{
  auto *settings = static_cast<const char **>(dlsym(RTLD_DEFAULT, "file_settings"));
  auto *socket = static_cast<const char **>(dlsym(RTLD_DEFAULT, "daemon_socket"));
  if (!settings || !socket || !*settings || !*socket)
    return daemon_reply(ch, "<error type='not exported' />");
  char buf[2048];
  char a[900], b[900];
  BoundedText reply(buf, sizeof buf);
  reply.appendf("<paths file_settings=\"%s\" daemon_socket=\"%s\" />",
                helpers_xml_name(*settings, a, sizeof a), helpers_xml_name(*socket, b, sizeof b));
  return daemon_reply(ch, reply.view());
}

constexpr xml_tag TAGS[] = {
    {"test", daemon_cmd_test, nullptr},
    {"save", daemon_cmd_save, nullptr},
    {"getmodule", daemon_cmd_getmodule, nullptr},
    {"updatemodule", daemon_cmd_updatemodule, nullptr},
    {"item", cmd_item, nullptr},
    {"items", cmd_items, nullptr},
    {"failsave", cmd_failsave, nullptr},
    {"hold", cmd_hold, nullptr},
    {"hostname", cmd_hostname, nullptr},
    {"paths", cmd_paths, nullptr},
};
constexpr xml_tag_table TAG_TABLE = {sizeof TAGS / sizeof TAGS[0], TAGS};

// The items, one line each, inside a grouping element that is not a tag.
int save_items(xml_channel *ch)
{
  char line[ITEM_NAME * 6 + 32];
  char name[ITEM_NAME * 6];
  daemon_write(ch, "\t<group>\n");
  {
    ZunLock lock(daemon_command_lock());
    for (size_t i = 0; i < g_item_count; ++i) {
      zun_format(line, sizeof line, "\t\t<item name=\"%s\" />\n",
                 helpers_xml_name(g_items[i].data(), name, sizeof name));
      daemon_write(ch, line);
    }
  }
  daemon_write(ch, "\t</group>\n");
  return 0;
}

// Writes a line, then fails when told to: a saver that gives up half-way.
int save_switchable(xml_channel *ch)
{
  daemon_write(ch, "\t<switchable />\n");
  return g_fail_saver.load() ? -1 : 0;
}

constexpr daemon_saver SAVERS[] = {save_items, save_switchable};

int on_option(int opt, const char *arg)
{
  if (opt != 'H' || !arg)
    return -1;
  g_hostname = arg;
  return 0;
}

int startup(void)
{
  daemon_replay_settings();
  return 0;
}

int shutdown(void)
{
  g_item_count = 0;
  return 0;
}

}  // namespace

int main(int argc, char **argv)
{
  const char *fail = getenv("TESTD_FAIL_SAVER");
  g_fail_saver.store(fail && strcmp(fail, "1") == 0);
  const char *hostname = getenv("TESTD_HOSTNAME");
  const bool with_hostname = hostname && strcmp(hostname, "1") == 0;

  const daemon_def def = {
      .name = "testd",
      .lock_file = "/tmp/testd.lock",
      .socket_path = "/tmp/testd.socket",
      .settings_file = "/mnt/jffs/etc/testd.xml",
      .optstring = with_hostname ? "hmblf:H:" : "hmblf:",
      .usage = with_hostname ? daemon_usage_hostname : daemon_usage,
      .tags = &TAG_TABLE,
      .option = on_option,
      .startup = startup,
      .shutdown = shutdown,
      .savers = SAVERS,
      .saver_count = sizeof SAVERS / sizeof SAVERS[0],
  };
  return daemon_main(def, argc, argv);
}
