// engine: the CGI gateway of the browser interface. The invocation name
// chooses the role; "-i" prints the system report.
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <strings.h>

#include "families.h"
#include "forward.h"
#include "params.h"
#include "querytypes.h"
#include "request.h"
#include "rights.h"
#include "sysinfo.h"
#include "uds.h"
#include "zun_fault.h"
#include "zunboard.h"

namespace {

// devtype?name=TYPE&k=KEY: store the board type and restart. It changes
// what the appliance runs (a board type without a reader opens no door), so
// it takes the right that the settings backup and the firmware upload take:
// any page a LAN user opens could otherwise send it.
int role_devtype()
{
  char *name = param_get("name");
  if (name == nullptr)
    return 0;
  if (rights_check("devtype", SEC_ALL, LEVEL_WRITE) != 0) {
    std::fputs("Status: 403\r\n\r\n", stdout);
    return 0;
  }
  url_decode(name);
  std::fputs("Expires: -1\r\n"
             "Cache-Control:no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\n"
             "Pragma: no-cache\r\n"
             "Content-Type: text/plain\r\n"
             "\r\n",
             stdout);
  if (zunboard_save_devtype(name) != 0) {
    std::fputs("Error writing new name!\r\n", stdout);
    return 0;
  }
  std::printf("New name: %s (%s).\r\nSystem will be restarted.\r\n", zunboard_type_name(), name);
  std::fflush(stdout);
  strlcpy(command_buffer, "<reboot />", COMMAND_AREA);
  udsclient_exchange(SOCKET_STEWARDD, command_buffer, COMMAND_AREA);
  return 0;
}

struct role_row {
  const char *name;
  role_handler run;
  // The downloads also take their parameters from a form body, so that a
  // browser can send the session key where access logs, the history and
  // Referer headers do not see it; the uploads read their own multipart body.
  bool form_body;
};

// Tested in this order; no match serves the XML interface (it reads the body
// itself).
constexpr role_row kRoles[] = {
    {"rss", files_rss, true},
    {"image", files_image, true},
    {"dump", files_dump, true},
    {"settings", files_settings, true},
    {"map", files_map, true},
    {"upload-map", files_upload_map, false},
    {"db", files_db, true},
    {"upload-db", files_upload_db, false},
    {"upload-firmware", files_upload_firmware, false},
    {"language", files_language, true},
    {"upload-language", files_upload_language, false},
    {"devtype", role_devtype, false},
};

}  // namespace

int main(int argc, char **argv)
{
  if (argc < 1 || argv[0] == nullptr)
    return -1;
  zun_fault_from_env();
  request_set_role(argv[0]);
  if (argc > 1 && strncasecmp(argv[1], "-i", 2) == 0)
    return sysinfo();

  request_load_environment();
  cgi_request &req = request();
  if (req.query_string != nullptr) {
    req.query_text = strdup(req.query_string);
    if (req.query_text != nullptr)
      params_parse_form(req.query_text);
  }

  role_handler run = xml_interface;
  for (const role_row &role : kRoles) {
    if (strcasecmp(role.name, req.role_name) == 0) {
      run = role.run;
      if (role.form_body && request_has_form_body())
        request_parse_body(0);
      break;
    }
  }
  run();
  std::fflush(stdout);
  return 0;
}
