// A private appliance for heraldd's system tests: a root, appliance-sim
// (element database, log, modem) and heraldd itself, running as an AgentX
// subagent whose master socket lies under the root (no master answers there;
// the daemon keeps running without one).
#pragma once
#include "harness.h"

#include <csignal>
#include <memory>
#include <string>
#include <vector>

namespace ht {

inline constexpr const char *SOCKET = "/tmp/heraldd.socket";
inline constexpr const char *SETTINGS = "/mnt/jffs/etc/heraldd.xml";
inline const std::string kNoError = "<error type=\"no error\" />";

// A field of an element description ("" when it has none).
inline std::string field(const std::string &description, const std::string &name)
{
  std::string key = " " + name + "=\"";
  size_t at = description.find(key);
  if (at == std::string::npos)
    return "";
  at += key.size();
  return description.substr(at, description.find('"', at) - at);
}

class Heraldd {
public:
  // tools: whether the outside programs are there, as on the board: the
  // sendmail and clip stand-ins, makemime and snmptrap (recorded, then run).
  explicit Heraldd(bool tools = true, const std::vector<std::string> &sim_args = {})
  {
    root_.write("/etc/snmp/heraldd.conf", "agentXSocket unix:" + root_.file("/tmp/agentx") + "\n");
    if (tools) {
      zt::install_tool(root_, "/usr/sbin/sendmail", "sendmail");
      zt::install_tool(root_, "/usr/bin/clipbuild.sh", "clipbuild.sh");
      zt::install_tool(root_, "/usr/bin/makemime", "record");
      zt::install_tool(root_, "/usr/bin/snmptrap", "record");
    }
    sim_ = std::make_unique<zt::Sim>(root_, sim_args);
  }

  // Starts heraldd (env: variables beside the root's); true when it answers.
  bool start(const std::vector<std::string> &args = {}, const std::map<std::string, std::string> &env = {})
  {
    std::vector<std::string> argv = {"heraldd"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto all = root_.env();
    all.insert(env.begin(), env.end());
    proc_ = std::make_unique<zt::Process>(zt::bin("heraldd"), argv, all);
    return zt::wait_for([&] { return !proc_->running() || cmd("<test />") == "<error type='Test ok' />"; },
                        std::chrono::seconds(10)) &&
           proc_->running();
  }

  // SIGTERM and the exit status (-1 when it did not end in time).
  int stop()
  {
    proc_->signal(SIGTERM);
    return proc_->wait(std::chrono::seconds(10));
  }

  std::string cmd(std::string_view command) const { return zt::exchange(root_, SOCKET, command); }
  const zt::Root &root() const { return root_; }
  zt::Sim &sim() { return *sim_; }
  zt::Process &proc() { return *proc_; }

  // The commands registryd received.
  std::vector<std::string> registry() const { return sim_->journal_of("registryd"); }

  // The log entries (chronicled) of one class, their message texts.
  std::vector<std::string> log(const std::string &clas) const
  {
    std::vector<std::string> out;
    const std::string head = "<entry type=\"" + clas + "\" message=\"";
    for (const std::string &line : sim_->journal_of("chronicled"))
      if (line.rfind(head, 0) == 0)
        out.push_back(line.substr(head.size(), line.rfind("\" level=\"8\" />") - head.size()));
    return out;
  }
  bool wait_log(const std::string &clas, size_t n) const
  {
    return zt::wait_for([&] { return log(clas).size() >= n; }, std::chrono::seconds(10));
  }

private:
  zt::Root root_;
  std::unique_ptr<zt::Sim> sim_;
  std::unique_ptr<zt::Process> proc_;
};

}  // namespace ht
