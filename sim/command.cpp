// Command parsing and the reply helpers shared by every stand-in.
#include "sim.h"

#include "xmlhelpers.h"

#include <cstdlib>
#include <expat.h>

namespace sim {

const std::string *Element::find(std::string_view key) const
{
  for (const auto &kv : attrs)
    if (kv.first == key)
      return &kv.second;
  return nullptr;
}

std::string Element::get(std::string_view key, std::string_view dflt) const
{
  const std::string *v = find(key);
  return v ? *v : std::string(dflt);
}

namespace {

struct ParseState {
  Command *cmd;
  int depth = 0;
  bool have_root = false;
};

void XMLCALL on_start(void *data, const XML_Char *name, const XML_Char **atts)
{
  auto *st = static_cast<ParseState *>(data);
  Element el;
  el.name = name;
  for (size_t i = 0; atts[i] != nullptr && atts[i + 1] != nullptr; i += 2)
    el.attrs.emplace_back(atts[i], atts[i + 1]);
  if (!st->have_root) {
    st->cmd->root = std::move(el);
    st->have_root = true;
  } else {
    st->cmd->children.push_back(std::move(el));
  }
  st->depth++;
}

void XMLCALL on_end(void *data, const XML_Char *)
{
  auto *st = static_cast<ParseState *>(data);
  st->depth--;
}

}  // namespace

bool parse_command(std::string_view text, Command *cmd)
{
  *cmd = Command{};
  cmd->text = std::string(text);
  XML_Parser p = XML_ParserCreate("UTF-8");
  if (p == nullptr)
    return false;
  ParseState st{cmd};
  XML_SetUserData(p, &st);
  XML_SetElementHandler(p, on_start, on_end);
  XML_Parse(p, text.data(), static_cast<int>(text.size()), 1);
  XML_ParserFree(p);
  return st.have_root;
}

std::string xml_escape(std::string_view text)
{
  std::string in(text);
  std::string out(in.size() * 6 + 1, '\0');
  helpers_xml_name(in.c_str(), out.data(), out.size());
  out.resize(std::char_traits<char>::length(out.c_str()));
  return out;
}

std::string error_reply(std::string_view text)
{
  return "<error type=\"" + xml_escape(text) + "\" />";
}

void append_attr(std::string &out, std::string_view name, std::string_view value)
{
  out += ' ';
  out += name;
  out += "=\"";
  out += xml_escape(value);
  out += '"';
}

int reply_no_error(const Command &, std::string &reply)
{
  reply = kNoError;
  return 0;
}

void attrs_set(Attrs &list, const std::string &k, const std::string &v)
{
  for (auto &kv : list)
    if (kv.first == k) {
      kv.second = v;
      return;
    }
  list.emplace_back(k, v);
}

long parse_long(std::string_view text, long dflt)
{
  std::string s(text);
  char *end = nullptr;
  long v = std::strtol(s.c_str(), &end, 10);
  if (s.empty() || end == s.c_str())
    return dflt;
  return v;
}

}  // namespace sim
