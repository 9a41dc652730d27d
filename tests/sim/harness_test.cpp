// The harness itself: private roots, program runs and background processes.
#include "harness.h"

#include <csignal>
#include <gtest/gtest.h>
#include <sys/stat.h>

namespace {

TEST(HarnessRoot, HoldsTheFixedFoldersAndGoesAway)
{
  std::string path;
  {
    zt::Root root;
    path = root.path();
    EXPECT_EQ(path.rfind("/tmp/zr.", 0), 0u);
    for (const char *dir : {"/tmp", "/var/users", "/var/tmp", "/mnt/jffs/etc", "/dev", "/etc", "/usr/sbin",
                            "/usr/bin", "/sys/class/gpio/export"})
      EXPECT_TRUE(root.exists(dir)) << dir;
    // No GPIO line is exported before someone exports it.
    EXPECT_FALSE(root.exists("/sys/class/gpio/gpio10"));
    EXPECT_EQ(root.read("/proc/uptime"), "12345.67 23456.78\n");
    root.write("/a/b/c.txt", "x\ny");
    EXPECT_EQ(root.read("/a/b/c.txt"), "x\ny");
    EXPECT_TRUE(root.poke("/a/b/c.txt", "z"));
    EXPECT_EQ(root.read("/a/b/c.txt"), "z");
    EXPECT_FALSE(root.poke("/a/b/none.txt", "z"));
    EXPECT_FALSE(root.exists("/a/b/none.txt"));
    EXPECT_EQ(root.file("/a"), path + "/a");
    root.remove("/a");
    EXPECT_FALSE(root.exists("/a/b/c.txt"));
    EXPECT_EQ(root.read("/a/b/c.txt"), "");
    EXPECT_EQ(root.env().at("APPLIANCE_ROOT"), path);
    EXPECT_EQ(root.env().at("PATH").rfind(path + "/usr/bin:", 0), 0u);
    EXPECT_EQ(root.env().at("MIBS"), "");
  }
  struct stat st;
  EXPECT_NE(::stat(path.c_str(), &st), 0);
}

TEST(HarnessRun, ExactEnvironmentArgumentsAndInput)
{
  zt::RunResult r = zt::run("/usr/bin/env", {}, {{"ONLY", "this"}});
  EXPECT_EQ(r.status, 0);
  EXPECT_EQ(r.out, "ONLY=this\n");
  r = zt::run("/bin/sh", {"-c", "cat; echo \"$0 $1\" >&2; exit 3", "zero", "one"}, {}, std::string_view("in\0put", 6));
  EXPECT_EQ(r.status, 3);
  EXPECT_EQ(r.out, std::string("in\0put", 6));
  EXPECT_EQ(r.err, "zero one\n");
  // A vector that starts with the program's name is taken whole.
  r = zt::run("/bin/echo", {"echo", "a"}, {});
  EXPECT_EQ(r.out, "a\n");
  r = zt::run("/bin/echo", {"a"}, {});
  EXPECT_EQ(r.out, "a\n");
}

TEST(HarnessRun, KilledAtTheEndOfItsTime)
{
  zt::RunResult r = zt::run("/bin/sleep", {"30"}, {}, {}, std::chrono::milliseconds(200));
  EXPECT_EQ(r.status, 128 + SIGKILL);
  r = zt::run("/nonexistent/program", {}, {});
  EXPECT_EQ(r.status, 127);
}

TEST(HarnessProcess, RunsInTheBackgroundUntilSignalled)
{
  zt::Process p("/bin/sh", {"-c", "echo started; echo oops >&2; exec sleep 30"}, {});
  EXPECT_TRUE(zt::wait_for([&] { return p.out() == "started\n" && p.err() == "oops\n"; }));
  EXPECT_TRUE(p.running());
  EXPECT_EQ(p.wait(std::chrono::milliseconds(50)), -1);
  p.signal(SIGTERM);
  EXPECT_EQ(p.wait(), 128 + SIGTERM);
  EXPECT_FALSE(p.running());
}

}  // namespace
