// Trap notifiers: the record's attributes (and the macro values of the
// current command), description and settings line.
#include <cstddef>
#include <cstring>

#include "notifier.h"
#include "zun_text.h"

namespace {

#define T(f) offsetof(trap_notifier, f)
#define H(f) offsetof(trap_notifier, head.f)
#define TEXT(f) T(f), sizeof(trap_notifier::f)
#define MACRO(i) {"macro" #i, set_kind::text, T(macro) + (i - 3) * sizeof(trap_notifier::macro[0]), \
                  sizeof(trap_notifier::macro[0])}

constexpr notifier_attr ATTRS[] = {
    {"name", set_kind::name, H(name), sizeof(notifier::name)},
    {"server", set_kind::text, TEXT(server)},
    {"port", set_kind::number, T(port), sizeof(int32_t)},
    {"version", set_kind::text, TEXT(version)},
    {"comunity", set_kind::text, TEXT(comunity)},
    {"user", set_kind::text, TEXT(user)},
    {"level", set_kind::text, TEXT(level)},
    {"auth_type", set_kind::text, TEXT(auth_type)},
    {"auth_pass", set_kind::text, TEXT(auth_pass)},
    {"priv_type", set_kind::text, TEXT(priv_type)},
    {"priv_pass", set_kind::text, TEXT(priv_pass)},
    {"value", set_kind::state, H(value), sizeof(uint32_t)},
    {"message", set_kind::utf8, TEXT(message)},
    MACRO(3), MACRO(4), MACRO(5), MACRO(6), MACRO(7), MACRO(8),
};

constexpr line_field DESCRIPTION[] = {
    {"<element id=\"", out_kind::u32, H(id)},     {"\" module=\"", out_kind::u32, H(module)},
    {"\" num=\"", out_kind::u32, H(num)},         {"\" clas=\"", out_kind::clas, 0},
    {"\" type=\"", out_kind::type, 0},            {"\" name=\"", out_kind::text, H(name)},
    {"\" state=\"", out_kind::state, 0},          {"\" server=\"", out_kind::text, T(server)},
    {"\" port=\"", out_kind::i32, T(port)},       {"\" version=\"", out_kind::text, T(version)},
    {"\" comunity=\"", out_kind::text, T(comunity)}, {"\"  user=\"", out_kind::text, T(user)},
    {"\" level=\"", out_kind::text, T(level)},    {"\"  auth_type=\"", out_kind::text, T(auth_type)},
    {"\" auth_pass=\"", out_kind::text, T(auth_pass)}, {"\"  priv_type=\"", out_kind::text, T(priv_type)},
    {"\" priv_pass=\"", out_kind::text, T(priv_pass)}, {"\"  message=\"", out_kind::text, T(message)},
};

constexpr line_field SETTINGS[] = {
    {"\t\t<trap module=\"", out_kind::u32, H(module)}, {"\" num=\"", out_kind::u32, H(num)},
    {"\" name=\"", out_kind::text, H(name)},          {"\" server=\"", out_kind::text, T(server)},
    {"\" port=\"", out_kind::i32, T(port)},           {"\" version=\"", out_kind::text, T(version)},
    {"\" comunity=\"", out_kind::text, T(comunity)},  {"\" user=\"", out_kind::text, T(user)},
    {"\" level=\"", out_kind::text, T(level)},        {"\"  auth_type=\"", out_kind::text, T(auth_type)},
    {"\" auth_pass=\"", out_kind::text, T(auth_pass)}, {"\"  priv_type=\"", out_kind::text, T(priv_type)},
    {"\" priv_pass=\"", out_kind::text, T(priv_pass)}, {"\"  message=\"", out_kind::text, T(message)},
};

#undef MACRO
#undef TEXT
#undef T
#undef H

void defaults(notifier &n)
{
  auto &t = reinterpret_cast<trap_notifier &>(n);
  t.port = 25;
  strlcpy(t.version, "1", sizeof t.version);
  strlcpy(t.message, "Time: %3 Logic: %4, Element: %5, in state: %6, value: %7", sizeof t.message);
}

// The macro values belong to one command.
void begin_command(notifier &n)
{
  std::memset(reinterpret_cast<trap_notifier &>(n).macro, 0, sizeof(trap_notifier::macro));
}

}  // namespace

extern const notifier_kind trap_kind = {
    .noun = "trap",
    .type = 2,
    .module_num = 2,
    .module_name = "Traps",
    .default_name = "SNMP-%u",
    .record_size = sizeof(trap_notifier),
    .defaults = defaults,
    .attrs = ATTRS,
    .begin_command = begin_command,
    .fire = nullptr,
    .description = DESCRIPTION,
    .description_end = "\"  />",
    .group_open = "\t<traps>\n",
    .group_close = "\t</traps>\n",
    .settings = SETTINGS,
    .settings_end = "\" />\n",
};
