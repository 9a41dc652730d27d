// cellulard stand-in: queues the SMS it is given; anything else is
// acknowledged.
#include "sim.h"

namespace sim {

namespace {

struct Sms {
  std::string to_phone;
  std::string message;
};

std::mutex g_sms_lock;
std::vector<Sms> g_sms;

// <addsms to_phone="N" message="TEXT" />: queued; both fields required.
int cmd_addsms(const Command &cmd, std::string &reply)
{
  if (!cmd.root.has("to_phone") || !cmd.root.has("message")) {
    reply = error_reply("some parameters are not specified");
    return 0;
  }
  std::lock_guard<std::mutex> hold(g_sms_lock);
  g_sms.push_back({cmd.root.get("to_phone"), cmd.root.get("message")});
  reply = kNoError;
  return 0;
}

// <smsqueue />: the queued messages, oldest first.
int cmd_smsqueue(const Command &, std::string &reply)
{
  std::lock_guard<std::mutex> hold(g_sms_lock);
  reply = "<smsqueue count=\"" + std::to_string(g_sms.size()) + "\">";
  for (const auto &s : g_sms) {
    reply += "<sms";
    append_attr(reply, "to_phone", s.to_phone);
    append_attr(reply, "message", s.message);
    reply += " />";
  }
  reply += "</smsqueue>";
  return 0;
}

constexpr CommandRow kCellulard[] = {
    {"addsms", cmd_addsms},
    {"smsqueue", cmd_smsqueue},
};

}  // namespace

const CommandTable cellulard_table = make_table(kCellulard, reply_no_error);

}  // namespace sim
