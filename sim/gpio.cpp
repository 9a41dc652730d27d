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
// files to appear, tests poll for the contents. The stand-in puts its own
// texts in place by renaming a fresh file over the old one, so a reader never
// sees half of one. A program that writes while the stand-in is still acting
// on its previous write may open the file just before it is replaced, so each
// file the stand-in puts is watched on its own (not through its folder) and
// held open: a write is read from the very file it went into, even one that
// has been replaced meanwhile, and is never confused with the stand-in's texts.
#include "sim.h"

#include "zun_path.h"

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
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

// A line's files, by their index in Line::in_place.
enum { kDirection, kValue };
const char *const kFileNames[] = {"direction", "value"};

struct Line {
  bool output = false;
  int value = 0;
  int in_place[2] = {-1, -1};  // watches of the files in place
};

// A file of a line that the stand-in put in place, held open. `order`
// numbers the files in the order they were put; `replaced_by` is the order of
// the one put in its place (0 while it is in place).
struct LineFile {
  int line;
  int file;
  int fd;
  unsigned long order;
  unsigned long replaced_by;
};

std::string g_folder;  // the mapped /sys/class/gpio
int g_inotify = -1;
int g_folder_watch = -1;
std::map<int, Line> g_lines;  // exported lines by number
std::map<int, LineFile> g_files;  // by watch
unsigned long g_puts = 0;
std::atomic<bool> g_stop{false};
std::thread g_thread;

std::string line_folder(int line)
{
  return g_folder + "/gpio" + std::to_string(line);
}

std::string without_line_end(std::string text)
{
  while (!text.empty() && (text.back() == '\n' || text.back() == ' ' || text.back() == '\r'))
    text.pop_back();
  return text;
}

// What an open file reads from its start; "" when it cannot be read.
std::string read_fd(int fd)
{
  char buf[64];
  ssize_t n = ::pread(fd, buf, sizeof buf, 0);
  return n > 0 ? std::string(buf, static_cast<size_t>(n)) : "";
}

// The file's text without its line end; "" when it cannot be read.
std::string read_text(const std::string &path)
{
  int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0)
    return "";
  std::string text = read_fd(fd);
  ::close(fd);
  return without_line_end(text);
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

// Writes text into a fresh file beside folder/name, to be renamed over it;
// its path, or "" when it cannot be written.
std::string write_beside(const std::string &folder, const char *name, const std::string &text)
{
  std::string tmp = folder + "/." + name + ".new";
  FILE *f = std::fopen(tmp.c_str(), "we");
  if (f == nullptr)
    return "";
  bool ok = std::fwrite(text.data(), 1, text.size(), f) == text.size();
  if (std::fclose(f) != 0 || !ok) {
    ::unlink(tmp.c_str());
    return "";
  }
  return tmp;
}

// Forgets the files of line n that no program can write any more: those
// replaced by a file put no later than `order` (0: every file of the line).
void forget(int n, unsigned long order)
{
  for (auto it = g_files.begin(); it != g_files.end();) {
    const LineFile &f = it->second;
    if (f.line != n || (order != 0 && (f.replaced_by == 0 || f.replaced_by > order))) {
      ++it;
      continue;
    }
    inotify_rm_watch(g_inotify, it->first);
    ::close(f.fd);
    it = g_files.erase(it);
  }
}

// Puts text in place as a file of line n, in folder, unless the file in
// place reads so already. The file it replaces stays watched and open: a
// program may have opened it just before and write into it yet.
void put_line_file(const std::string &folder, int n, Line &l, int file, const std::string &text)
{
  auto now = g_files.find(l.in_place[file]);
  if (now != g_files.end() && read_fd(now->second.fd) == text)
    return;
  std::string tmp = write_beside(folder, kFileNames[file], text);
  if (tmp.empty())
    return;
  LineFile f = {n, file, ::open(tmp.c_str(), O_RDONLY | O_CLOEXEC), g_puts + 1, 0};
  int watch = f.fd < 0 ? -1 : inotify_add_watch(g_inotify, tmp.c_str(), IN_CLOSE_WRITE);
  if (watch < 0 || ::rename(tmp.c_str(), (folder + "/" + kFileNames[file]).c_str()) != 0) {
    if (watch >= 0)
      inotify_rm_watch(g_inotify, watch);
    if (f.fd >= 0)
      ::close(f.fd);
    ::unlink(tmp.c_str());
    return;
  }
  g_puts = f.order;
  if (now != g_files.end())
    now->second.replaced_by = f.order;
  l.in_place[file] = watch;
  g_files[watch] = f;
}

void show(const std::string &folder, int n, Line &l)
{
  put_line_file(folder, n, l, kDirection, l.output ? "out\n" : "in\n");
  put_line_file(folder, n, l, kValue, l.value ? "1\n" : "0\n");
}

void export_line(int n)
{
  if (n < 0 || g_lines.count(n))
    return;
  // Made whole beside, then renamed: once direction exists, so does value.
  // Its files are watched as they are made, and the watches follow them
  // through the rename: a write made the moment they appear is seen.
  std::string folder = line_folder(n);
  std::string fresh = folder + ".new";
  std::error_code ec;
  fs::remove_all(fresh, ec);
  fs::remove_all(folder, ec);
  if (::mkdir(fresh.c_str(), 0755) != 0)
    return;
  Line &l = g_lines[n];
  show(fresh, n, l);
  if (l.in_place[kDirection] < 0 || l.in_place[kValue] < 0 ||
      ::rename(fresh.c_str(), folder.c_str()) != 0) {
    forget(n, 0);
    g_lines.erase(n);
    fs::remove_all(fresh, ec);
  }
}

void unexport_line(int n)
{
  auto it = g_lines.find(n);
  if (it == g_lines.end())
    return;
  forget(n, 0);
  g_lines.erase(it);
  std::error_code ec;
  fs::remove_all(line_folder(n), ec);
}

// A program's write into a file of an exported line, read from that file.
void line_written(const LineFile &f)
{
  auto it = g_lines.find(f.line);
  if (it == g_lines.end())
    return;
  Line &l = it->second;
  std::string text = without_line_end(read_fd(f.fd));
  int v;
  if (f.file == kDirection) {
    if (text == "in") {
      l.output = false;
    } else if (text == "out" || text == "low" || text == "high") {
      l.output = true;
      l.value = text == "high" ? 1 : 0;
    }
  } else if (l.output && parse_number(text, &v)) {
    l.value = v != 0;
  }
  int line = f.line;
  unsigned long order = f.order;
  show(line_folder(line), line, l);
  // A program writes one file at a time, and it opened this one after it was
  // put, so after every file replaced until then: none of its writes can go
  // into those any more.
  forget(line, order);
}

void handle(const inotify_event &e)
{
  if (e.wd == g_folder_watch) {
    std::string name = e.len > 0 ? e.name : "";
    int n;
    if (name == "export" && parse_number(read_text(g_folder + "/export"), &n))
      export_line(n);
    else if (name == "unexport" && parse_number(read_text(g_folder + "/unexport"), &n))
      unexport_line(n);
    return;
  }
  auto it = g_files.find(e.wd);
  if (it != g_files.end() && (e.mask & IN_CLOSE_WRITE) != 0)
    line_written(it->second);
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
  for (const char *name : {"export", "unexport"}) {
    std::string path = g_folder + "/" + name;
    if (fs::exists(path, ec))
      continue;
    std::string tmp = write_beside(g_folder, name, "");
    if (!tmp.empty())
      ::rename(tmp.c_str(), path.c_str());
  }
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
  for (const auto &[watch, f] : g_files)
    ::close(f.fd);
  g_files.clear();
  g_lines.clear();
  if (g_inotify >= 0)
    ::close(g_inotify);
  g_inotify = -1;
}

}  // namespace sim
