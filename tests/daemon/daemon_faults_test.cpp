// The daemons' save paths under failing system calls: each operation runs
// once counting its fallible calls, then once with each of them failing in
// turn, in a daemon started for that run. "No error" must mean stored; a
// failure must leave the old state whole, the daemon serving, and nothing
// behind after the next start.
#include "../heraldd/heraldd_fixture.h"
#include "../warderd/warderd_fixture.h"
#include "fault_driver.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <regex>
#include <sys/stat.h>

namespace {

const std::string kTestOk = "<error type='Test ok' />";
const std::string kKey = "0A0B0C0D0E0F";
constexpr const char *ACCESS_DB = "/mnt/jffs/etc/access.sqlite";

struct Row {
  const char *name;
  const char *daemon;  // "heraldd" or "warderd"
  const char *scope;   // the operation the plan waits for
  std::vector<std::string> before;  // commands sent first, outside the scope
  std::string command;  // the operation ("" for a start or a learned key)
  std::string after;    // asked after it: a reply that tells what happened
};

const Row kRows[] = {
    {"heraldd save", "heraldd", "save", {"<addmail name=\"N\" to=\"a@x.org\" />"}, "<save />", ""},
    {"heraldd start", "heraldd", "start", {}, "", "<test />"},
    {"warderd key add", "warderd", "keysadd", {}, "<keysadd key=\"BBBBBBBBBBBB\" name=\"Bo\" />", ""},
    {"warderd key replace", "warderd", "keysadd", {}, "<keysadd key=\"" + kKey + "\" name=\"Al2\" />", ""},
    {"warderd key delete", "warderd", "keysdelete", {}, "<keysdelete key=\"" + kKey + "\" />", ""},
    {"warderd learning write", "warderd", "learn", {"<keysset state=\"add\" />"}, "", "<keysget />"},
    {"warderd start", "warderd", "start", {}, "", "<test />"},
};

// The keys as warderd keeps them, after what the next open of the
// database does (a hot journal rolled back), and its integrity check.
std::string key_rows(const zt::Root &root)
{
  return zt::db_rows(root, ACCESS_DB, "SELECT name, key FROM keys ORDER BY key");
}

// A daemon of either kind, restarted for every run.
class Daemon {
public:
  explicit Daemon(const std::string &name) : name_(name)
  {
    if (name == "heraldd")
      heraldd_ = std::make_unique<ht::Heraldd>(false);
    else
      warderd_ = std::make_unique<wt::Warderd>();
  }
  bool start(const std::string &plan)
  {
    std::map<std::string, std::string> env;
    if (!plan.empty())
      env["APPLIANCE_FAULT"] = plan;
    if (heraldd_)
      return heraldd_->start({}, env);
    warderd_->start({}, env);
    return warderd_->up();
  }
  const zt::Root &root() const { return heraldd_ ? heraldd_->root() : warderd_->root(); }
  zt::Process &proc() { return heraldd_ ? heraldd_->proc() : warderd_->proc(); }
  std::string cmd(const std::string &c) const { return heraldd_ ? heraldd_->cmd(c) : warderd_->cmd(c); }
  int stop() { return heraldd_ ? heraldd_->stop() : warderd_->stop(); }
  void lay() const { warderd_->lay(kKey); }
  void take() const { warderd_->take(); }
  // What the daemon stores: heraldd's settings file, its mode (without the
  // module numbers the element database gives at every start), warderd's
  // keys.
  std::string state() const
  {
    static const std::regex module(" module =\"[0-9]+\"");
    if (!heraldd_)
      return key_rows(root());
    struct stat st {};
    stat(root().file(ht::SETTINGS).c_str(), &st);
    return std::to_string(st.st_mode & 07777) + " " + std::regex_replace(root().read(ht::SETTINGS), module, "");
  }
  void restore(const std::string &bytes) const { root().write(heraldd_ ? ht::SETTINGS : ACCESS_DB, bytes); }
  std::string stored_bytes() const { return root().read(heraldd_ ? ht::SETTINGS : ACCESS_DB); }
  std::string lock_file() const { return "/tmp/" + name_ + ".lock"; }

private:
  std::string name_;
  std::unique_ptr<ht::Heraldd> heraldd_;
  std::unique_ptr<wt::Warderd> warderd_;
};

// What a save or a change leaves beside the stored file when it stops
// half way: a temporary copy, a journal.
std::string leftovers(const zt::Root &root)
{
  std::string out;
  for (const auto &e : std::filesystem::directory_iterator(root.file("/mnt/jffs/etc")))
    if (std::string name = e.path().filename(); name.find(".saving-") != std::string::npos ||
                                                name.find("-journal") != std::string::npos)
      out += " " + name;
  return out;
}

struct Outcome {
  std::string reply, state;
  zt::SeamReport seam;
};

// One run of a row under a plan ("" runs it unarmed), from the stored
// bytes `old`.
Outcome run(Daemon &d, const Row &row, const std::string &old, const std::string &plan)
{
  d.restore(old);
  Outcome o;
  bool up = d.start(plan.empty() ? "" : plan + "@" + row.scope);
  auto seam_line = [&] {
    o.seam = zt::seam_report(d.proc().err());
    return o.seam.calls >= 0;
  };
  if (std::string(row.scope) == "start") {
    o.reply = up ? d.cmd(row.after) : "exit " + std::to_string(d.proc().wait());
    o.state = d.root().exists(d.lock_file()) ? d.root().read(d.lock_file()) : "no lock file";
    if (up)
      o.state = o.state == std::to_string(d.proc().pid()) + "\n" ? "its number" : "lock file: " + o.state;
    zt::wait_for(seam_line);
    if (up) {
      EXPECT_EQ(d.stop(), 0) << row.name << " " << plan;
    }
    EXPECT_FALSE(d.root().exists(d.lock_file())) << row.name << " " << plan;
    return o;
  }
  EXPECT_TRUE(up) << row.name << " " << plan << ": " << d.proc().err();
  EXPECT_EQ(leftovers(d.root()), "") << row.name << " " << plan << ": after the next start";
  for (const std::string &c : row.before)
    d.cmd(c);
  if (!row.command.empty())
    o.reply = d.cmd(row.command);
  else
    d.lay();
  EXPECT_TRUE(zt::wait_for(seam_line, std::chrono::seconds(10))) << row.name << " " << plan;
  if (!row.after.empty())
    o.reply = d.cmd(row.after);
  EXPECT_EQ(d.cmd("<test />"), kTestOk) << row.name << " " << plan;  // still serving
  EXPECT_EQ(d.stop(), 0) << row.name << " " << plan;
  if (row.command.empty())
    d.take();
  o.state = d.state();
  return o;
}

TEST(DaemonFaults, NoErrorMeansStoredAndAFailureKeepsTheOldState)
{
  std::map<std::string, std::unique_ptr<Daemon>> daemons;
  for (const char *name : {"heraldd", "warderd"}) {
    auto d = std::make_unique<Daemon>(name);
    ASSERT_TRUE(d->start(""));
    if (std::string(name) == "heraldd") {
      ASSERT_EQ(d->cmd("<addsms name=\"S\" to_phone=\"1\" />"), ht::kNoError);
      ASSERT_EQ(d->cmd("<save />"), "<error type='no error' />");
    } else
      ASSERT_EQ(d->cmd("<keysadd key=\"" + kKey + "\" name=\"Al\" />"), "<error type=\"no error\" />");
    ASSERT_EQ(d->stop(), 0);
    daemons[name] = std::move(d);
  }
  long points = 0;
  for (const Row &row : kRows) {
    Daemon &d = *daemons[row.daemon];
    const std::string old_bytes = d.stored_bytes();
    d.restore(old_bytes);
    const std::string old_state = std::string(row.scope) == "start" ? "no lock file" : d.state();
    Outcome done = run(d, row, old_bytes, "count");
    ASSERT_GT(done.seam.calls, 0) << row.name;
    ASSERT_NE(done.state, old_state) << row.name << ": the operation changes nothing";
    const std::vector<std::string> plans = zt::fault_plans(done.seam.calls);
    for (const std::string &plan : plans) {
      Outcome o = run(d, row, old_bytes, plan);
      std::string where = std::string(row.name) + " " + plan + " hit=" + o.seam.hit + " reply " + o.reply;
      if (o.reply == done.reply)
        EXPECT_EQ(o.state, done.state) << where << ": answered as done, yet not stored";
      else if (zt::after_the_store(o.seam.hit))
        EXPECT_TRUE(o.state == old_state || o.state == done.state) << where;
      else
        EXPECT_EQ(o.state, old_state) << where << ": a failure changed what was stored";
      if (o.seam.hit == "none") {
        EXPECT_EQ(o.reply, done.reply) << where << ": nothing failed, yet the operation did";
      }
    }
    points += long(plans.size());
    std::printf("%s: %ld calls, %zu runs\n", row.name, done.seam.calls, plans.size());
  }
  std::printf("%ld injection points\n", points);
  for (auto &[name, d] : daemons) {  // the last run's leftovers go at the next start
    ASSERT_TRUE(d->start(""));
    EXPECT_EQ(leftovers(d->root()), "") << name;
    EXPECT_EQ(d->stop(), 0);
  }
}

}  // namespace
