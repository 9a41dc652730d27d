// Appliance log: one entry per call to chronicled, syslog when it is down.
#include "zunlog.h"

#include "uds.h"
#include "xmlhelpers.h"
#include "zun_text.h"

#include <syslog.h>

namespace {

// chronicled answers at once; a log line must not hold a request or a
// command handler for the full client time-out.
constexpr int LOG_TIMEOUT_MS = 2000;

}  // namespace

int zunlog_message(const char *source, const char *text, int number)
{
  if (text == nullptr)
    text = "";
  // Log lines are cut at 511 characters by their writers; escaping may grow
  // a text six-fold, and the entry is cut at a whole entity beyond that.
  char source_xml[256];
  char text_xml[3072];
  char entry[4096];
  helpers_xml_name(text, text_xml, sizeof text_xml);
  BoundedText e(entry, sizeof entry);
  e.append("<entry ");
  if (source != nullptr) {
    helpers_xml_name(source, source_xml, sizeof source_xml);
    e.appendf("type=\"%s\" ", source_xml);
  }
  e.appendf("message=\"%s\" level=\"%d\" />", text_xml, number);
  if (udsclient_exchange_ms(CHRONICLED_SOCKET, entry, sizeof entry, LOG_TIMEOUT_MS) == 0)
    return 0;
  if (source != nullptr)
    syslog(LOG_INFO, "%s: %s", source, text);
  else
    syslog(LOG_INFO, "%s", text);
  return -1;
}
