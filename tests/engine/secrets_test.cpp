// Secrets in replies (notifier and camera passwords, the SNMP write
// community, the dynamic-DNS and FTP passwords) reach only a session that
// may change them; readers get the same reply with those values empty.
#include "../engine_families/families_env.h"

namespace {

// A notifier's description as heraldd writes it; the message holds text that
// looks like a secret attribute and stays as it is.
const std::string kMail =
    "<element id=\"301\" module =\"101\" num=\"1\" clas=\"notifier\" type=\"mail\" name=\"Ops\" "
    "state=\"off\" server=\"smtp.x\" port=\"25\" ssl_active=\"false\" starttls=\"false\" login=\"ops\" "
    "password=\"s3cret\" to=\"a@x.org\" from=\"b@x.org\" message=\"password='not a secret'\" />"
    "<element id=\"302\" user=\"nms\" auth_pass='a&quot;p' priv_pass=\"pp\" />";
const std::string kMailHidden =
    "<element id=\"301\" module =\"101\" num=\"1\" clas=\"notifier\" type=\"mail\" name=\"Ops\" "
    "state=\"off\" server=\"smtp.x\" port=\"25\" ssl_active=\"false\" starttls=\"false\" login=\"ops\" "
    "password=\"\" to=\"a@x.org\" from=\"b@x.org\" message=\"password='not a secret'\" />"
    "<element id=\"302\" user=\"nms\" auth_pass='' priv_pass=\"\" />";

class Secrets : public ::testing::Test {
protected:
  void SetUp() override
  {
    root.write("/etc/registry.xml",
               "<registry><module id=\"101\" num=\"1\" class=\"1\" name=\"Mails\" socket=\"/tmp/heraldd.socket\" />"
               "<element id=\"301\" module=\"101\" num=\"1\" class=\"6\" type=\"1\" name=\"Ops\" "
               "socket=\"/tmp/heraldd.socket\" /></registry>");
    sim = std::make_unique<zt::Sim>(root);
    et::make_users(root, {{"1", "admin", "pw", "all,", "all,"},
                          {"1", "sysread", "pw", "system,elements,notify,", ""},
                          {"1", "syswrite", "pw", "", "system,"},
                          {"1", "notwrite", "pw", "", "notify,"},
                          {"1", "elwrite", "pw", "", "elements,"}});
    for (const char *name : {"admin", "sysread", "syswrite", "notwrite", "elwrite"})
      key[name] = et::login(root, name, "pw");
    ASSERT_FALSE(key["admin"].empty());
  }
  zt::Root root;
  std::unique_ptr<zt::Sim> sim;
  std::map<std::string, std::string> key;
};

TEST_F(Secrets, OnlyWritersSeeThem)
{
  ft::FakeDaemon heraldd(root, "heraldd", kMail);
  ASSERT_EQ(et::ask(root, key["admin"], "querytype=setsnmp&rwcommunity=w1&auth_pass=a1&priv_pass=p1"),
            ft::kNoError);
  ASSERT_EQ(et::ask(root, key["admin"], "querytype=setsettings&dyndns_user=u&dyndns_pass=d1"), ft::kNoError);
  const std::string snmp = "<snmp version=\"2\" rocommunity=\"public\" rwcommunity=\"%\" auth_pass=\"%\" "
                           "priv_pass=\"%\" />";
  auto with = [](std::string text, const std::vector<std::string> &values) {
    for (const std::string &v : values)
      text.replace(text.find('%'), 1, v);
    return text;
  };
  const struct {
    std::string user, form, out;
  } rows[] = {
      {"sysread", "querytype=getsnmp", with(snmp, {"", "", ""})},
      {"syswrite", "querytype=getsnmp", with(snmp, {"w1", "a1", "p1"})},
      {"sysread", "querytype=getsettings", "dyndns_user=\"u\" dyndns_pass=\"\" />"},
      {"syswrite", "querytype=getsettings", "dyndns_user=\"u\" dyndns_pass=\"d1\" />"},
      // An element's secrets go with the right to change that element: a
      // notifier's with notify, not with elements.
      {"sysread", "querytype=getelement&id=301", kMailHidden},
      {"elwrite", "querytype=getelement&id=301", kMailHidden},
      {"notwrite", "querytype=getelement&id=301", kMail},
      {"admin", "querytype=getelement&id=301", kMail},
  };
  for (const auto &r : rows) {
    std::string out = et::ask(root, key[r.user], r.form);
    if (r.form == "querytype=getsettings")
      out = out.substr(out.find("dyndns_user="));
    EXPECT_EQ(out, r.out) << r.user << " " << r.form;
  }
  // The settings in the configuration dump follow the same rule.
  std::string dump = zt::cgi(root, "k=" + key["sysread"], "", "dump").out;
  EXPECT_NE(dump.find(" dyndns_user=\"u\" dyndns_pass=\"\" />"), std::string::npos) << dump;
  // A reader whose daemon is down is told so, as a writer is.
  sim->fault("stewardd", "close");
  EXPECT_EQ(et::ask(root, key["sysread"], "querytype=getsnmp"), ft::kNotLoaded);
}

}  // namespace
