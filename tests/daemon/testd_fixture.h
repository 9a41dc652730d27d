// Starting testd, the frame's test daemon, under a private root.
#pragma once
#include <csignal>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "harness.h"

namespace frame_test {

inline const std::string kSocket = "/tmp/testd.socket";
inline const std::string kLock = "/tmp/testd.lock";
inline const std::string kSettings = "/mnt/jffs/etc/testd.xml";

inline std::map<std::string, std::string> env_with(const zt::Root &root,
                                                   const std::map<std::string, std::string> &extra = {})
{
  auto env = root.env();
  for (const auto &[k, v] : extra)
    env[k] = v;
  return env;
}

// testd started in the background; ready() waits until it logged its start
// and answers on its socket.
struct Testd {
  const zt::Root &root;
  std::unique_ptr<zt::Process> proc;

  Testd(const zt::Root &r, const std::vector<std::string> &args = {},
        const std::map<std::string, std::string> &extra = {})
      : root(r)
  {
    std::vector<std::string> argv = {"testd"};
    argv.insert(argv.end(), args.begin(), args.end());
    proc = std::make_unique<zt::Process>(zt::bin("testd"), argv, env_with(root, extra));
  }

  bool ready()
  {
    return zt::wait_for([&] {
      return proc->err().find("testd is up and running.\n") != std::string::npos &&
             exchange("<test />") == "<error type='Test ok' />";
    }, std::chrono::seconds(10));
  }

  std::string exchange(std::string_view command)
  {
    return zt::exchange(root, kSocket, command);
  }

  // SIGTERM and the exit status (-1 when it did not end).
  int stop()
  {
    proc->signal(SIGTERM);
    return proc->wait(std::chrono::seconds(10));
  }
};

}  // namespace frame_test
