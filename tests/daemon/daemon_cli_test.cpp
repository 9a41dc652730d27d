// The frame's command line, single-instance lock file and stop, through
// testd run as a start-up script would run it.
#include <gtest/gtest.h>

#include <csignal>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "harness.h"
#include "testd_fixture.h"

using namespace frame_test;

namespace {

const std::string kUsage =
    "Usage: testd [options]\n\nOptions:\n-h | --help           print this message\n"
    "-m | --master         switch to a SNMP master agent mode\n-b | --background     run in the "
    "background\n-s | --syslog         use syslog\n-f | --settings-file  gauged file settings\n";
const std::string kUsageHostname = kUsage + "-H | --hostname       monitoring system hostname\n";

zt::RunResult run_testd(const zt::Root &root, std::vector<std::string> args,
                        const std::map<std::string, std::string> &extra = {})
{
  args.insert(args.begin(), "testd");
  return zt::run(zt::bin("testd"), args, env_with(root, extra));
}

struct UsageCase {
  std::vector<std::string> args;
  bool hostname_variant;
  int status;
  bool on_stdout;
};

TEST(DaemonCli, UsageTextsAndStatuses)
{
  zt::Root root;
  const UsageCase cases[] = {
      {{"-h"}, false, 0, true},
      {{"--help"}, false, 0, true},
      {{"-h"}, true, 0, true},
      {{"-s"}, false, 1, false},
      {{"-s"}, true, 1, false},
      {{"-x"}, false, 1, false},
      {{"--nosuch"}, false, 1, false},
      {{"-f"}, false, 1, false},
      {{"--settings-file"}, false, 1, false},
      {{"-H", "nms"}, false, 1, false},         // only the -H daemon has it
      {{"--hostname", "nms"}, false, 1, false},
      {{"-H"}, true, 1, false},                 // missing argument
      {{"-m", "-s"}, false, 1, false},
  };
  for (const auto &c : cases) {
    std::map<std::string, std::string> extra;
    if (c.hostname_variant)
      extra["TESTD_HOSTNAME"] = "1";
    auto r = run_testd(root, c.args, extra);
    std::string what = c.args[0] + (c.hostname_variant ? " (with -H)" : "");
    const std::string &usage = c.hostname_variant ? kUsageHostname : kUsage;
    EXPECT_EQ(r.status, c.status) << what;
    EXPECT_EQ(r.out, c.on_stdout ? usage : "") << what;
    EXPECT_EQ(r.err, c.on_stdout ? "" : usage) << what;
    EXPECT_FALSE(root.exists(kLock)) << what;
  }
}

TEST(DaemonCli, HostnameOptionReachesTheDaemon)
{
  zt::Root root;
  Testd d(root, {"--hostname", "Ops & NMS"}, {{"TESTD_HOSTNAME", "1"}});
  ASSERT_TRUE(d.ready()) << d.proc->err();
  EXPECT_EQ(d.exchange("<hostname />"), "<hostname value=\"Ops &amp; NMS\" />");
  EXPECT_EQ(d.stop(), 0);
}

TEST(DaemonCli, StartsWritesLockAndStopsOnSigterm)
{
  zt::Root root;
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  EXPECT_EQ(root.read(kLock), std::to_string(d.proc->pid()) + "\n");
  struct stat st;
  ASSERT_EQ(stat(root.file(kLock).c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0640u);

  EXPECT_EQ(d.stop(), 0);
  EXPECT_FALSE(root.exists(kLock));
  std::string err = d.proc->err();
  ASSERT_GE(err.size(), 12u);
  EXPECT_EQ(err.substr(err.size() - 12), "testd stop.\n");
  EXPECT_NE(err.find("testd is up and running.\n"), std::string::npos);
}

TEST(DaemonCli, StopsOnSigint)
{
  zt::Root root;
  Testd d(root);
  ASSERT_TRUE(d.ready()) << d.proc->err();
  d.proc->signal(SIGINT);
  EXPECT_EQ(d.proc->wait(std::chrono::seconds(10)), 0);
  EXPECT_FALSE(root.exists(kLock));
  EXPECT_NE(d.proc->err().find("testd stop.\n"), std::string::npos);
}

// The id of a process that has ended.
pid_t ended_pid()
{
  pid_t pid = fork();
  if (pid == 0)
    _exit(0);
  int status;
  waitpid(pid, &status, 0);
  return pid;
}

TEST(DaemonLock, StaleContentIsReplaced)
{
  const std::string stale[] = {std::to_string(ended_pid()) + "\n", "no digits here\n", "", "0\n",
                               "-5\n", "99999999999999999999"};
  for (const auto &content : stale) {
    zt::Root root;
    root.write(kLock, content);
    Testd d(root);
    ASSERT_TRUE(d.ready()) << "lock held '" << content << "': " << d.proc->err();
    EXPECT_EQ(root.read(kLock), std::to_string(d.proc->pid()) + "\n") << content;
    EXPECT_EQ(d.stop(), 0) << content;
    EXPECT_FALSE(root.exists(kLock)) << content;
  }
}

TEST(DaemonLock, LiveProcessRefusesTheStart)
{
  zt::Root root;
  // Any live process counts, not only an earlier instance: this test's own.
  std::string content = std::to_string(getpid()) + "\n";
  root.write(kLock, content);
  auto r = run_testd(root, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: testd already started\n");
  EXPECT_EQ(root.read(kLock), content);
  EXPECT_FALSE(root.exists(kSocket));
}

TEST(DaemonLock, SecondInstanceIsRefused)
{
  zt::Root root;
  Testd first(root);
  ASSERT_TRUE(first.ready()) << first.proc->err();
  auto r = run_testd(root, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error: testd already started\n");
  EXPECT_EQ(first.exchange("<test />"), "<error type='Test ok' />");
  EXPECT_EQ(first.stop(), 0);
}

TEST(DaemonLock, LockThatCannotBeReadOrReplaced)
{
  // A lock path that is a folder: it cannot be read as a number nor deleted,
  // so it cannot be created either.
  zt::Root root;
  ASSERT_EQ(mkdir(root.file(kLock).c_str(), 0755), 0);
  auto r = run_testd(root, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error create lock file: File exists");

  // A dangling link: not readable (access fails), and exclusive creation
  // refuses to follow it.
  zt::Root root2;
  ASSERT_EQ(symlink(root2.file("/tmp/nowhere/x").c_str(), root2.file(kLock).c_str()), 0);
  r = run_testd(root2, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error create lock file: File exists");
}

TEST(DaemonLock, LockFolderMissing)
{
  zt::Root root;
  std::filesystem::remove_all(root.file("/tmp"));
  auto r = run_testd(root, {});
  EXPECT_EQ(r.status, 1);
  EXPECT_EQ(r.err, "Error create lock file: No such file or directory");
}

TEST(DaemonCli, SyslogTargetKeepsStandardErrorQuiet)
{
  zt::Root root;
  Testd d(root, {"-l"});
  ASSERT_TRUE(zt::wait_for([&] { return d.exchange("<test />") == "<error type='Test ok' />"; },
                           std::chrono::seconds(10)));
  EXPECT_EQ(d.stop(), 0);
  EXPECT_FALSE(root.exists(kLock));
  EXPECT_EQ(d.proc->err().find("testd"), std::string::npos) << d.proc->err();
}

}  // namespace

namespace {

// The id written into the lock file by a daemon in the background.
pid_t lock_pid(const zt::Root &root)
{
  std::string text = root.read(kLock);
  return text.empty() ? -1 : static_cast<pid_t>(std::strtol(text.c_str(), nullptr, 10));
}

// Stops a daemon that is not this test's child, whatever the test's outcome.
struct BackgroundDaemon {
  const zt::Root &root;
  pid_t pid = -1;
  ~BackgroundDaemon()
  {
    if (pid > 0 && kill(pid, 0) == 0) {
      kill(pid, SIGKILL);
      zt::wait_for([&] { return kill(pid, 0) != 0; });
    }
  }
};

struct BackgroundCase {
  std::vector<std::string> args;
  bool log_on_stderr;
};

TEST(DaemonCli, BackgroundKeepsStandardErrorOnlyWithoutSyslog)
{
  const BackgroundCase cases[] = {{{"-b"}, true}, {{"-b", "-l"}, false}, {{"--background", "--syslog"}, false}};
  for (const auto &c : cases) {
    zt::Root root;
    Testd d(root, c.args);
    // The parent returns at once; the daemon goes on without it.
    EXPECT_EQ(d.proc->wait(std::chrono::seconds(10)), 0) << c.args[0];
    BackgroundDaemon bg{root};
    ASSERT_TRUE(zt::wait_for([&] { return lock_pid(root) > 0; })) << c.args.size();
    bg.pid = lock_pid(root);
    EXPECT_NE(bg.pid, d.proc->pid());
    ASSERT_TRUE(zt::wait_for([&] { return d.exchange("<test />") == "<error type='Test ok' />"; },
                             std::chrono::seconds(10)));
    ASSERT_EQ(kill(bg.pid, SIGTERM), 0);
    EXPECT_TRUE(zt::wait_for([&] { return kill(bg.pid, 0) != 0; }, std::chrono::seconds(10)));
    EXPECT_FALSE(root.exists(kLock));
    if (c.log_on_stderr) {
      EXPECT_TRUE(zt::wait_for([&] { return d.proc->err().find("testd stop.\n") != std::string::npos; }))
          << d.proc->err();
      EXPECT_NE(d.proc->err().find("testd is up and running.\n"), std::string::npos);
    } else {
      EXPECT_EQ(d.proc->err().find("testd"), std::string::npos) << d.proc->err();
    }
  }
}

}  // namespace

namespace {

TEST(DaemonCli, PathsAreExportedSymbols)
{
  zt::Root root;
  {
    Testd d(root);
    ASSERT_TRUE(d.ready()) << d.proc->err();
    EXPECT_EQ(d.exchange("<paths />"), "<paths file_settings=\"" + root.file(kSettings) +
                                           "\" daemon_socket=\"/tmp/testd.socket\" />");
    EXPECT_EQ(d.stop(), 0);
  }
  // A -f path is used exactly as given, relative or not.
  Testd d(root, {"-f", "relative/x.xml"});
  ASSERT_TRUE(d.ready()) << d.proc->err();
  EXPECT_EQ(d.exchange("<paths />"),
            "<paths file_settings=\"relative/x.xml\" daemon_socket=\"/tmp/testd.socket\" />");
  EXPECT_EQ(d.stop(), 0);
}

}  // namespace
