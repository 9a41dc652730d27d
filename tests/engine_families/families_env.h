// Shared set-up of the command family tests: accounts, a session, the
// stand-ins, a recording stand-in for the daemons appliance-sim does not
// serve (heraldd, warderd, or one taken out of appliance-sim), and the
// table walk that sends one request and compares the commands and output.
#pragma once
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "../engine/engine_env.h"
#include "uds.h"

namespace ft {

inline const std::string kNoError = "<error type=\"no error\" />";
inline const std::string kMissing = "<error type=\"some parameters are not specified\" />";
inline const std::string kNotLoaded = "<error type=\"module is not loaded\" />";
inline const std::string kDenied = "<error type=\"access denied\" code=\"-101\" />";
inline const std::string kBadValue = "<error type=\"invalid parameter value\" />";

// A daemon stand-in on root/tmp/NAME.socket that records every command and
// answers the first `answered` connections with `reply` (all of them when
// negative; an empty reply is a reply). Later connections are closed with
// their command unread, which the client sees as a reset: a daemon gone.
class FakeDaemon {
public:
  FakeDaemon(const zt::Root &root, const std::string &name, std::string reply, int answered = -1)
      : reply_(std::move(reply)), answered_(answered)
  {
    path_ = root.file("/tmp/" + name + ".socket");
    fd_ = socket(AF_UNIX, SOCK_STREAM, 0);
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    if (fd_ < 0 || path_.size() >= sizeof addr.sun_path)
      return;
    std::memcpy(addr.sun_path, path_.c_str(), path_.size() + 1);
    unlink(path_.c_str());
    if (bind(fd_, reinterpret_cast<sockaddr *>(&addr), sizeof addr) != 0 || listen(fd_, 8) != 0)
      return;
    thread_ = std::thread([this] { serve(); });
  }
  ~FakeDaemon()
  {
    stop_ = true;
    if (thread_.joinable())
      thread_.join();
    if (fd_ >= 0)
      close(fd_);
    unlink(path_.c_str());
  }
  std::vector<std::string> commands() const
  {
    std::lock_guard<std::mutex> hold(lock_);
    return commands_;
  }
  void clear()
  {
    std::lock_guard<std::mutex> hold(lock_);
    commands_.clear();
  }

private:
  void serve()
  {
    while (!stop_) {
      pollfd p{fd_, POLLIN, 0};
      if (poll(&p, 1, 20) <= 0)
        continue;
      int c = accept(fd_, nullptr, nullptr);
      if (c < 0)
        continue;
      std::string cmd(UDS_MAX_REQUEST, '\0');
      ssize_t n = udsserver_peek(c, cmd.data(), cmd.size());
      cmd.resize(n > 0 ? static_cast<size_t>(n) : 0);
      bool answer;
      {
        std::lock_guard<std::mutex> hold(lock_);
        commands_.push_back(cmd);
        answer = answered_ < 0 || static_cast<int>(commands_.size()) <= answered_;
      }
      if (answer) {
        std::string taken(cmd.size() + 1, '\0');  // the command and its NUL
        (void)!read(c, taken.data(), taken.size());
        (void)!write(c, reply_.data(), reply_.size());
      }
      close(c);
    }
  }

  std::string path_, reply_;
  int answered_;
  int fd_ = -1;
  std::atomic<bool> stop_{false};
  std::thread thread_;
  mutable std::mutex lock_;
  std::vector<std::string> commands_;
};

// One request of a table: the form after the session key, the daemon whose
// commands are compared (an appliance-sim name, or a FakeDaemon's), the
// commands it must have received in order, and the exact output after the
// header block.
struct Case {
  std::string form;
  std::string daemon;
  std::vector<std::string> sent;
  std::string out;
};

// Accounts: "admin" holds every section; "plain" holds only `view`.
inline void make_accounts(const zt::Root &root)
{
  et::make_users(root, {{"1", "admin", "pw", "all,", "all,"}, {"1", "plain", "pw", "view,", "view,"}});
}

class FamilyTest : public ::testing::Test {
protected:
  void SetUp() override
  {
    make_accounts(root);
    ASSERT_TRUE(sim.ok());
    key = et::login(root, "admin", "pw");
    ASSERT_FALSE(key.empty());
    plain = et::login(root, "plain", "pw");
    ASSERT_FALSE(plain.empty());
  }

  // The commands a daemon received since the last clear.
  // The rights check's own traffic is left out: its question about the kind
  // of item `id` names (registryd) and the log entry of a refusal (chronicled).
  std::vector<std::string> received(const std::string &daemon, FakeDaemon *fake = nullptr) const
  {
    if (fake != nullptr)
      return fake->commands();
    std::vector<std::string> out;
    for (std::string &line : sim.journal_of(daemon))
      if (line.rfind("<dbtype ", 0) != 0 && line.rfind("<entry ", 0) != 0)
        out.push_back(std::move(line));
    return out;
  }

  // Sends every case as the admin and compares the output and the commands.
  void run_cases(const std::vector<Case> &cases, FakeDaemon *fake = nullptr)
  {
    for (const Case &c : cases) {
      sim.clear_journal();
      if (fake != nullptr)
        fake->clear();
      EXPECT_EQ(et::ask(root, key, c.form), c.out) << c.form;
      EXPECT_EQ(received(c.daemon, fake), c.sent) << c.form;
    }
  }

  // A user without the section is refused and nothing reaches the daemon.
  void expect_refused(const std::vector<std::string> &forms, const std::string &daemon,
                      FakeDaemon *fake = nullptr)
  {
    for (const std::string &form : forms) {
      sim.clear_journal();
      if (fake != nullptr)
        fake->clear();
      EXPECT_EQ(et::ask(root, plain, form), kDenied) << form;
      EXPECT_TRUE(received(daemon, fake).empty()) << form;
    }
  }

  zt::Root root;
  zt::Sim sim{root};
  std::string key, plain;
};

}  // namespace ft
