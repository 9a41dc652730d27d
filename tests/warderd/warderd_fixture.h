// A private appliance for warderd's system tests: a root, appliance-sim
// (element database, log, 1-Wire reader stand-in) and warderd itself,
// running as an AgentX subagent whose master socket lies under the root (no
// master answers there; the daemon keeps running without one).
#pragma once
#include "harness.h"

#include <algorithm>
#include <csignal>
#include <memory>
#include <regex>
#include <string>
#include <vector>

namespace wt {

inline constexpr const char *SOCKET = "/tmp/warderd.socket";

class Warderd {
public:
  // devtype: the board type name written to /mnt/jffs/etc/devtype.
  explicit Warderd(const std::string &devtype = "base", const std::vector<std::string> &args = {})
  {
    root_.write("/mnt/jffs/etc/devtype", devtype + "\n");
    root_.write("/etc/snmp/warderd.conf", "agentXSocket unix:" + root_.file("/tmp/agentx") + "\n");
    sim_ = std::make_unique<zt::Sim>(root_);
    zt::wait_for([&] { return root_.exists("/dev/w1"); });
    start(args);
  }

  // env: variables beside the root's.
  void start(const std::vector<std::string> &args = {}, const std::map<std::string, std::string> &env = {})
  {
    std::vector<std::string> argv = {"warderd"};
    argv.insert(argv.end(), args.begin(), args.end());
    auto all = root_.env();
    all.insert(env.begin(), env.end());
    proc_ = std::make_unique<zt::Process>(zt::bin("warderd"), argv, all);
    up_ = zt::wait_for([&] { return !proc_->running() || cmd("<test />") == "<error type='Test ok' />"; },
                       std::chrono::seconds(10)) &&
          proc_->running();
  }

  bool up() const { return up_; }

  // Stops the daemon as the system does (SIGTERM) and returns its exit
  // status; -1 when it did not end in time.
  int stop()
  {
    proc_->signal(SIGTERM);
    return proc_->wait(std::chrono::seconds(10));
  }

  // What a sanitizer build reported on standard error ("" when nothing).
  std::string sanitizer_report() const
  {
    std::string err = proc_->err();
    for (const char *mark : {"ERROR: AddressSanitizer", "runtime error:", "ERROR: LeakSanitizer"})
      if (err.find(mark) != std::string::npos)
        return err;
    return "";
  }
  const zt::Root &root() const { return root_; }
  zt::Sim &sim() { return *sim_; }
  zt::Process &proc() { return *proc_; }

  std::string cmd(std::string_view command) const { return zt::exchange(root_, SOCKET, command); }

  // The 1-Wire stand-in: a key with the given 12 hex digits lies on the
  // reader while the file exists.
  void lay(const std::string &hex) const { root_.write("/tmp/w1.key", hex); }
  void take() const { root_.remove("/tmp/w1.key"); }

  // Access log entries received by chronicled.
  std::vector<std::string> access_log() const
  {
    std::vector<std::string> out;
    for (const auto &line : sim_->journal_of("chronicled"))
      if (line.find("type=\"access\"") != std::string::npos)
        out.push_back(line);
    return out;
  }
  bool wait_access_log(size_t n) const
  {
    return zt::wait_for([&] { return access_log().size() >= n; }, std::chrono::seconds(10));
  }

  // Updates of an element's state sent to the element database.
  size_t state_updates(int element_id) const
  {
    std::string head = "<dbupdate id=\"" + std::to_string(element_id) + "\" state=";
    auto lines = sim_->journal_of("registryd");
    return static_cast<size_t>(std::count_if(lines.begin(), lines.end(), [&](const std::string &l) {
      return l.rfind(head, 0) == 0;
    }));
  }

  // The element database's description of an element.
  std::string element(int id) const
  {
    return zt::exchange(root_, "registryd", "<getelement id=\"" + std::to_string(id) + "\" />");
  }

  // The id of the element with that name in the element database, 0 if none.
  int element_id_named(const std::string &name) const
  {
    std::string all = zt::exchange(root_, "registryd", "<getelement k=\"1\" />");
    std::regex re("<element id=\"([0-9]+)\"[^>]* name=\"" + name + "\"");
    std::smatch m;
    if (std::regex_search(all, m, re))
      return std::stoi(m[1]);
    return 0;
  }

  // Waits until the element database holds the element with that state and
  // value.
  bool wait_element(int id, const std::string &state, const std::string &value) const
  {
    std::string want = "state=\"" + state + "\" value=\"" + value + "\"";
    return zt::wait_for([&] { return element(id).find(want) != std::string::npos; },
                        std::chrono::seconds(10));
  }

private:
  zt::Root root_;
  std::unique_ptr<zt::Sim> sim_;
  std::unique_ptr<zt::Process> proc_;
  bool up_ = false;
};

}  // namespace wt
