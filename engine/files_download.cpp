// File downloads: the event log feed, the configuration dump, the settings
// archive, the floor map, the camera picture, the key database and the
// language files (with their listing). The parameters written after "?" in
// the usage lines may as well come in a form body (main reads it). Each
// endpoint makes its own rights check and writes its own headers and
// refusal. Files are copied in pieces, so that a file of any size arrives
// whole, and a Content-Length is the size of the file that is sent.
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "errors.h"
#include "families.h"
#include "files.h"
#include "params.h"
#include "rights.h"
#include "sysinfo.h"
#include "xmlhelpers.h"
#include "zunboard.h"
#include "zunfile.h"
#include "zunlog.h"
#include "zunutils.h"

namespace {

constexpr const char *STATUS_403 = "Status: 403\r\n\r\n";
constexpr const char *STATUS_500 = "Status: 500\r\n\r\n";
// The downloads that write their own status line (direct form).
constexpr const char *DIRECT = "HTTP/1.0 ";
constexpr size_t MAP_PIECE = 2048;

// The success headers of a direct-form download: the file's size (or the
// name given) goes between the two texts.
struct direct_head {
  const char *before;
  const char *after;
};

constexpr direct_head kImageHead = {
    "200 OK\r\nExpires: Thu, 19 Nov 1981 08:52:00 GMT\r\n"
    "Cache-Control: no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\n"
    "Pragma: no-cache\r\nContent-Type: image/jpeg\r\nContent-Length: ",
    "\r\n\r\n"};
constexpr direct_head kKeysDbHead = {
    "200 OK\r\nContent-Type: application/force-download\r\n"
    "Content-Disposition: attachment; filename=access.sqlite\r\nContent-Length: ",
    "\r\nContent-Transfer-Encoding: binary\r\n\r\n"};
constexpr direct_head kSettingsHead = {
    "200 OK\r\nContent-Type: application/force-download\r\n"
    "Content-Disposition: attachment; filename=settings.orv\r\nContent-Length: ",
    "\r\nContent-Transfer-Encoding: binary\r\n\r\n"};
constexpr direct_head kLanguageHead = {
    "200 OK\r\nContent-Type: text/xml\r\nContent-Disposition: attachment; filename=", "\r\n\r\n"};

constexpr fwd_command kRss = {.opening = "<rss />", .socket = SOCKET_CHRONICLED};
constexpr fwd_command kSavetxt = {.opening = "<savetxt />", .socket = SOCKET_CHRONICLED};
constexpr fwd_attr kDumpAttrs[] = {{"id"}, {"txt"}};
constexpr fwd_command kDump = {
    .opening = "<dump ", .attrs = kDumpAttrs, .close = "/>", .socket = SOCKET_REGISTRYD};
constexpr fwd_command kBackup = {
    .opening = "<exepipe cmd=\"backup.sh\" />",
    .socket = SOCKET_STEWARDD,
    .delivery = fwd_delivery::exchanged_only,
};

// The rest of an open file, `size` bytes, copied to standard output.
bool send_file(const Fd &fd, long long size, size_t piece)
{
  return zunfile_send(fd.get(), size, stdout, command_buffer, piece);
}

// The success headers with the size (or `name`), then the file.
void send_direct(const Fd &fd, long long size, const direct_head &head, const char *name = nullptr)
{
  std::fputs(head.before, stdout);
  if (name != nullptr)
    std::fputs(name, stdout);
  else
    std::printf("%lld", size);
  std::fputs(head.after, stdout);
  send_file(fd, size, COMMAND_BUFFER_SIZE);
}

// A direct-form download after its "HTTP/1.0 ": the file, or the status-500
// text when it cannot be opened or is empty.
void send_direct_path(const char *path, const direct_head &head, const char *name = nullptr)
{
  Fd fd;
  long long size = zunfile_open(path, fd);
  if (size <= 0) {
    std::fputs(STATUS_500, stdout);
    return;
  }
  send_direct(fd, size, head, name);
}

}  // namespace

bool language_path(const char *dir, const char *name, char (&out)[LANGUAGE_PATH_SIZE])
{
  out[0] = '\0';
  if (name == nullptr || name[0] == '\0' || std::strcmp(name, ".") == 0 ||
      std::strstr(name, "..") != nullptr)
    return false;
  for (const char *p = name; *p != '\0'; p++) {
    char c = *p;
    bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
    if (!alnum && c != '.' && c != '_' && c != '-')
      return false;
  }
  if (std::strlen(LANGUAGE_DIR) + std::strlen(name) >= LANGUAGE_PATH_SIZE)
    return false;
  return zun_format(out, LANGUAGE_PATH_SIZE, "%s%s", dir, name);
}

// rss[?save]&k=KEY: the event log as an RSS feed, or as a text attachment.
int files_rss()
{
  if (rights_check("rss", SEC_LOG, LEVEL_READ) != 0)
    return reply_text(TXT_ACCESS);
  bool save = param_get("save") != nullptr;
  std::fputs(save ? "Content-Type: text/plain\r\n"
                    "Content-Disposition: attachment; filename=syslog.txt\r\n\r\n"
                  : "Content-Type: application/rss+xml\r\n\r\n",
             stdout);
  return forward_run(save ? &kSavetxt : &kRss);
}

// dump[?id&txt]&k=KEY: the element database as an attachment, after the
// system's description (XML) or its text report (txt).
int files_dump()
{
  std::time_t now = std::time(nullptr);
  if (rights_check("dump", SEC_ELEMENTS, LEVEL_READ) != 0) {
    std::fputs(STATUS_403, stdout);
    return 0;
  }
  char stamp[64] = "";
  struct tm tm;
  if (localtime_r(&now, &tm) != nullptr)
    std::strftime(stamp, sizeof stamp, "%Y-%m-%d_%T", &tm);
  bool txt = param_get("txt") != nullptr;
  std::printf("Status: 200\r\nContent-Type: %s\r\n"
              "Content-Disposition: attachment; filename=dumplog_%s.%s\r\n\r\n",
              txt ? "text/plain" : "text/xml", stamp, txt ? "csv" : "xml");
  if (txt) {
    sysinfo();
    std::fputs("\r\n", stdout);
  } else {
    const char *type = zunboard_type_name();
    uint32_t time = systime();
    uint32_t optime = static_cast<uint32_t>(query_optime());
    std::printf("<system mode=\"normal\" version=\"%u.%u.%u b%03u (%s)\" time=\"%u\" sms=\"true\" "
                "optime=\"%u\" >",
                VERSION_MAJOR, VERSION_MINOR, VERSION_PATCH, VERSION_BUILD, type, time, optime);
    forward_run(&settings_getsettings);
  }
  forward_run(&kDump);
  std::fputs(txt ? "\r\n" : "</system>\r\n", stdout);
  return 0;
}

// settings?k=KEY: the settings backup archive that backup.sh makes.
int files_settings()
{
  if (rights_check("settings", SEC_ALL, LEVEL_WRITE) != 0) {
    std::fputs("Status: 403\r\n\r\nYou don't have administrative privileges to download this file\r\n",
               stdout);
    return 0;
  }
  if (forward_run(&kBackup) != 0)
    return reply_text(TXT_NOT_LOADED);
  Fd fd;
  long long size = zunfile_open(FILE_SETTINGS_ARCHIVE, fd);
  char line[128];
  if (size < 0) {
    zun_format(line, sizeof line, "File %s not found", FILE_SETTINGS_ARCHIVE);
    zunlog_message("error", line, 8);
    std::fputs(STATUS_500, stdout);
    return 0;
  }
  zun_format(line, sizeof line, "File settings %s(%lld bytes) was downloaded\n", "settings.orv", size);
  zunlog_message("message", line, 8);
  if (size == 0) {
    std::fputs(STATUS_500, stdout);
    return 0;
  }
  // With its own status line, as the other whole-file downloads: a web
  // server takes a bare "200 OK" line for the start of the body and would
  // hand the headers to the browser inside the archive.
  std::fputs(DIRECT, stdout);
  send_direct(fd, size, kSettingsHead);
  return 0;
}

// map?k=KEY: the floor map picture (no content type).
int files_map()
{
  if (rights_check("map", SEC_SESSION_ONLY, LEVEL_READ) != 0) {
    std::fputs(STATUS_403, stdout);
    return 0;
  }
  Fd fd;
  long long size = zunfile_open(FILE_MAP, fd);
  if (size < 0) {
    std::fputs("Status: 404\r\n\r\n", stdout);
    return 0;
  }
  std::fputs("Status: 200\r\n\r\n", stdout);
  send_file(fd, size, MAP_PIECE);
  return 0;
}

// image: the latest camera picture, for anyone.
int files_image()
{
  std::fputs(DIRECT, stdout);
  send_direct_path(FILE_PICTURE, kImageHead);
  return 0;
}

// db?k=KEY: the key database file.
int files_db()
{
  bool allowed = rights_check("", SEC_ACCESSKEYS, LEVEL_READ) == 0;
  if (!allowed)
    std::fputs(STATUS_403, stdout);
  std::fputs(DIRECT, stdout);
  if (allowed)
    send_direct_path(FILE_KEYS_DB, kKeysDbHead);
  return 0;
}

// language?filename=NAME: one language file, for anyone.
int files_language()
{
  const char *name = param_get("filename");
  char path[LANGUAGE_PATH_SIZE];
  std::fputs(DIRECT, stdout);
  if (!language_path(LANGUAGE_DIR, name, path)) {
    std::fputs(STATUS_403, stdout);
    return 0;
  }
  send_direct_path(path, kLanguageHead, name);
  return 0;
}

// querytype getlanguage[&filename=NAME]: one language file whole, or the
// list of the installed ones with the attributes of their <language>
// element.
int files_getlanguage(const fwd_command *)
{
  const char *name = param_get("filename");
  if (name != nullptr) {
    char path[LANGUAGE_PATH_SIZE];
    Fd fd;
    long long size = language_path(LANGUAGE_DIR, name, path) ? zunfile_open(path, fd) : -1;
    if (size <= 0)
      return reply_text("wrong file of language");
    return send_file(fd, size, COMMAND_BUFFER_SIZE) ? 0 : -1;
  }
  std::vector<std::string> names;
  if (zunfile_list(LANGUAGE_DIR, names) != 0)
    return reply_text("no languages installed");
  std::fputs("<languages>\n", stdout);
  for (const std::string &entry : names) {
    if (entry.find(".xml") == std::string::npos)
      continue;
    char attrs[256] = "";
    conf_read rec = {"<language", " ", ">", attrs, sizeof attrs};
    helpers_conf_read(&rec, (LANGUAGE_DIR + entry).c_str());
    std::fputs("<language filename=\"", stdout);
    print_attr_text(entry.c_str());
    std::printf("\" %s />\n", attrs);
  }
  std::fputs("</languages>\n", stdout);
  return 0;
}
