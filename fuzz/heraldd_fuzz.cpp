// Fuzz target for heraldd's command and settings parsing: the whole tag
// table over an arbitrary settings file and an arbitrary request.
//
// Input: the settings file, a NUL byte, then the request (no NUL: all of it
// is the settings file). Checked: nothing crashes or reads past a buffer;
// every reply is one element; every notifier's description is well-formed
// XML; and what save writes loads back into the same settings (as a set of
// lines: without an element database, ids count down, so the order of a
// list turns round at each load).
#include "commands.h"
#include "daemon.h"
#include "notifier.h"

#include <net-snmp/net-snmp-config.h>
#include <net-snmp/net-snmp-includes.h>
#include <net-snmp/agent/net-snmp-agent-includes.h>

#include <expat.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

namespace {

notifier_list *const LISTS[] = {&zunmaillist, &zunsmslist, &zuntraplist};

struct text_source {
  const std::string *text;
  size_t at;
};

ssize_t read_text(void *ctx, void *buf, size_t size)
{
  auto *src = static_cast<text_source *>(ctx);
  size_t n = std::min(size, src->text->size() - src->at);
  std::memcpy(buf, src->text->data() + src->at, n);
  src->at += n;
  return static_cast<ssize_t>(n);
}

ssize_t collect(void *ctx, const void *buf, size_t count)
{
  static_cast<std::string *>(ctx)->append(static_cast<const char *>(buf), count);
  return static_cast<ssize_t>(count);
}

int closed(void *) { return 0; }

// heraldd's tag table without save, which belongs to the running frame (its
// savers are checked below).
std::vector<xml_tag> tags_without_save()
{
  std::vector<xml_tag> tags;
  for (size_t i = 0; i < heraldd_tags.count; i++)
    if (std::strcmp(heraldd_tags.tags[i].name, "save") != 0)
      tags.push_back(heraldd_tags.tags[i]);
  return tags;
}
const std::vector<xml_tag> TAGS = tags_without_save();
const xml_tag_table TABLE = {TAGS.size(), TAGS.data()};

// Runs a text through the tag table, as a settings file (every line) or as
// a connection's request (its first command); what the handlers wrote.
std::string run(const std::string &text, bool request = false)
{
  text_source src{&text, 0};
  std::string out;
  xml_channel ch{&TABLE, read_text, &src, collect, &out, closed};
  if (request)
    helpers_xml_parse_command(&ch);
  else
    helpers_xml_parse(&ch);
  return out;
}

bool well_formed(const std::string &text)
{
  XML_Parser p = XML_ParserCreate(nullptr);
  bool ok = XML_Parse(p, text.data(), static_cast<int>(text.size()), 1) == XML_STATUS_OK;
  XML_ParserFree(p);
  return ok;
}

// The notifiers' lines that the three savers write, sorted.
std::vector<std::string> saved_lines()
{
  std::string text;
  xml_channel ch{nullptr, nullptr, nullptr, collect, &text, closed};
  for (int (*saver)(xml_channel *) : {zunmail_list_save, zuntrap_list_save, zunsms_list_save})
    saver(&ch);
  std::vector<std::string> lines;
  for (size_t at = 0; at < text.size();) {
    size_t end = text.find('\n', at);
    if (text.compare(at, 3, "\t\t<") == 0)  // a notifier's line, not a group's
      lines.push_back(text.substr(at, end - at));
    at = end + 1;
  }
  std::sort(lines.begin(), lines.end());
  return lines;
}

void check_description(notifier &n, void *)
{
  if (!well_formed(notifier_describe(n)))
    std::abort();
}

void collect_id(notifier &n, void *ids) { static_cast<std::vector<uint32_t> *>(ids)->push_back(n.id); }

void clear_lists()
{
  for (notifier_list *list : LISTS) {
    std::vector<uint32_t> ids;
    notifier_list_each(*list, collect_id, &ids);
    for (uint32_t id : ids)
      notifier_list_delete(*list, id);
  }
}

struct setup {
  std::string root;
  setup()
  {
    // A root of its own: no element database, no log daemon, no mail program.
    char folder[] = "/tmp/hfuzz.XXXXXX";
    if (mkdtemp(folder) == nullptr)
      std::abort();
    root = folder;
    setenv("APPLIANCE_ROOT", folder, 1);
    daemon_socket = "/tmp/heraldd.socket";  // as the frame sets it before the start-up
    netsnmp_ds_set_boolean(NETSNMP_DS_APPLICATION_ID, NETSNMP_DS_AGENT_ROLE, 1);
    init_agent("heraldd-fuzz");
    for (notifier_list *list : LISTS)
      notifier_list_create(*list);
  }
  ~setup()
  {
    std::error_code ec;
    std::filesystem::remove_all(root, ec);
  }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  static setup once;
  std::string input(reinterpret_cast<const char *>(data), size);
  size_t nul = input.find('\0');
  run(input.substr(0, nul));
  if (nul != std::string::npos) {
    // The reply is one well-formed element, or nothing.
    std::string reply = run(input.substr(nul + 1), true);
    if (!reply.empty() && !well_formed(reply))
      std::abort();
  }
  for (notifier_list *list : LISTS)
    notifier_list_each(*list, check_description, nullptr);

  std::vector<std::string> first = saved_lines();
  std::string file;
  bool numbered = true;  // a notifier that got no number (-1) gets one when loaded
  for (const std::string &line : first) {
    file += line + "\n";
    numbered = numbered && line.find(" num=\"4294967295\"") == std::string::npos;
  }
  clear_lists();
  run("<settings>" + file + "</settings>");
  if (numbered && saved_lines() != first)
    std::abort();
  clear_lists();
  return 0;
}
