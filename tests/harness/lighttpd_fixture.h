// lighttpd running engine as a CGI program with the board's configuration
// (etc/lighttpd.conf), as scripts/demo runs it: mod_cgi under /cgi-bin/,
// every invocation name a link to build/bin/engine, the root handed over in
// APPLIANCE_ROOT; static files from root/www. HTTPS on a free loopback port
// with a certificate made in root/etc/tls, plain HTTP (a redirect) on another.
#pragma once
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "harness.h"

namespace zt {

// The invocation names served (links root/cgi/NAME.cgi).
extern const std::vector<std::string> kEngineRoles;

class Lighttpd {
public:
  // Starts the server and waits (bounded) until it accepts connections.
  explicit Lighttpd(const Root &root);
  ~Lighttpd();  // SIGTERM, bounded wait
  Lighttpd(const Lighttpd &) = delete;
  Lighttpd &operator=(const Lighttpd &) = delete;
  bool ok() const { return port_ > 0; }
  int port() const { return port_; }
  // "https://127.0.0.1:PORT" followed by path ("/cgi-bin/map.cgi?k=1").
  std::string url(std::string_view path) const;
  // The folders behind the addresses: /cgi-bin/ and /.
  std::string cgi_dir() const { return root_.file("/cgi"); }
  std::string www_dir() const { return root_.file("/www"); }
  std::string error_log() const;

private:
  const Root &root_;
  std::unique_ptr<Process> proc_;
  int port_ = 0;
};

// Runs curl with the arguments (after the program name) to its end.
RunResult curl(const std::vector<std::string> &args);

// An HTTP exchange through curl, trusting the certificate of the root's
// lighttpd: the status code, the response headers as
// curl received them, and the body bytes exactly.
struct HttpReply {
  int code = 0;
  std::string headers;
  std::string body;
};
// `extra` holds further curl arguments (-F parts, -d, ...).
HttpReply http(const Root &root, const std::string &url, const std::vector<std::string> &extra = {});

}  // namespace zt
