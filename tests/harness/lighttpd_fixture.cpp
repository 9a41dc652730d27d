#include "lighttpd_fixture.h"

#include <arpa/inet.h>
#include <csignal>
#include <cstdlib>
#include <filesystem>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

namespace fs = std::filesystem;

namespace zt {

const std::vector<std::string> kEngineRoles = {
    "engine", "rss",       "image",           "dump",     "settings",        "map",    "upload-map",
    "db",     "upload-db", "upload-firmware", "language", "upload-language", "devtype",
};

namespace {

constexpr int kStartAttempts = 5;

bool accepts(int port)
{
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  bool ok = s >= 0 && ::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0;
  if (s >= 0)
    ::close(s);
  return ok;
}

}  // namespace

Lighttpd::Lighttpd(const Root &root) : root_(root)
{
  std::error_code ec;
  for (const char *dir : {"/cgi", "/www", "/var/log", "/var/tmp", "/etc"})
    fs::create_directories(root.file(dir), ec);
  for (const std::string &name : kEngineRoles) {
    std::string link = root.file("/cgi/" + name + ".cgi");
    if (!fs::is_symlink(link, ec))
      fs::create_symlink(bin("engine"), link, ec);
  }
  run(ZUN_SOURCE_DIR "/scripts/web-cert", {root.file("/etc/tls")}, {{"PATH", "/usr/bin:/bin"}});
  // Another program may take a port between the probe and the start:
  // then lighttpd ends at once and other ports are tried.
  for (int attempt = 0; attempt < kStartAttempts && port_ == 0; attempt++) {
    int port = zt::free_port(), plain = zt::free_port();
    if (port == 0 || plain == 0 || port == plain)
      continue;
    std::map<std::string, std::string> env = {
        {"APPLIANCE_ROOT", root.path()},      {"WEB_ADDRESS", "127.0.0.1"},
        {"WEB_HTTPS_PORT", std::to_string(port)}, {"WEB_HTTP_PORT", std::to_string(plain)},
        {"WEB_TLS", root.file("/etc/tls")},
    };
    std::vector<std::string> argv = {"lighttpd", "-D", "-f", ZUN_SOURCE_DIR "/etc/lighttpd.conf"};
    proc_ = std::make_unique<Process>("/usr/sbin/lighttpd", argv, env);
    auto up = [&] { return accepts(port) && accepts(plain); };
    wait_for([&] { return !proc_->running() || up(); }, std::chrono::seconds(10));
    if (proc_->running() && up())
      port_ = port;
    else
      proc_.reset();
  }
}

Lighttpd::~Lighttpd()
{
  if (proc_ != nullptr) {
    proc_->signal(SIGTERM);
    proc_->wait(std::chrono::seconds(5));
  }
}

std::string Lighttpd::url(std::string_view path) const
{
  return "https://127.0.0.1:" + std::to_string(port_) + std::string(path);
}

std::string Lighttpd::error_log() const
{
  return root_.read("/var/log/lighttpd.error.log");
}

RunResult curl(const std::vector<std::string> &args)
{
  std::vector<std::string> argv = {"curl"};
  argv.insert(argv.end(), args.begin(), args.end());
  return run("/usr/bin/curl", argv, {{"PATH", "/usr/bin:/bin"}});
}

HttpReply http(const Root &root, const std::string &url, const std::vector<std::string> &extra)
{
  std::string headers = root.file("/tmp/curl.headers");
  std::string body = root.file("/tmp/curl.body");
  // HTTP/1.1 keeps the header names as the server wrote them (HTTP/2 has
  // them in lower case).
  std::vector<std::string> args = {"-s", "-S", "--max-time", "20", "--http1.1", "--cacert",
                                   root.file("/etc/tls/cert.pem"), "-o", body, "-D", headers, "-w", "%{http_code}"};
  args.insert(args.end(), extra.begin(), extra.end());
  args.push_back(url);
  RunResult r = curl(args);
  HttpReply reply;
  reply.code = std::atoi(r.out.c_str());
  reply.headers = root.read("/tmp/curl.headers");
  reply.body = root.read("/tmp/curl.body");
  root.remove("/tmp/curl.headers");
  root.remove("/tmp/curl.body");
  return reply;
}

}  // namespace zt
