// A heraldd settings file with 999 notifiers of each kind, as the
// benchmarks load it: mails, then traps, then SMS (so after the modules
// 101-103 the element database gives the mails 104-1102, the traps
// 1103-2101 and the SMS 2102-3100).
#pragma once
#include <string>

inline constexpr int PER_KIND = 999;

inline std::string settings_file()
{
  std::string text = "<settings>\n\t<mails>\n";
  for (int n = 1; n <= PER_KIND; n++)
    text += "\t\t<mail module =\"101\" num=\"" + std::to_string(n) + "\" name=\"Mail " + std::to_string(n) +
            "\" server=\"smtp.example.com\" port=\"25\" ssl_active=\"true\" starttls=\"true\" login=\"ops\" "
            "password=\"secret\" to=\"a@example.com;b@example.com\" from=\"box@example.com\" "
            "message=\"Alarm on the appliance\" />\n";
  text += "\t</mails>\n\t<traps>\n";
  for (int n = 1; n <= PER_KIND; n++)
    text += "\t\t<trap module=\"103\" num=\"" + std::to_string(n) +
            "\" name=\"Trap\" server=\"192.0.2.1\" port=\"162\" version=\"3\" comunity=\"public\" user=\"nms\" "
            "level=\"priv\"  auth_type=\"SHA\" auth_pass=\"authpass\"  priv_type=\"AES\" priv_pass=\"privpass\"  "
            "message=\"Time: %3 Logic: %4\" />\n";
  text += "\t</traps>\n\t<smses>\n";
  for (int n = 1; n <= PER_KIND; n++)
    text += "\t\t<sms module =\"102\" num=\"" + std::to_string(n) +
            "\" name=\"Pager\" to_phone=\"+491701234567\" message=\"Alarm\" />\n";
  return text + "\t</smses>\n</settings>\n";
}
