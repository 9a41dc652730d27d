// Mail notifiers: the record's attributes, description and settings line,
// and the firing hook.
#include <cstddef>
#include <unistd.h>

#include "notifier.h"
#include "zun_path.h"
#include "zunlog.h"

namespace {

constexpr const char *SENDMAIL = "/usr/sbin/sendmail";

#define M(f) offsetof(mail_notifier, f)
#define H(f) offsetof(mail_notifier, head.f)

constexpr notifier_attr ATTRS[] = {
    {"name", set_kind::name, H(name), sizeof(notifier::name)},
    {"server", set_kind::text, M(server), sizeof(mail_notifier::server)},
    {"port", set_kind::number, M(port), sizeof(int32_t)},
    {"ssl_active", set_kind::ssl_active, M(ssl_active), 1},
    {"starttls", set_kind::starttls, M(starttls), 1},
    {"login", set_kind::text, M(login), sizeof(mail_notifier::login)},
    {"password", set_kind::text, M(password), sizeof(mail_notifier::password)},
    {"to", set_kind::list, M(to), sizeof(mail_notifier::to), M(recipient_buffer), M(recipients)},
    {"from", set_kind::text, M(from), sizeof(mail_notifier::from)},
    {"message", set_kind::utf8, M(message), sizeof(mail_notifier::message)},
    {"value", set_kind::state, H(value), sizeof(uint32_t)},
};

// The configuration part that the description and the settings line share.
#define MAIL_BODY                                                                     \
  {"\" server=\"", out_kind::text, M(server)}, {"\" port=\"", out_kind::i32, M(port)}, \
      {"\" ssl_active=\"", out_kind::flag, M(ssl_active)},                            \
      {"\" starttls=\"", out_kind::flag, M(starttls)},                                \
      {"\" login=\"", out_kind::text, M(login)},                                      \
      {"\" password=\"", out_kind::text, M(password)}, {"\" to=\"", out_kind::text, M(to)}, \
      {"\" from=\"", out_kind::text, M(from)}, {"\" message=\"", out_kind::text, M(message)}

constexpr line_field DESCRIPTION[] = {
    {"<element id=\"", out_kind::u32, H(id)}, {"\" module =\"", out_kind::u32, H(module)},
    {"\" num=\"", out_kind::u32, H(num)},     {"\" clas=\"", out_kind::clas, 0},
    {"\" type=\"", out_kind::type, 0},        {"\" name=\"", out_kind::text, H(name)},
    {"\" state=\"", out_kind::state, 0},      MAIL_BODY,
};

constexpr line_field SETTINGS[] = {
    {"\t\t<mail module =\"", out_kind::u32, H(module)}, {"\" num=\"", out_kind::u32, H(num)},
    {"\" name=\"", out_kind::text, H(name)},           MAIL_BODY,
};

#undef MAIL_BODY
#undef M
#undef H

void defaults(notifier &n) { reinterpret_cast<mail_notifier &>(n).port = 25; }

// Every applying checks for the mail program first: without it nothing can
// be sent, and the command that created or changed the notifier says so.
int fire(notifier &, const char **)
{
  if (access(zunpath(SENDMAIL).c_str(), F_OK) != 0) {
    zunlog_message("error", "Send mail error: \"/usr/sbin/sendmail\" not found\n", 8);
    return -1;
  }
  return 0;
}

}  // namespace

extern const notifier_kind mail_kind = {
    .noun = "mail",
    .type = 1,
    .module_num = 1,
    .module_name = "Mails",
    .default_name = "Email-%u",
    .record_size = sizeof(mail_notifier),
    .defaults = defaults,
    .attrs = ATTRS,
    .begin_command = nullptr,
    .fire = fire,
    .description = DESCRIPTION,
    .description_end = "\" />",
    .group_open = "\t<mails>\n",
    .group_close = "\t</mails>\n",
    .settings = SETTINGS,
    .settings_end = "\" />\n",
};
