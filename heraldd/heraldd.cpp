// What the parts of heraldd share beyond the notifiers.
#include "heraldd.h"

#include <cstdarg>

#include "zun_text.h"
#include "zunlog.h"

const char *heraldd_hostname = "Orvane NMS";

void heraldd_log(const char *clas, const char *format, ...)
{
  char text[512];
  va_list ap;
  va_start(ap, format);
  BoundedText t(text, sizeof text);
  t.vappendf(format, ap);
  va_end(ap);
  zunlog_message(clas, text, 8);
}
