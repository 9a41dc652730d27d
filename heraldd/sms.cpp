// SMS notifiers: the record's attributes, description and settings line.
#include <cstddef>

#include "notifier.h"

namespace {

#define S(f) offsetof(sms_notifier, f)
#define H(f) offsetof(sms_notifier, head.f)

constexpr notifier_attr ATTRS[] = {
    {"name", set_kind::name, H(name), sizeof(notifier::name)},
    {"to_phone", set_kind::list, S(to_phone), sizeof(sms_notifier::to_phone), S(phone_buffer), S(phones)},
    {"message", set_kind::text, S(message), sizeof(sms_notifier::message)},
    {"value", set_kind::state, H(value), sizeof(uint32_t)},
};

constexpr line_field DESCRIPTION[] = {
    {"<element id=\"", out_kind::u32, H(id)}, {"\" module =\"", out_kind::u32, H(module)},
    {"\" num=\"", out_kind::u32, H(num)},     {"\" clas=\"", out_kind::clas, 0},
    {"\" type=\"", out_kind::type, 0},        {"\" name=\"", out_kind::text, H(name)},
    {"\" state=\"", out_kind::state, 0},      {"\" to_phone=\"", out_kind::text, S(to_phone)},
    {"\" message=\"", out_kind::text, S(message)},
};

constexpr line_field SETTINGS[] = {
    {"\t\t<sms module =\"", out_kind::u32, H(module)}, {"\" num=\"", out_kind::u32, H(num)},
    {"\" name=\"", out_kind::text, H(name)},          {"\" to_phone=\"", out_kind::text, S(to_phone)},
    {"\" message=\"", out_kind::text, S(message)},
};

#undef S
#undef H

void defaults(notifier &) {}

}  // namespace

extern const notifier_kind sms_kind = {
    .noun = "sms",
    .type = 3,
    .module_num = 3,
    .module_name = "SMSs",
    .default_name = "SMS-%u",
    .record_size = sizeof(sms_notifier),
    .defaults = defaults,
    .attrs = ATTRS,
    .begin_command = nullptr,
    .fire = nullptr,
    .description = DESCRIPTION,
    .description_end = "\" />",
    .group_open = "\t<smses>\n",
    .group_close = "\t</smses>\n",
    .settings = SETTINGS,
    .settings_end = "\" />\n",
};
