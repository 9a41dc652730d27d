// Error replies of engine. The texts of the codes live in one table; every
// reply is one `error` element written through stdio, so it keeps its place
// among the other output of the request.
#include "errors.h"

#include "xmlhelpers.h"
#include "zun_text.h"

#include <cstdio>

namespace {

struct ErrorRow {
  int code;
  const char *text;
};

constexpr ErrorRow error_rows[] = {
    {ZUN_OK, "no error"},
    {ZUN_ERR_DISABLED, "account disabled"},
    {ZUN_ERR_ACCESS, "access denied"},
    {ZUN_ERR_NO_SESSION, "session not found"},
    {ZUN_ERR_NO_PARAM, "missing parameter"},
    {ZUN_ERR_SESSION_SAVE, "session not saved"},
    {ZUN_ERR_SESSION_DIR, "session folder not available"},
    {ZUN_ERR_LOGIN, "wrong login or password"},
    {ZUN_ERR_RADIUS_DOWN, "authentication server not responding"},
    {ZUN_ERR_RADIUS_REJECT, "authentication server refused"},
    {ZUN_ERR_ACCESS_LIST, "access list not built"},
};

}  // namespace

const char *error_text(int code)
{
  for (const ErrorRow &row : error_rows)
    if (row.code == code)
      return row.text;
  // A code without a meaning of its own reads "error N"; per thread, so
  // that a text is never rewritten under another thread's reader.
  thread_local char other[32];
  zun_format(other, sizeof other, "error %d", code);
  return other;
}

void error_print(int code)
{
  if (code == 0)
    std::printf("<error type=\"%s\" />", error_text(code));
  else
    std::printf("<error type=\"%s\" code=\"%d\" />", error_text(code), code);
}

void error_printstr(const char *text)
{
  // The replies carry short texts; a longer one is cut at a whole entity.
  char escaped[2048];
  helpers_xml_name(text, escaped, sizeof escaped);
  std::printf("<error type=\"%s\" />", escaped);
}
