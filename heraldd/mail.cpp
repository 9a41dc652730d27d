// Mail notifiers: the record's attributes, description and settings line;
// the sendmail command line of each recipient, the video clip and message
// of a pulse, and how a command's outcome is logged.
//
// No text of a notifier or a command changes what the shell runs: texts in
// the message go through echo's and the shell's quoting, arguments are quoted
// when they hold anything but plain characters, so ordinary values leave the
// command line exactly as it always was.
#include <algorithm>
#include <cstddef>
#include <cstring>
#include <string>
#include <unistd.h>
#include <vector>

#include "heraldd.h"
#include "notifier.h"
#include "sender.h"
#include "zun_path.h"
#include "zun_text.h"
#include "zunlog.h"
#include "zunrun.h"

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
    {"password", set_kind::text, M(password), sizeof(mail_notifier::password), 0, 0, ATTR_SECRET},
    {"to", set_kind::list, M(to), sizeof(mail_notifier::to), M(recipient_buffer), M(recipients),
     ATTR_WORD},
    {"from", set_kind::text, M(from), sizeof(mail_notifier::from)},
    {"message", set_kind::text, M(message), sizeof(mail_notifier::message)},
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

constexpr size_t COMMAND_AREA = 16640;  // the longest command line, as on the board
constexpr const char *CA_FILE = "/usr/ssl/ca-certificates.crt";
constexpr const char *CLIP = "/tmp/out.avi";
constexpr const char *MESSAGE_FILE = "/tmp/output.msg";

// A header value: a line end would start a header of its own.
std::string one_line(const char *text)
{
  std::string out(text);
  for (char &c : out)
    if (c == '\n' || c == '\r')
      c = ' ';
  return out;
}

// The transport and sender part of a command, for one recipient: the
// connection (directly with -S, or through the TLS helper with -H), the
// login, the password with a backslash before every character, the sender
// and the recipient.
std::string transport(const mail_notifier &m, const char *recipient)
{
  std::string out;
  std::string port = std::to_string(m.port);
  if (m.ssl_active) {
    // The helper's line is run by sendmail through a shell of its own: the
    // server is quoted for that shell, and the whole for ours.
    std::string helper = "exec openssl s_client -quiet -tls1 ";
    helper += m.starttls ? "-starttls smtp" : "";
    helper += " -connect " + zunrun_arg(m.server) + ":" + port;
    std::string ca = zunpath(CA_FILE);
    if (access(ca.c_str(), R_OK) == 0)
      helper += " -CAfile " + zunrun_arg(ca);
    out += " -H \"" + zunrun_in_double_quotes(helper) + "\" ";
  } else {
    out += " -S " + zunrun_arg(m.server) + ":" + port + " ";
  }
  if (m.login[0] != '\0')
    out += " -au" + zunrun_arg(m.login);
  if (m.password[0] != '\0') {
    out += " -ap";
    for (const char *p = m.password; *p != '\0'; p++)
      out += *p == '\n' ? std::string("'\n'") : std::string("\\") + *p;
  }
  out += " -f " + zunrun_arg(m.from) + " -t " + zunrun_arg(recipient) + " 2>&1";
  return out;
}

// The recipients that may stand on a command line.
std::vector<const char *> recipients(const mail_notifier &m)
{
  std::vector<const char *> out;
  for (size_t i = 0; i < NOTIFIER_RECIPIENTS && m.recipients[i] != nullptr; i++) {
    if (notifier_is_option(m.recipients[i]))  // refused where it is set; never an option
      heraldd_log("error", "Send mail '%s' error: recipient '%s' refused", m.head.name, m.recipients[i]);
    else
      out.push_back(m.recipients[i]);
  }
  return out;
}

// The message part of a text mail: the ready text cut (at a whole
// character) so that the command fits with the longest transport part.
std::string text_head(const mail_notifier &m, const std::string &text, size_t longest)
{
  std::string head = "echo -e \"From:" + zunrun_in_echo(one_line(m.from)) + "\\nSubject: " +
                     zunrun_in_echo(one_line(heraldd_hostname)) + " EMS '" +
                     zunrun_in_echo(one_line(m.head.name)) +
                     "' notice\\nDate: `date -R`\\nContent-Type: text/plain; charset=UTF-8\\n\\n";
  std::string tail = "\\n.\\n\" | " + zunrun_arg(zunpath(SENDMAIL)) + " -w 30";
  size_t fixed = head.size() + tail.size() + longest;
  if (fixed >= COMMAND_AREA)
    return "";
  return head + zunrun_fit(text, COMMAND_AREA - 1 - fixed, zunrun_in_echo) + tail;
}

// One command per recipient: the text mail, or the video message made by
// the pulse hook.
int commands(const notifier &n, const send_job &job, std::vector<send_command> &out)
{
  const auto &m = reinterpret_cast<const mail_notifier &>(n);
  std::vector<const char *> to = recipients(m);
  size_t longest = 0;
  for (const char *recipient : to)
    longest = std::max(longest, transport(m, recipient).size());
  std::string head = job.pulse ? "cat " + zunrun_arg(zunpath(MESSAGE_FILE)) + " | " + zunrun_arg(zunpath(SENDMAIL)) +
                                     " -w 20"
                               : text_head(m, job.text, longest);
  for (const char *recipient : to) {
    std::string command = head + transport(m, recipient);
    if (!head.empty() && command.size() < COMMAND_AREA)  // never sent cut
      out.push_back({recipient, std::move(command)});
  }
  return 0;
}

// Every applying checks for the mail program first: without it nothing can
// be sent, and the command that created or changed the notifier says so.
int ready(notifier &)
{
  if (access(zunpath(SENDMAIL).c_str(), F_OK) == 0)
    return 0;
  zunlog_message("error", "Send mail error: \"/usr/sbin/sendmail\" not found\n", 8);
  return -1;
}

// A video mail: the clip, then the message that carries it, made once for
// all recipients (one pulse job runs at a time: the files have fixed names).
int make_video(sender &s, notifier &n, std::atomic<pid_t> *running)
{
  auto &m = reinterpret_cast<mail_notifier &>(n);
  auto quiet = [](void *, const char *, size_t) {};
  zunrun_shell("clipbuild.sh", 128, quiet, nullptr, running, s.deadline_ms);
  std::string clip = zunpath(CLIP);
  if (access(clip.c_str(), R_OK) != 0) {
    heraldd_log("send mail error", "Send mail '%s' error: no video", m.head.name);
    return -1;
  }
  std::string message = "makemime -c \"video/ogg\" -o " + zunrun_arg(zunpath(MESSAGE_FILE)) + " -a \"From: " +
                        zunrun_in_double_quotes(one_line(m.from)) + "\" -a \"Subject: " +
                        zunrun_in_double_quotes(one_line(heraldd_hostname)) + " EMS '" +
                        zunrun_in_double_quotes(one_line(m.head.name)) +
                        "' video notification\" -a \"Date: `date -R`\" " + zunrun_arg(clip);
  zunrun_shell(message.c_str(), 128, quiet, nullptr, running, s.deadline_ms);
  return 0;
}

constexpr shell_outcome OUTCOME = {"The mail '%s' was sent", "Send mail '%s' error: %s", "Send SNMP mail '%s' error",
                                   "return:1"};

bool run(sender &s, const char *name, const send_command &c, std::atomic<pid_t> *running)
{
  return sender_run_shell(s, name, c.line, OUTCOME, COMMAND_AREA, running);
}

constexpr const char *SNMP_COLUMNS[] = {"server", "port", "login", "password", "to", "from", "message"};

sender mail_sender{"mail", 4, 65536, true, run};

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
    .ready = ready,
    .out = &mail_sender,
    .text_size = 0,
    .fired_field = NO_FIELD,
    .fired_size = 0,
    .commands = commands,
    .pulse = make_video,
    .test_text = "This is a test message:\n\n",
    .test_message = offsetof(mail_notifier, message),
    .test_id = 0,
    .snmp_columns = SNMP_COLUMNS,
    .description = DESCRIPTION,
    .description_end = "\" />",
    .group_open = "\t<mails>\n",
    .group_close = "\t</mails>\n",
    .settings = SETTINGS,
    .settings_end = "\" />\n",
};
