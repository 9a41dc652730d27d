// Log commands (chronicled) through the real engine: exact command texts,
// the stand-in's answers from its entries, chronicled down, rights.
#include <regex>

#include "families_env.h"

namespace {

using ft::Case;

const std::string kLevels =
    "<loglevel Emergency=\"1\" Alert=\"1\" Critical=\"1\" Error=\"1\" Warning=\"1\" Notice=\"1\" "
    "Informational=\"1\" Debug=\"0\" />";

class Log : public ft::FamilyTest {
protected:
  void add_entry(const std::string &message)
  {
    ASSERT_EQ(zt::exchange(root, "chronicled", "<entry type=\"message\" message=\"" + message + "\" level=\"8\" />"),
              ft::kNoError);
  }
};

TEST_F(Log, Commands)
{
  const std::vector<Case> cases = {
      {"querytype=clearlog", "chronicled", {"<clearlog />"}, ft::kNoError},
      {"querytype=logdate", "chronicled", {"<datelog />"}, "<datelog first=\"0\" last=\"0\" />"},
      {"querytype=log", "chronicled", {"<log  />"}, "<log total=\"0\" count=\"0\"></log>"},
      {"querytype=log&count=5&offset=2&time=100", "chronicled", {"<log  time=\"100\" offset=\"2\" count=\"5\" />"},
       "<log total=\"0\" count=\"0\"></log>"},
      {"querytype=loglevelget", "chronicled", {"<loglevelget />"}, kLevels},
      // Parameter names match without case; attribute names are written as the severities.
      {"querytype=loglevel&debug=1", "chronicled", {"<loglevel  Debug=\"1\" />"}, ft::kNoError},
      {"querytype=loglevel&INFORMATIONAL=0&notice=0&Warning=1&error=1&critical=1&alert=1&emergency=1&debug=0",
       "chronicled",
       {"<loglevel  Emergency=\"1\" Alert=\"1\" Critical=\"1\" Error=\"1\" Warning=\"1\" Notice=\"0\" "
        "Informational=\"0\" Debug=\"0\" />"},
       ft::kNoError},
      {"querytype=loglevel", "chronicled", {"<loglevel  />"}, ft::kNoError},
      {"querytype=loglevelget", "chronicled", {"<loglevelget />"},
       "<loglevel Emergency=\"1\" Alert=\"1\" Critical=\"1\" Error=\"1\" Warning=\"1\" Notice=\"0\" "
       "Informational=\"0\" Debug=\"0\" />"},
      {"querytype=log&count=%22%3E", "chronicled", {"<log  count=\"&quot;>\" />"},
       "<log total=\"0\" count=\"0\"></log>"},
  };
  run_cases(cases);
}

TEST_F(Log, EntriesAreAnsweredFromTheLog)
{
  EXPECT_EQ(et::ask(root, key, "querytype=clearlog"), ft::kNoError);
  add_entry("first");
  add_entry("second");
  add_entry("third");
  std::string out = et::ask(root, key, "querytype=log&count=1&offset=1");
  EXPECT_TRUE(std::regex_match(out, std::regex("<log total=\"3\" count=\"1\"><entry id=\"[0-9]+\" time=\"[0-9]+\" "
                                               "type=\"message\" message=\"second\" level=\"8\" /></log>")))
      << out;
  out = et::ask(root, key, "querytype=logdate");
  EXPECT_TRUE(std::regex_match(out, std::regex("<datelog first=\"[1-9][0-9]*\" last=\"[1-9][0-9]*\" />"))) << out;
  EXPECT_EQ(et::ask(root, key, "querytype=clearlog"), ft::kNoError);
  EXPECT_EQ(et::ask(root, key, "querytype=log"), "<log total=\"0\" count=\"0\"></log>");
}

TEST_F(Log, ChronicledDown)
{
  sim.fault("chronicled", "close");
  for (const char *form : {"querytype=log", "querytype=logdate", "querytype=clearlog", "querytype=loglevel&Debug=1",
                           "querytype=loglevelget"})
    EXPECT_EQ(et::ask(root, key, form), ft::kNotLoaded) << form;
}

TEST_F(Log, Rights)
{
  expect_refused({"querytype=log", "querytype=logdate", "querytype=clearlog", "querytype=loglevel&Debug=1",
                  "querytype=loglevelget"},
                 "chronicled");
  // log read may read, not clear; the levels need all, write.
  et::users_sql(root, "INSERT INTO SystemUsers (Valid,Name,Pass,SRead,SWrite) VALUES ('1','r','pw','log,','');"
                      "INSERT INTO SystemUsers (Valid,Name,Pass,SRead,SWrite) VALUES ('1','a','pw','all,','');");
  std::string r = et::login(root, "r", "pw");
  EXPECT_EQ(et::ask(root, r, "querytype=logdate").rfind("<datelog ", 0), 0u);
  EXPECT_EQ(et::ask(root, r, "querytype=clearlog"), ft::kDenied);
  std::string a = et::login(root, "a", "pw");
  EXPECT_EQ(et::ask(root, a, "querytype=loglevelget"), ft::kDenied);
}

}  // namespace
