// The commands every daemon answers alike: test, updatemodule, getmodule;
// and the reply helpers the handlers share.
#include <cstring>

#include "daemon.h"
#include "uds.h"
#include "zun_text.h"

namespace {

constexpr const char *REGISTRYD_SOCKET = "/tmp/registryd.socket";
constexpr size_t GETMODULE_BUFFER = 512;
// An attribute value placed into a forwarded command, escaped; a value that
// does not fit is cut, so that the whole command always fits its buffer.
constexpr size_t FORWARD_VALUE = 200;

}  // namespace

ssize_t daemon_write(xml_channel *ch, std::string_view text)
{
  return ch->write(ch->write_ctx, text.data(), text.size());
}

int daemon_reply(xml_channel *ch, std::string_view text)
{
  daemon_write(ch, text);
  ch->close(ch->write_ctx);
  return 0;
}

// <test />
int daemon_cmd_test(xml_channel *ch, const char **)
{
  return daemon_reply(ch, "<error type='Test ok' />");
}

// <updatemodule ... />: the daemons have no module parameters of their own.
int daemon_cmd_updatemodule(xml_channel *ch, const char **)
{
  return daemon_reply(ch, "<error type='no custom parameters' />");
}

// <getmodule id="ID" [shortcut="S"] />: asks registryd and hands its answer
// on verbatim. The values are escaped again, so that each stays inside its
// own attribute of the forwarded command.
int daemon_cmd_getmodule(xml_channel *ch, const char **attrs)
{
  const char *id = key_find(attrs, "id");
  if (!id) {
    daemon_reply(ch, "<error type='wrong parameters' />");
    return -1;
  }
  const char *shortcut = key_find(attrs, "shortcut");

  char value[FORWARD_VALUE];
  char buf[GETMODULE_BUFFER];
  BoundedText cmd(buf, sizeof buf);
  cmd.appendf("<getmodule id=\"%s\" ", helpers_xml_name(id, value, sizeof value));
  if (shortcut)
    cmd.appendf(" shortcut=\"%s\"", helpers_xml_name(shortcut, value, sizeof value));
  cmd.append(" />");

  if (udsclient_exchange(REGISTRYD_SOCKET, buf, sizeof buf) != 0) {
    daemon_reply(ch, "<error type='module is not loaded' />");
    return -1;
  }
  daemon_reply(ch, std::string_view(buf, strnlen(buf, sizeof buf)));
  return 0;
}
