// Virtual device commands (phantomd) and logic commands (registryd) through
// the real engine: exact command texts with their doubled blanks, outputs,
// missing parameters, daemons down, rights.
#include "families_env.h"

namespace {

using ft::Case;

class Virtual : public ft::FamilyTest {};

TEST_F(Virtual, PhantomdCommands)
{
  const std::vector<Case> cases = {
      {"querytype=addtimer&id=3&name=Night%2520shift&begin=22:00&end=06:00&days=1111100&mode=1", "phantomd",
       {"<addtimer  id=\"3\" name=\"Night shift\" begin=\"22:00\" end=\"06:00\" days=\"1111100\" mode=\"1\"/>"},
       ft::kNoError},
      {"querytype=addtimer", "phantomd", {"<addtimer />"}, ft::kNoError},
      {"querytype=deltimer&id=3", "phantomd", {"<deltimer id=\"3\" />"}, ft::kNoError},
      {"querytype=deltimer", "phantomd", {}, ft::kMissing},
      // Only the name is decoded again: a server or oid goes as parsed.
      {"querytype=addping&id=1&name=GW%2526co&period=60&rtt=200&server=host%2520x&reset=1", "phantomd",
       {"<addping  id=\"1\" name=\"GW&amp;co\" period=\"60\" rtt=\"200\" server=\"host%20x\" reset=\"1\" />"},
       ft::kNoError},
      {"querytype=addping", "phantomd", {"<addping  />"}, ft::kNoError},
      {"querytype=delping&id=1", "phantomd", {"<delping id=\"1\" />"}, ft::kNoError},
      {"querytype=delping", "phantomd", {}, ft::kMissing},
      {"querytype=addtrigger&id=2&name=T%253C1%253E&value=1&reverse=0", "phantomd",
       {"<addtrigger  id=\"2\" name=\"T&lt;1&gt;\" value=\"1\" reverse=\"0\" />"}, ft::kNoError},
      {"querytype=deltrigger&id=2", "phantomd", {"<deltrigger id=\"2\" />"}, ft::kNoError},
      {"querytype=deltrigger", "phantomd", {}, ft::kMissing},
      {"querytype=addsnmpget&id=4&name=UPS&period=30&server=10.0.0.2&port=161&comunity=public"
       "&oid=1.3.6.1.2.1.33.1.2.4.0%2520&vartype=int&low_alarm=1&low_warning=2&high_warning=8&high_alarm=9"
       "&expr=x%2A2&reset=0",
       "phantomd",
       {"<addsnmpget  id=\"4\" name=\"UPS\" period=\"30\" server=\"10.0.0.2\" port=\"161\" comunity=\"public\" "
        "oid=\"1.3.6.1.2.1.33.1.2.4.0%20\" vartype=\"int\" low_alarm=\"1\" low_warning=\"2\" high_warning=\"8\" "
        "high_alarm=\"9\" expr=\"x*2\" reset=\"0\" />"},
       ft::kNoError},
      {"querytype=delsnmpget&id=4", "phantomd", {"<delsnmpget id=\"4\" />"}, ft::kNoError},
      {"querytype=delsnmpget", "phantomd", {}, ft::kMissing},
  };
  run_cases(cases);
}

TEST_F(Virtual, LogicCommands)
{
  const std::vector<Case> cases = {
      {"querytype=getlogic", "registryd", {"<getlogic  />"}, "<logics state=\"on\"></logics>"},
      {"querytype=addlogic", "registryd", {"<addlogic />"}, "<error type=\"no error\" id=\"1\" />"},
      // The rule as parsed, the name decoded again and escaped.
      {"querytype=addlogic&logic=if%2520a%253E1&name=Door%2520%2526%2520light&timeout=30", "registryd",
       {"<addlogic logic=\"if%20a%3E1\" name=\"Door &amp; light\" timeout=\"30\" />"},
       "<error type=\"no error\" id=\"2\" />"},
      {"querytype=addlogic&id=2&timeout=5", "registryd", {"<addlogic id=\"2\"  timeout=\"5\" />"},
       "<error type=\"no error\" id=\"2\" />"},
      {"querytype=getlogic&id=2", "registryd", {"<getlogic  id=\"2\"  />"},
       "<logic id=\"2\" name=\"Door &amp; light\" logic=\"if%20a%3E1\" timeout=\"5\" />"},
      {"querytype=disablelogic&id=2", "registryd", {"<addlogic id=\"2\"  />"}, "<error type=\"no error\" id=\"2\" />"},
      {"querytype=disablelogic&id=2&timeout=60", "registryd", {"<addlogic id=\"2\"  timeout=\"60\" />"},
       "<error type=\"no error\" id=\"2\" />"},
      {"querytype=disablelogic&timeout=60", "registryd", {}, ft::kMissing},
      {"querytype=offlogics", "registryd", {"<offlogics  />"}, ft::kNoError},
      {"querytype=getlogic", "registryd", {"<getlogic  />"},
       "<logics state=\"off\"><logic id=\"1\" name=\"\" logic=\"\" timeout=\"\" />"
       "<logic id=\"2\" name=\"Door &amp; light\" logic=\"if%20a%3E1\" timeout=\"60\" /></logics>"},
      {"querytype=offlogics&timeout=120", "registryd", {"<offlogics  timeout=\"120\" />"}, ft::kNoError},
      {"querytype=onlogics&timeout=1", "registryd", {"<onlogics />"}, ft::kNoError},
      {"querytype=dellogic&id=1", "registryd", {"<dellogic id=\"1\" />"}, ft::kNoError},
      {"querytype=dellogic&id=1", "registryd", {"<dellogic id=\"1\" />"}, "<error type=\"logic is not founded\" />"},
      {"querytype=dellogic", "registryd", {}, ft::kMissing},
      {"querytype=getlogic&id=%22%3E", "registryd", {"<getlogic  id=\"&quot;>\"  />"},
       "<error type=\"logic is not founded\" />"},
  };
  run_cases(cases);
}

TEST_F(Virtual, DaemonsDown)
{
  sim.fault("phantomd", "close");
  sim.fault("registryd", "close");
  for (const char *form : {"querytype=addtimer&id=1", "querytype=delsnmpget&id=1", "querytype=getlogic",
                           "querytype=addlogic&id=1", "querytype=disablelogic&id=1", "querytype=onlogics"})
    EXPECT_EQ(et::ask(root, key, form), ft::kNotLoaded) << form;
  EXPECT_EQ(sim.journal_of("phantomd").size(), 2u);
}

TEST_F(Virtual, Rights)
{
  expect_refused({"querytype=addtimer", "querytype=delping&id=1", "querytype=addsnmpget"}, "phantomd");
  expect_refused({"querytype=getlogic", "querytype=addlogic", "querytype=offlogics", "querytype=dellogic&id=1"},
                 "registryd");
  et::users_sql(root, "INSERT INTO SystemUsers (Valid,Name,Pass,SRead,SWrite) VALUES ('1','r','pw','logics,','devvirt,');");
  std::string r = et::login(root, "r", "pw");
  EXPECT_EQ(et::ask(root, r, "querytype=getlogic"), "<logics state=\"on\"></logics>");
  EXPECT_EQ(et::ask(root, r, "querytype=onlogics"), ft::kDenied);
  EXPECT_EQ(et::ask(root, r, "querytype=addtrigger"), ft::kNoError);
}

}  // namespace
