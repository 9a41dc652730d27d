// The GPIO stand-in: $APPLIANCE_ROOT/sys/class/gpio behaves as the kernel's
// sysfs interface does, so that the order of export, direction and value
// writes matters as it does on the board.
//
// - At start nothing is exported: only export and unexport exist.
// - A line number written to export makes gpioN/ with direction "in" and
//   value 0 (an exported line is an input); one written to unexport removes
//   gpioN/. Exporting an exported line changes nothing.
// - direction takes "in", "out" (an output at 0), "high" and "low" (an output
//   at 1 or 0 in one step); anything else is refused.
// - value takes a number on an output (anything but 0 is 1); an input
//   refuses it.
// - The files read back as the kernel's do: "out\n", "1\n". A refused write
//   leaves the file as it was.
//
// The kernel acts before the write returns; the stand-in acts when the writer
// closes the file (inotify), a moment later: programs wait for an export's
// files to appear, tests poll for the contents. The stand-in writes its own
// files by renaming, which it does not watch, so they never come back to it.
#include "sim.h"

#include "zun_path.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace sim {

namespace {

namespace fs = std::filesystem;

struct Line {
  bool output = false;
  int value = 0;
  int watch = -1;
};

std::string g_folder;  // the mapped /sys/class/gpio
int g_inotify = -1;
int g_folder_watch = -1;
std::map<int, Line> g_lines;        // exported lines by number
std::map<int, int> g_line_of_watch;
std::atomic<bool> g_stop{false};
std::thread g_thread;

std::string line_folder(int line)
{
  return g_folder + "/gpio" + std::to_string(line);
}

// The file's text without its line end; "" when it cannot be read.
std::string read_text(const std::string &path)
{
  char buf[64] = "";
  FILE *f = std::fopen(path.c_str(), "re");
  if (f == nullptr)
    return "";
  size_t n = std::fread(buf, 1, sizeof buf - 1, f);
  std::fclose(f);
  while (n > 0 && (buf[n - 1] == '\n' || buf[n - 1] == ' ' || buf[n - 1] == '\r'))
    n--;
  return std::string(buf, n);
}

bool parse_number(const std::string &text, int *out)
{
  if (text.empty())
    return false;
  errno = 0;
  char *end = nullptr;
  long v = std::strtol(text.c_str(), &end, 10);
  if (errno != 0 || *end != '\0' || v < INT_MIN || v > INT_MAX)
    return false;
  *out = static_cast<int>(v);
  return true;
}

// Replaces a file whole through a rename (unwatched), so that a reader never
// sees half of it and the watch does not report it as a write.
void put_file(const std::string &folder, const char *name, const std::string &text)
{
  // A file that already reads so is left alone: replacing it would drop a
  // write a program makes to it at that moment (the kernel's files are one).
  std::string path = folder + "/" + name;
  char now[64] = "";
  if (FILE *f = std::fopen(path.c_str(), "re")) {
    size_t n = std::fread(now, 1, sizeof now - 1, f);
    std::fclose(f);
    if (std::string(now, n) == text)
      return;
  }
  std::string tmp = folder + "/." + name + ".new";
  FILE *f = std::fopen(tmp.c_str(), "we");
  if (f == nullptr)
    return;
  std::fputs(text.c_str(), f);
  std::fclose(f);
  ::rename(tmp.c_str(), path.c_str());
}

void show(const std::string &folder, const Line &l)
{
  put_file(folder, "direction", l.output ? "out\n" : "in\n");
  put_file(folder, "value", l.value ? "1\n" : "0\n");
}

void export_line(int n)
{
  if (n < 0 || g_lines.count(n))
    return;
  // Made whole beside, then renamed: once direction exists, so does value.
  std::string folder = line_folder(n);
  std::string fresh = folder + ".new";
  std::error_code ec;
  fs::remove_all(fresh, ec);
  fs::remove_all(folder, ec);
  if (::mkdir(fresh.c_str(), 0755) != 0)
    return;
  // Watched before it appears under its name (the watch follows the folder
  // through the rename): a write made the moment the files exist is seen.
  Line l;
  l.watch = inotify_add_watch(g_inotify, fresh.c_str(), IN_CLOSE_WRITE);
  show(fresh, l);
  if (::rename(fresh.c_str(), folder.c_str()) != 0) {
    inotify_rm_watch(g_inotify, l.watch);
    return;
  }
  g_lines[n] = l;
  g_line_of_watch[l.watch] = n;
}

void unexport_line(int n)
{
  auto it = g_lines.find(n);
  if (it == g_lines.end())
    return;
  inotify_rm_watch(g_inotify, it->second.watch);
  g_line_of_watch.erase(it->second.watch);
  g_lines.erase(it);
  std::error_code ec;
  fs::remove_all(line_folder(n), ec);
}

// A write to gpioN/direction or gpioN/value.
void line_written(int n, const std::string &name)
{
  Line &l = g_lines[n];
  std::string folder = line_folder(n);
  std::string text = read_text(folder + "/" + name);
  int v;
  if (name == "direction") {
    if (text == "in") {
      l.output = false;
    } else if (text == "out" || text == "low" || text == "high") {
      l.output = true;
      l.value = text == "high" ? 1 : 0;
    }
  } else if (name == "value") {
    if (l.output && parse_number(text, &v))
      l.value = v != 0;
  } else {
    return;
  }
  show(folder, l);
}

void handle(const inotify_event &e)
{
  if (e.len == 0)
    return;
  std::string name = e.name;
  if (e.wd == g_folder_watch) {
    int n;
    if (name == "export" && parse_number(read_text(g_folder + "/export"), &n))
      export_line(n);
    else if (name == "unexport" && parse_number(read_text(g_folder + "/unexport"), &n))
      unexport_line(n);
    return;
  }
  auto it = g_line_of_watch.find(e.wd);
  if (it != g_line_of_watch.end())
    line_written(it->second, name);
}

void watch_loop()
{
  alignas(inotify_event) char buf[4096];
  while (!g_stop.load()) {
    pollfd p = {g_inotify, POLLIN, 0};
    if (poll(&p, 1, 100) <= 0)
      continue;
    ssize_t n = ::read(g_inotify, buf, sizeof buf);
    for (ssize_t off = 0; n > 0 && off < n;) {
      const auto *e = reinterpret_cast<const inotify_event *>(buf + off);
      handle(*e);
      off += static_cast<ssize_t>(sizeof(inotify_event) + e->len);
    }
  }
}

}  // namespace

int gpio_start(void)
{
  g_folder = zunpath("/sys/class/gpio");
  std::error_code ec;
  fs::create_directories(g_folder, ec);
  // A fresh boot: lines exported by an earlier run are gone.
  for (const auto &entry : fs::directory_iterator(g_folder, ec)) {
    std::string name = entry.path().filename().string();
    if (name.size() > 4 && name.rfind("gpio", 0) == 0 && name[4] >= '0' && name[4] <= '9')
      fs::remove_all(entry.path(), ec);
  }
  for (const char *name : {"export", "unexport"})
    if (!fs::exists(g_folder + "/" + name, ec))
      put_file(g_folder, name, "");
  g_inotify = inotify_init1(IN_CLOEXEC | IN_NONBLOCK);
  if (g_inotify < 0)
    return -1;
  g_folder_watch = inotify_add_watch(g_inotify, g_folder.c_str(), IN_CLOSE_WRITE | IN_MOVED_TO);
  if (g_folder_watch < 0)
    return -1;
  g_stop.store(false);
  g_thread = std::thread(watch_loop);
  return 0;
}

void gpio_stop(void)
{
  g_stop.store(true);
  if (g_thread.joinable())
    g_thread.join();
  if (g_inotify >= 0)
    ::close(g_inotify);
  g_inotify = -1;
}

}  // namespace sim
