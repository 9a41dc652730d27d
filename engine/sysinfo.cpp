// The system element and the plain-text report.
#include "sysinfo.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <time.h>
#include <unistd.h>

#include "forward.h"
#include "uds.h"
#include "xmlhelpers.h"
#include "zun_path.h"
#include "zun_text.h"
#include "zunboard.h"
#include "zunutils.h"

namespace {

struct file_closer {
  FILE *f;
  ~file_closer()
  {
    if (f != nullptr)
      std::fclose(f);
  }
};

}  // namespace

int64_t query_optime()
{
  char buf[32];
  strlcpy(buf, "<optime />", sizeof buf);
  if (udsclient_exchange(SOCKET_STEWARDD, buf, sizeof buf) != 0)
    return -1;
  return std::strtoll(buf, nullptr, 10);
}

uint32_t read_uptime()
{
  char path[256];
  if (zunpath_map("/proc/uptime", path, sizeof path) != 0)
    return 0;
  file_closer f{std::fopen(path, "r")};
  if (f.f == nullptr)
    return 0;
  char line[256];
  if (std::fgets(line, sizeof line, f.f) == nullptr)
    return 0;
  return static_cast<uint32_t>(std::strtoul(line, nullptr, 10));
}

bool sms_available()
{
  char path[256];
  return zunpath_map("/tmp/nocellulard", path, sizeof path) != 0 || access(path, F_OK) != 0;
}

void print_system_element(bool open)
{
  char perf[1024] = "";
  strlcpy(command_buffer, "<getperfomance />", COMMAND_AREA);
  if (udsclient_exchange(SOCKET_STEWARDD, command_buffer, COMMAND_AREA) == 0)
    strlcpy(perf, command_buffer, sizeof perf);

  char state[64] = "normal";
  char buf[512];
  zun_format(buf, sizeof buf, "<getelement id=\"%i\" />", SYSTEM_ELEMENT_ID);
  if (udsclient_exchange(REGISTRYD_SOCKET, buf, sizeof buf) == 0) {
    const char *cursor = buf;
    char name[64];
    char value[64];
    while (zunutils_xml_get_param(&cursor, name, sizeof name, value, sizeof value, '"') == 0) {
      if (strcasecmp(name, "state") == 0) {
        strlcpy(state, value, sizeof state);
        break;
      }
    }
  }

  const char *type = zunboard_type_name();
  uint32_t now = systime();
  bool sms = sms_available();
  uint32_t optime = static_cast<uint32_t>(query_optime());
  uint32_t uptime = read_uptime();
  std::printf("<system id=\"%i\" state=\"%s\" version=\"%u.%u.%u b%03u\" type=\"%s\" time=\"%u\" "
              "sms=\"%s\" optime=\"%u\" uptime=\"%u\" ",
              SYSTEM_ELEMENT_ID, state, VERSION_MAJOR, VERSION_MINOR, VERSION_PATCH, VERSION_BUILD,
              type, now, sms ? "true" : "false", optime, uptime);
  std::fputs(perf, stdout);
  std::fputs(open ? " >" : " />", stdout);
}

int sysinfo()
{
  std::printf("# system: Monitoring system, version: %u.%u.%u b%03u (%s)\n", VERSION_MAJOR,
              VERSION_MINOR, VERSION_PATCH, VERSION_BUILD, zunboard_type_name());
  time_t t = time(nullptr);
  struct tm tm;
  localtime_r(&t, &tm);
  if (strftime(command_buffer, 100, "%Y-%m-%d %T", &tm) == 0)
    command_buffer[0] = '\0';
  std::printf("# current time: %s, ", command_buffer);
  std::printf("operation time: %u hours\n", static_cast<uint32_t>(query_optime()));
  std::fputs("# ", stdout);
  strlcpy(command_buffer, "<txtsettings />", COMMAND_AREA);
  if (udsclient_exchange(SOCKET_STEWARDD, command_buffer, COMMAND_AREA) == 0)
    std::fputs(command_buffer, stdout);
  std::fflush(stdout);
  return 0;
}
