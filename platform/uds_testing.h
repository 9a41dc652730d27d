// Test support for the platform's unit tests: a private root and an
// in-process socket server on its own thread. Used by *_test.cpp only.
#pragma once
#include "uds.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <time.h>

namespace zunt {

// A mkdtemp folder under /tmp set as APPLIANCE_ROOT (with tmp/ inside),
// removed with its content at the end.
class TempRoot {
public:
  TempRoot()
  {
    char tmpl[] = "/tmp/zu.XXXXXX";
    const char *p = ::mkdtemp(tmpl);
    path_ = p != nullptr ? p : "";
    ::mkdir((path_ + "/tmp").c_str(), 0755);
    ::setenv("APPLIANCE_ROOT", path_.c_str(), 1);
  }
  ~TempRoot()
  {
    ::unsetenv("APPLIANCE_ROOT");
    std::error_code ec;
    std::filesystem::remove_all(path_, ec);
  }
  TempRoot(const TempRoot &) = delete;
  TempRoot &operator=(const TempRoot &) = delete;
  const std::string &path() const { return path_; }
  std::string file(const std::string &rel) const { return path_ + rel; }

private:
  std::string path_;
};

// Bounded poll, never a fixed sleep.
template <class Pred>
bool poll_until(Pred pred, int timeout_ms = 5000)
{
  for (int waited = 0;; waited += 5) {
    if (pred())
      return true;
    if (waited >= timeout_ms)
      return false;
    struct timespec ts = {0, 5 * 1000 * 1000};
    ::nanosleep(&ts, nullptr);
  }
}

// udsserver_run on a thread, as a daemon runs it; stopped and joined at the
// end. ready() tells when the socket accepts.
class ServerThread {
public:
  ServerThread(const char *path, udsserver_handler handler, udsserver_admit admit = nullptr)
  {
    srv_.path = path;
    srv_.handler = handler;
    srv_.admit = admit;
    thread_ = std::thread([this] {
      result_ = udsserver_run(&srv_);
      done_.store(true);
    });
    std::string mapped = std::string(std::getenv("APPLIANCE_ROOT") ? std::getenv("APPLIANCE_ROOT") : "") + path;
    poll_until([&] {
      struct stat st;
      return srv_.listening.load() > 0 && ::stat(mapped.c_str(), &st) == 0;
    });
  }
  ~ServerThread() { stop(); }
  ServerThread(const ServerThread &) = delete;
  ServerThread &operator=(const ServerThread &) = delete;

  // Stops the server; true when udsserver_run returned (bounded wait).
  bool stop()
  {
    if (!thread_.joinable())
      return true;
    udsserver_stop(&srv_);
    bool ended = poll_until([&] { return done_.load(); });
    if (ended)
      thread_.join();
    else
      thread_.detach();  // never happens unless stop is broken; the test fails
    return ended;
  }
  int result() const { return result_; }
  bool done() const { return done_.load(); }
  udsserver &record() { return srv_; }

private:
  udsserver srv_{};
  std::thread thread_;
  std::atomic<bool> done_{false};
  int result_ = 1;
};

}  // namespace zunt
