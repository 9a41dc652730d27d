// The file endpoints through lighttpd, each beside what the web server does
// without the gateway, both measured in one run, interleaved:
//   - a 1 MiB floor map download (map.cgi) against lighttpd serving the same
//     file statically;
//   - a 5 MiB floor map upload (upload-map.cgi: multipart reader, session,
//     picture check, whole-file replacement flushed to the disk) against a
//     trivial static C CGI that reads the same body and writes it to a file.
// Each request is one HTTP/1.0 connection from this process; the figures
// are medians and their ratios.
//
//   files_bench [downloads] [uploads]      (default 60 20)
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "../tests/engine_files/files_env.h"
#include "bench_cpu.h"
#include "lighttpd_fixture.h"

namespace {

constexpr size_t MiB = 1024 * 1024;

double now_ms()
{
  struct timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return ts.tv_sec * 1e3 + ts.tv_nsec / 1e6;
}

// One request on its own connection; the whole response ("" on failure).
std::string exchange(int port, const std::string &request)
{
  int s = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  a.sin_port = htons(static_cast<uint16_t>(port));
  std::string reply;
  if (s >= 0 && ::connect(s, reinterpret_cast<sockaddr *>(&a), sizeof a) == 0) {
    size_t sent = 0;
    while (sent < request.size()) {
      ssize_t w = ::write(s, request.data() + sent, request.size() - sent);
      if (w <= 0)
        break;
      sent += static_cast<size_t>(w);
    }
    static char buf[1 << 16];
    ssize_t r;
    while ((r = ::read(s, buf, sizeof buf)) > 0)
      reply.append(buf, static_cast<size_t>(r));
  }
  if (s >= 0)
    ::close(s);
  return reply;
}

std::string body_of(const std::string &reply)
{
  size_t p = reply.find("\r\n\r\n");
  return p == std::string::npos ? "" : reply.substr(p + 4);
}

double median(std::vector<double> v)
{
  std::sort(v.begin(), v.end());
  return v.empty() ? 0 : v[v.size() / 2];
}

struct Pair {
  const char *what;
  std::string request, baseline;
  std::vector<double> t_req, t_base;
};

}  // namespace

int main(int argc, char **argv)
{
  int downloads = argc > 1 ? std::atoi(argv[1]) : 60;
  int uploads = argc > 2 ? std::atoi(argv[2]) : 20;
  bench_pin_to_one_cpu();  // lighttpd and every CGI program inherit it
  zt::Root root;
  fe::make_accounts(root);
  zt::Sim sim(root, {"--only", "registryd,stewardd,chronicled"});
  zt::Lighttpd web(root);
  if (!sim.ok() || !web.ok()) {
    std::fprintf(stderr, "cannot start: %s\n", web.error_log().c_str());
    return 1;
  }
  std::string key = et::login(root, "admin", "pw");
  std::string trivial = web.cgi_dir() + "/trivial-upload.cgi";
  std::string cc = "cc -O2 -static -o " + trivial + " " ZUN_SOURCE_DIR "/bench/trivial_upload_cgi.c";
  if (key.empty() || std::system(cc.c_str()) != 0) {
    std::fprintf(stderr, "no session, or the trivial program does not build\n");
    return 1;
  }

  const std::string map = fe::random_bytes(MiB, 21);
  root.write("/mnt/jffs/etc/map", map);
  root.write("/www/map.bin", map);
  const std::string body = fe::multipart(key, "GIF89a" + fe::random_bytes(5 * MiB - 1024, 22));
  auto post = [&](const std::string &path) {
    return "POST " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\nContent-Type: multipart/form-data; boundary=" +
           fe::kBoundary + "\r\nContent-Length: " + std::to_string(body.size()) + "\r\n\r\n" + body;
  };
  auto get = [](const std::string &path) { return "GET " + path + " HTTP/1.0\r\nHost: 127.0.0.1\r\n\r\n"; };
  Pair pairs[] = {
      {"1 MiB map download, engine vs static file", get("/cgi-bin/map.cgi?k=" + key), get("/map.bin"), {}, {}},
      {"5 MiB upload-map, engine vs trivial C CGI", post("/cgi-bin/upload-map.cgi"),
       post("/cgi-bin/trivial-upload.cgi"), {}, {}},
  };

  // Once, that each request does what is measured.
  const std::string ok = fe::status_element("no error");
  if (body_of(exchange(web.port(), pairs[0].request)) != map ||
      body_of(exchange(web.port(), pairs[0].baseline)) != map ||
      body_of(exchange(web.port(), pairs[1].request)) != ok ||
      body_of(exchange(web.port(), pairs[1].baseline)) != ok ||
      root.read("/mnt/jffs/etc/map").size() != 5 * MiB - 1024 + 6) {
    std::fprintf(stderr, "a request did not do its work\n");
    return 1;
  }
  int rounds[] = {downloads, uploads};
  for (size_t p = 0; p < 2; p++) {
    root.write("/mnt/jffs/etc/map", map);  // the download sends the 1 MiB map
    for (int i = 0; i < rounds[p]; i++) {
      double t0 = now_ms();
      exchange(web.port(), pairs[p].request);
      double t1 = now_ms();
      exchange(web.port(), pairs[p].baseline);
      double t2 = now_ms();
      pairs[p].t_req.push_back(t1 - t0);
      pairs[p].t_base.push_back(t2 - t1);
    }
  }
  for (size_t p = 0; p < 2; p++) {
    double r = median(pairs[p].t_req), b = median(pairs[p].t_base);
    std::printf("%s (%d rounds, interleaved): %.2f ms vs %.2f ms, ratio %.2f\n", pairs[p].what, rounds[p],
                r, b, b > 0 ? r / b : 0.0);
  }
  return 0;
}
