// Mail notifiers: the record's attributes, description and settings line;
// firing, which builds one sendmail command line per recipient; the mail
// sender, which runs them in order and logs each outcome; and the test mail.
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

#include "daemon.h"
#include "commands.h"
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

constexpr size_t RECORD_SIZE = 16704;
constexpr size_t COMMAND_AREA = RECORD_SIZE - RECORD_NAME;
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

// Queues one record per recipient: `head` (the message part), then the
// recipient's transport part. False when a record could not be queued.
void queue_for_recipients(const mail_notifier &m, const std::string &head)
{
  char record[RECORD_SIZE];
  for (size_t i = 0; i < NOTIFIER_RECIPIENTS && m.recipients[i] != nullptr; i++) {
    if (notifier_is_option(m.recipients[i])) {  // refused where it is set; never an option
      heraldd_log("error", "Send mail '%s' error: recipient '%s' refused", m.head.name, m.recipients[i]);
      continue;
    }
    std::string command = head + transport(m, m.recipients[i]);
    if (command.size() >= COMMAND_AREA)
      continue;  // cannot happen with the fields' widths; never sent cut
    std::memset(record, 0, sizeof record);
    strlcpy(record, m.head.name, RECORD_NAME);
    std::memcpy(record + RECORD_NAME, command.data(), command.size());
    sender_queue(mail_sender, record);
  }
}

// Runs a command on the firing thread (the clip script, makemime).
int run_here(const std::string &command)
{
  return zunrun_shell(command.c_str(), 128, [](void *, const char *, size_t) {}, nullptr, nullptr);
}

// The outcome of one mail command, judged from its output.
void run_record(sender &s, char *record)
{
  std::string output;
  if (sender_run_command(s, record, output) < 0)
    heraldd_log("error", "Send SNMP mail '%s' error", record);
  else if (output.empty() || output.find("return:1") != std::string::npos ||
           output.find("Timeout") != std::string::npos)
    heraldd_log("message", "The mail '%s' was sent", record);
  else
    heraldd_log("error", "Send mail '%s' error: %s", record, output.c_str());
}

// Every applying checks for the mail program first: without it nothing can
// be sent, and the command that created or changed the notifier says so.
int fire(notifier &n, const char **attrs)
{
  if (access(zunpath(SENDMAIL).c_str(), F_OK) != 0) {
    zunlog_message("error", "Send mail error: \"/usr/sbin/sendmail\" not found\n", 8);
    return -1;
  }
  auto &m = reinterpret_cast<mail_notifier &>(n);
  if (n.value == STATE_ON) {
    const char *text = key_find(attrs, "textready");
    m.text = text != nullptr ? text : "";
    zunmail_queue_text(m);
    m.text = nullptr;
  } else if (n.value == STATE_PULSE) {
    zunmail_queue_video(m);
  }
  return 0;
}

}  // namespace

const char *heraldd_hostname = "Orvane NMS";
sender mail_sender{"mail", RECORD_SIZE, 65536, run_record};

int zunmail_queue_text(mail_notifier &m)
{
  std::string head = "echo -e \"From:" + zunrun_in_echo(one_line(m.from)) + "\\nSubject: " +
                     zunrun_in_echo(one_line(heraldd_hostname)) + " EMS '" +
                     zunrun_in_echo(one_line(m.head.name)) +
                     "' notice\\nDate: `date -R`\\nContent-Type: text/plain; charset=UTF-8\\n\\n";
  std::string tail = "\\n.\\n\" | " + zunrun_arg(zunpath(SENDMAIL)) + " -w 30";
  // The longest transport part of the recipients bounds the ready text.
  size_t longest = 0;
  for (size_t i = 0; i < NOTIFIER_RECIPIENTS && m.recipients[i] != nullptr; i++)
    longest = std::max(longest, transport(m, m.recipients[i]).size());
  size_t fixed = head.size() + tail.size() + longest;
  if (fixed >= COMMAND_AREA)
    return 0;
  head += zunrun_fit(m.text != nullptr ? m.text : "", COMMAND_AREA - 1 - fixed, zunrun_in_echo) + tail;
  queue_for_recipients(m, head);
  return 0;
}

int zunmail_queue_video(mail_notifier &m)
{
  run_here("clipbuild.sh");
  std::string clip = zunpath(CLIP);
  if (access(clip.c_str(), R_OK) != 0) {
    heraldd_log("send mail error", "Send mail '%s' error: no video", m.head.name);
    return 0;
  }
  std::string message = zunpath(MESSAGE_FILE);
  run_here("makemime -c \"video/ogg\" -o " + zunrun_arg(message) + " -a \"From: " +
           zunrun_in_double_quotes(one_line(m.from)) + "\" -a \"Subject: " +
           zunrun_in_double_quotes(one_line(heraldd_hostname)) + " EMS '" +
           zunrun_in_double_quotes(one_line(m.head.name)) +
           "' video notification\" -a \"Date: `date -R`\" " + zunrun_arg(clip));
  queue_for_recipients(m, "cat " + zunrun_arg(message) + " | " + zunrun_arg(zunpath(SENDMAIL)) + " -w 20");
  return 0;
}

// <testmail ... />: the test mail's body is the notifier's message.
static int send_test(notifier &n)
{
  auto &m = reinterpret_cast<mail_notifier &>(n);
  std::string text = std::string("This is a test message:\n\n") + m.message;
  m.text = text.c_str();
  zunmail_queue_text(m);
  m.text = nullptr;
  return 0;
}

int zunmail_cmd_test(xml_channel *ch, const char **attrs)
{
  return notifier_cmd_test(ch, mail_kind, 0, attrs, send_test);
}

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
