// Notifier commands (heraldd) and free SMS texts (cellulard) through the
// real engine: exact command texts, outputs, missing parameters, daemons
// down, rights.
#include <memory>

#include "families_env.h"
#include "../heraldd/heraldd_fixture.h"

namespace {

using ft::Case;

class Notify : public ft::FamilyTest {
protected:
  std::unique_ptr<ft::FakeDaemon> heraldd = std::make_unique<ft::FakeDaemon>(root, "heraldd", ft::kNoError);
};

TEST_F(Notify, HeralddCommands)
{
  const std::vector<Case> cases = {
      // Names, passwords and messages decoded twice and escaped; the rest as parsed.
      {"querytype=addmail&id=3&name=Ops%2520team&server=smtp.x&port=25&ssl_active=0&starttls=1"
       "&login=u&password=p%2526w&from=a%40b&to=c%2540d&message=Hi%2520%253Call%253E",
       "heraldd",
       {"<addmail  id=\"3\" name=\"Ops team\" server=\"smtp.x\" port=\"25\" ssl_active=\"0\" starttls=\"1\" "
        "login=\"u\" password=\"p&amp;w\" from=\"a@b\" to=\"c%40d\" message=\"Hi &lt;all&gt;\" />"},
       ft::kNoError},
      {"querytype=addmail", "heraldd", {"<addmail  />"}, ft::kNoError},
      {"querytype=AddMail&to=x&server=", "heraldd", {"<addmail  server=\"\" to=\"x\" />"}, ft::kNoError},
      {"querytype=delmail&id=7", "heraldd", {"<delmail id=\"7\" />"}, ft::kNoError},
      {"querytype=delmail", "heraldd", {}, ft::kMissing},
      {"querytype=addsms&id=1&name=On%2520call&to_phone=%2B4912%2C555&message=Alarm%2521", "heraldd",
       {"<addsms  id=\"1\" name=\"On call\" to_phone=\"+4912,555\" message=\"Alarm!\" />"}, ft::kNoError},
      {"querytype=delsms&id=2", "heraldd", {"<delsms id=\"2\" />"}, ft::kNoError},
      {"querytype=delsms&name=x", "heraldd", {}, ft::kMissing},
      {"querytype=addtrap&id=5&name=NMS&server=10.0.0.9&port=162&version=3&comunity=public&user=op"
       "&level=authPriv&auth_type=SHA&auth_pass=a1&priv_type=AES&priv_pass=p1&message=m%2526",
       "heraldd",
       {"<addtrap  id=\"5\" name=\"NMS\" server=\"10.0.0.9\" port=\"162\" version=\"3\" comunity=\"public\" "
        "user=\"op\" level=\"authPriv\" auth_type=\"SHA\" auth_pass=\"a1\" priv_type=\"AES\" "
        "priv_pass=\"p1\" message=\"m&amp;\" />"},
       ft::kNoError},
      {"querytype=deltrap&id=9", "heraldd", {"<deltrap id=\"9\" />"}, ft::kNoError},
      {"querytype=deltrap", "heraldd", {}, ft::kMissing},
      // The mail test escapes the password but sends the message as parsed.
      {"querytype=testmessage&type=mail&name=T&server=s&port=465&ssl_active=1&starttls=0&login=l"
       "&password=a%2526b&from=f&to=t&message=Hi%2520there&id=4",
       "heraldd",
       {"<testmail  name=\"T\" server=\"s\" port=\"465\" ssl_active=\"1\" starttls=\"0\" login=\"l\" "
        "password=\"a&amp;b\" from=\"f\" to=\"t\" message=\"Hi%20there\" />"},
       ft::kNoError},
      {"querytype=testmessage&type=trap&server=s&port=162&version=2&comunity=c&user=u&level=l"
       "&auth_type=MD5&auth_pass=ap&priv_type=DES&priv_pass=pp&message=ignored&name=ignored",
       "heraldd",
       {"<testtrap  server=\"s\" port=\"162\" version=\"2\" comunity=\"c\" user=\"u\" level=\"l\" "
        "auth_type=\"MD5\" auth_pass=\"ap\" priv_type=\"DES\" priv_pass=\"pp\" />"},
       ft::kNoError},
      {"querytype=testmessage&type=trap", "heraldd", {"<testtrap  />"}, ft::kNoError},
      // The type respects case, and is required.
      {"querytype=TestMessage&type=Mail&server=s", "heraldd", {}, "<error type=\"Invalid notification\" />"},
      {"querytype=testmessage&type=sms", "heraldd", {}, "<error type=\"Invalid notification\" />"},
      {"querytype=testmessage", "heraldd", {}, "<error type=\"Invalid notification\" />"},
      // A value can never end its attribute.
      {"querytype=addsms&to_phone=1%22%20x=%22y", "heraldd",
       {"<addsms  to_phone=\"1&quot; x=&quot;y\" />"}, ft::kNoError},
  };
  run_cases(cases, heraldd.get());
}

TEST_F(Notify, CommandsThatDoNotFitAreRefused)
{
  std::string lt, quotes;
  for (int i = 0; i < 10000; i++) {
    lt += "%3C";      // each becomes &lt; in the command
    quotes += "%22";  // each becomes &quot;
  }
  const std::string kTooLong = "<error type=\"command is too long\" />";
  EXPECT_EQ(et::ask(root, key, "querytype=addsms&message=" + lt), kTooLong);
  EXPECT_TRUE(heraldd->commands().empty());
  EXPECT_EQ(et::ask(root, key, "querytype=send_sms_message&to_phone=1&message=" + quotes), kTooLong);
  EXPECT_TRUE(sim.journal_of("cellulard").empty());
}

TEST_F(Notify, HeralddRepliesAreStreamedUnchanged)
{
  heraldd.reset();  // its socket goes with it
  heraldd = std::make_unique<ft::FakeDaemon>(root, "heraldd", "<error type=\"notifier is not founded\" />");
  EXPECT_EQ(et::ask(root, key, "querytype=delmail&id=99"), "<error type=\"notifier is not founded\" />");
}

TEST_F(Notify, HeralddDown)
{
  heraldd.reset();
  EXPECT_EQ(et::ask(root, key, "querytype=deltrap&id=1"), ft::kNotLoaded);
  for (const char *form : {"querytype=addmail&id=1", "querytype=delsms&id=1", "querytype=testmessage&type=trap"}) {
    ft::FakeDaemon closing{root, "heraldd", "", 0};  // gone with the command unread
    EXPECT_EQ(et::ask(root, key, form), ft::kNotLoaded) << form;
    EXPECT_EQ(closing.commands().size(), 1u) << form;
  }
}

TEST_F(Notify, SendSms)
{
  const std::vector<Case> cases = {
      {"querytype=send_sms_message&to_phone=111%2C%20222%3B%3B333&message=Hello", "cellulard",
       {"<addsms to_phone=\"111\" message=\"Hello\" />", "<addsms to_phone=\"222\" message=\"Hello\" />",
        "<addsms to_phone=\"333\" message=\"Hello\" />"},
       ft::kNoError},
      // Only the first five numbers; the message as parsed, never decoded again.
      {"querytype=send_sms_message&to_phone=1,2,3,4,5,6,7&message=a%2520b", "cellulard",
       {"<addsms to_phone=\"1\" message=\"a%20b\" />", "<addsms to_phone=\"2\" message=\"a%20b\" />",
        "<addsms to_phone=\"3\" message=\"a%20b\" />", "<addsms to_phone=\"4\" message=\"a%20b\" />",
        "<addsms to_phone=\"5\" message=\"a%20b\" />"},
       ft::kNoError},
      {"querytype=send_sms_message&to_phone=%2B4917&message=say%20%22hi%22%20%3Cnow%3E", "cellulard",
       {"<addsms to_phone=\"+4917\" message=\"say &quot;hi&quot; &lt;now>\" />"}, ft::kNoError},
      {"querytype=send_sms_message&to_phone=%20,;%20%09%0D%0A&message=x", "cellulard", {}, ""},
      {"querytype=send_sms_message&to_phone=111%09222%0D%0A333&message=x", "cellulard",
       {"<addsms to_phone=\"111\" message=\"x\" />", "<addsms to_phone=\"222\" message=\"x\" />",
        "<addsms to_phone=\"333\" message=\"x\" />"},
       ft::kNoError},
      {"querytype=send_sms_message&to_phone=&message=x", "cellulard", {}, ""},
      {"querytype=send_sms_message&to_phone=1", "cellulard", {}, ft::kMissing},
      {"querytype=send_sms_message&message=x", "cellulard", {}, ft::kMissing},
      {"querytype=send_sms_message&to_phone=" + std::string(2048, '9') + "&message=x", "cellulard", {},
       ft::kBadValue},
      {"querytype=send_sms_message&to_phone=" + std::string(2047, '9') + "&message=x", "cellulard",
       {"<addsms to_phone=\"" + std::string(2047, '9') + "\" message=\"x\" />"}, ft::kNoError},
  };
  run_cases(cases);
}

TEST_F(Notify, SendSmsStopsAtTheFirstFailedExchange)
{
  sim.stop();
  ft::FakeDaemon cellulard{root, "cellulard", ft::kNoError, 1};
  EXPECT_EQ(et::ask(root, key, "querytype=send_sms_message&to_phone=1;2;3&message=m"), ft::kNotLoaded);
  EXPECT_EQ(cellulard.commands(), (std::vector<std::string>{"<addsms to_phone=\"1\" message=\"m\" />",
                                                            "<addsms to_phone=\"2\" message=\"m\" />"}));
}

TEST_F(Notify, SendSmsCellulardDown)
{
  sim.fault("cellulard", "close");
  EXPECT_EQ(et::ask(root, key, "querytype=send_sms_message&to_phone=1;2&message=m"), ft::kNotLoaded);
  EXPECT_EQ(sim.journal_of("cellulard"), std::vector<std::string>{"<addsms to_phone=\"1\" message=\"m\" />"});
}

TEST_F(Notify, Rights)
{
  expect_refused({"querytype=addmail&id=1", "querytype=delsms&id=1", "querytype=testmessage&type=mail",
                  "querytype=deltrap&id=1"},
                 "heraldd", heraldd.get());
  expect_refused({"querytype=send_sms_message&to_phone=1&message=m"}, "cellulard");
  // notify without gsm: refused by the second check.
  et::users_sql(root, "INSERT INTO SystemUsers (Valid,Name,Pass,SRead,SWrite) VALUES ('1','n','pw','','notify,');"
                      "INSERT INTO SystemUsers (Valid,Name,Pass,SRead,SWrite) VALUES ('1','g','pw','','gsm,');"
                      "INSERT INTO SystemUsers (Valid,Name,Pass,SRead,SWrite) VALUES ('1','ng','pw','','notify,gsm,');");
  for (const char *name : {"n", "g"}) {
    std::string k = et::login(root, name, "pw");
    ASSERT_FALSE(k.empty());
    sim.clear_journal();
    EXPECT_EQ(et::ask(root, k, "querytype=send_sms_message&to_phone=1&message=m"), ft::kDenied) << name;
    EXPECT_TRUE(sim.journal_of("cellulard").empty());
  }
  std::string k = et::login(root, "ng", "pw");
  EXPECT_EQ(et::ask(root, k, "querytype=send_sms_message&to_phone=1&message=m"), ft::kNoError);
  // notify write alone is enough for heraldd's commands.
  k = et::login(root, "n", "pw");
  EXPECT_EQ(et::ask(root, k, "querytype=delmail&id=1"), ft::kNoError);
}

// The gateway in front of the real heraldd: what the browser sends is what
// the daemon keeps and describes.
TEST(NotifyWithHeraldd, AddChangeDescribeAndDelete)
{
  ht::Heraldd h;
  ASSERT_TRUE(h.start());
  et::make_users(h.root(), {{"1", "admin", "pw", "all", "all"}});
  std::string k = et::login(h.root(), "admin", "pw");
  ASSERT_FALSE(k.empty());
  const struct {
    std::string form, reply;
  } steps[] = {
      {"querytype=addmail&name=Ops%2520%2526%2520co&server=smtp.x&port=587&starttls=true&to=a%40x.org"
       "&password=p%2522w&message=Alarm%2520%253C%2525s%253E",
       ht::kNoError},
      {"querytype=addsms&to_phone=%2B4912%3B555&message=Hi", ht::kNoError},
      {"querytype=addtrap&name=NMS&server=10.0.0.9&version=2&comunity=public", ht::kNoError},
      {"querytype=addmail&id=104&from=me%40x.org", ht::kNoError},
      {"querytype=addmail&id=105&from=me%40x.org", "<error type=\"no such element\" />"},
      {"querytype=delsms&id=105", ht::kNoError},
      {"querytype=delsms&id=105", "<error type=\"no such element\" />"},
  };
  for (const auto &s : steps)
    EXPECT_EQ(et::ask(h.root(), k, s.form), s.reply) << s.form;
  EXPECT_EQ(h.cmd("<getelement element=\"104\" />"),
            "<element id=\"104\" module =\"101\" num=\"1\" clas=\"notifier\" type=\"mail\" "
            "name=\"Ops &amp; co\" state=\"off\" server=\"smtp.x\" port=\"587\" ssl_active=\"true\" "
            "starttls=\"true\" login=\"\" password=\"p&quot;w\" to=\"a@x.org\" from=\"me@x.org\" "
            "message=\"Alarm &lt;%s&gt;\" />");
  // The browser's getelement reaches the daemon through the element database.
  EXPECT_EQ(et::ask(h.root(), k, "querytype=getelement&id=104"), h.cmd("<getelement element=\"104\" />"));
  EXPECT_NE(h.cmd("<getelement element=\"106\" />")
                .find(" name=\"NMS\" state=\"off\" server=\"10.0.0.9\" port=\"25\" version=\"2\" comunity=\"public\" "),
            std::string::npos);
  EXPECT_EQ(et::ask(h.root(), k, "querytype=deltrap&id=106"), ht::kNoError);
  EXPECT_EQ(h.cmd("<getelement element=\"106\" />"), "<error type='element not found' />");
}

}  // namespace
