// File uploads: the floor map, the key database, the firmware image and the
// language files, and the removal of a language file. Every upload answers
// with its own header block and one status element; a daemon's reply to the
// command that follows an upload is not shown (it would come in the way of
// those headers). A file is replaced only by a whole new one.
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "access_tables.h"
#include "families.h"
#include "files.h"
#include "params.h"
#include "request.h"
#include "rights.h"
#include "sql3.h"
#include "upload.h"
#include "zunfile.h"

namespace {

// Upload status: decides the reply word.
enum : int {
  ST_OK = 200,
  ST_FORMAT = 400,      // "wrong format"
  ST_DENIED = 403,      // the endpoint's refusal word
  ST_PERMISSION = 500,  // "permission denied"
  ST_FATAL = 503,       // "fatal error": the daemon that takes the file over is not there
};

constexpr const char *TXT_ACCESS_DENIED = "access denied";
constexpr const char *TXT_LANGUAGE_DENIED = "language denied";
constexpr unsigned MODE_SHARED = 0666;  // read by the browser, update.sh, stewardd
constexpr unsigned MODE_KEYS_DB = 0644;  // what SQLite gives a database it creates

constexpr fwd_command kParseError = {
    .opening = "<entry type=\"update error\" message=\"error parsing input\" />",
    .socket = SOCKET_CHRONICLED,
    .delivery = fwd_delivery::exchanged_only,
};
constexpr fwd_command kUpdate = {
    .opening = "<execute cmd=\"update.sh\" />",
    .socket = SOCKET_STEWARDD,
    .delivery = fwd_delivery::exchanged_only,
};

void print_status(int status, const char *denied)
{
  std::fputs("Expires: Thu, 19 Nov 1981 08:52:00 GMT\r\n"
             "Cache-Control:no-store, no-cache, must-revalidate, post-check=0, pre-check=0\r\n"
             "Pragma: no-cache\r\n"
             "Content-Type: text/xml\r\n"
             "\r\n",
             stdout);
  const char *word = status == ST_FORMAT       ? "wrong format"
                     : status == ST_DENIED     ? denied
                     : status == ST_PERMISSION ? "permission denied"
                                               : "fatal error";
  if (status == ST_OK)
    std::fputs("<error type=\"no error\" success=\"true\" />", stdout);
  else
    std::printf("<error type=\"%s\" success=\"false\" />", word);
  std::fputs("\r\n", stdout);
}

int store_map(const char *data, size_t n)
{
  if (!upload_is_jpeg(data, n) && !upload_is_png(data, n) && !upload_is_gif(data, n))
    return ST_FORMAT;
  return zunfile_replace(FILE_MAP, data, n, MODE_SHARED) == 0 ? ST_OK : ST_PERMISSION;
}

// The leading bytes say "SQLite"; the installer also makes sure that the
// body is a whole database of exactly those tables, so that neither a
// download cut short nor a foreign database takes the place of the door's
// keys.
int store_keys_db(const char *data, size_t n)
{
  if (n == 0 || !upload_is_sqlite(data, n))
    return ST_FORMAT;
  return sql3_install_image(FILE_KEYS_DB, data, n, kAccessTables, MODE_KEYS_DB) == 0 ? ST_OK : ST_FORMAT;
}

// update.sh starts only on a whole image.
int store_firmware(const char *data, size_t n)
{
  if (zunfile_replace(FILE_FIRMWARE, data, n, MODE_SHARED) != 0)
    return ST_PERMISSION;
  return forward_run(&kUpdate) == 0 ? ST_OK : ST_FATAL;
}

// Written whole into the upload's own folder, then moved into place by
// stewardd.
int store_language(const char *data, size_t n)
{
  char path[LANGUAGE_PATH_SIZE];
  if (n == 0)
    return ST_FORMAT;
  if (!language_path(LANGUAGE_UPLOAD_DIR, param_get("filename"), path) ||
      zunfile_private_folder(LANGUAGE_UPLOAD_DIR) != 0 ||
      zunfile_replace(path, data, n, MODE_SHARED) != 0)
    return ST_PERMISSION;
  BoundedText cmd(command_buffer, COMMAND_AREA);
  cmd.appendf("<execute cmd='mv %s %s' />", path, LANGUAGE_DIR);
  return forward_deliver(SOCKET_STEWARDD, fwd_delivery::exchanged_only) == 0 ? ST_OK : ST_FATAL;
}

struct upload_row {
  const char *request;  // the rights check's request name; null: no check
  int section;
  const char *denied;   // the word of status 403
  int (*store)(const char *data, size_t n);  // the status once the body is read and allowed
  bool parse_error_logged;  // a body that cannot be read: log entry, "permission denied"
};

constexpr upload_row kMapUpload = {"upload-map", SEC_ALL, TXT_ACCESS_DENIED, store_map, false};
constexpr upload_row kKeysDbUpload = {"upload-db", SEC_ACCESSKEYS, TXT_ACCESS_DENIED, store_keys_db,
                                      false};
constexpr upload_row kFirmwareUpload = {"upload-firmware", SEC_ALL, TXT_ACCESS_DENIED,
                                        store_firmware, true};
constexpr upload_row kLanguageUpload = {"upload-language", SEC_LANGUAGES, TXT_LANGUAGE_DENIED,
                                        store_language, false};

// The body first (its "k" part carries the session key), then the right,
// then the row's store; one status response.
int upload_run(const upload_row &row)
{
  const cgi_request &req = request();
  char *data = nullptr;
  long n = upload_read_file(req.content_type, req.content_length, &data);
  int status = n < 0 && errno == ST_PERMISSION ? ST_PERMISSION : ST_FORMAT;
  std::unique_ptr<char, void (*)(void *)> hold(data, std::free);
  if (n < 0) {
    if (row.parse_error_logged) {
      forward_run(&kParseError);
      status = ST_PERMISSION;
    }
  } else if (row.request != nullptr && rights_check(row.request, row.section, LEVEL_WRITE) != 0) {
    status = ST_DENIED;
  } else {
    status = row.store(data, static_cast<size_t>(n));
  }
  print_status(status, row.denied);
  return 0;
}

}  // namespace

// upload-map (multipart: k, filedata): a JPEG, PNG or GIF floor map.
int files_upload_map() { return upload_run(kMapUpload); }

// upload-db (multipart: k, filedata): a whole key database.
int files_upload_db() { return upload_run(kKeysDbUpload); }

// upload-firmware (multipart: k, filedata): the image, then update.sh.
int files_upload_firmware() { return upload_run(kFirmwareUpload); }

// upload-language?filename=NAME.xml (multipart: k, filedata): a language
// file.
int files_upload_language()
{
  char path[LANGUAGE_PATH_SIZE];
  const char *name = param_get("filename");
  size_t len = name != nullptr ? std::strlen(name) : 0;
  size_t suffix = std::strlen(LANGUAGE_SUFFIX);
  if (!language_path(LANGUAGE_DIR, name, path) || len <= suffix ||
      std::strcmp(name + len - suffix, LANGUAGE_SUFFIX) != 0) {
    print_status(ST_DENIED, TXT_LANGUAGE_DENIED);
    return 0;
  }
  return upload_run(kLanguageUpload);
}

// querytype dellanguage&filename=NAME: stewardd removes the language file.
int files_dellanguage(const fwd_command *)
{
  char path[LANGUAGE_PATH_SIZE];
  if (!language_path(LANGUAGE_DIR, param_get("filename"), path))
    return reply_text("wrong filename of language");
  BoundedText cmd(command_buffer, COMMAND_AREA);
  cmd.appendf("<execute cmd='rm -f %s' />", path);
  return forward_deliver(SOCKET_STEWARDD, fwd_delivery::exchanged_printed);
}
