// The journal of received commands and the fault modes of the stand-ins.
#include "sim.h"

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <unistd.h>

namespace sim {

namespace {

std::mutex g_journal_lock;
std::string g_journal_path;
std::string g_faults_path;

}  // namespace

void journal_open(const std::string &path)
{
  std::lock_guard<std::mutex> hold(g_journal_lock);
  g_journal_path = path;
}

// The file is opened for every line (O_APPEND), so that a test may truncate
// or remove it at any moment and the next line starts a fresh file.
void journal_write(std::string_view daemon, std::string_view command)
{
  std::string line(daemon);
  line += '\t';
  for (char c : command) {
    if (c == '\n')
      line += "\\n";
    else
      line += c;
  }
  line += '\n';
  std::lock_guard<std::mutex> hold(g_journal_lock);
  if (g_journal_path.empty())
    return;
  int fd = ::open(g_journal_path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644);
  if (fd < 0)
    return;
  const char *p = line.data();
  size_t left = line.size();
  while (left > 0) {
    ssize_t w = ::write(fd, p, left);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      break;
    p += w;
    left -= static_cast<size_t>(w);
  }
  ::close(fd);
}

namespace {

struct FaultName {
  const char *name;
  Fault mode;
};

constexpr FaultName kFaults[] = {
    {"none", Fault::none},   {"silent", Fault::silent},       {"close", Fault::close},
    {"slow", Fault::slow},   {"malformed", Fault::malformed},
};

}  // namespace

bool fault_parse(std::string_view text, Fault *out)
{
  for (const auto &f : kFaults)
    if (text == f.name) {
      *out = f.mode;
      return true;
    }
  return false;
}

void faults_file_set(const std::string &path)
{
  g_faults_path = path;
}

// Lines "name mode"; blanks around are ignored, the last line for a name
// wins, unknown modes are skipped.
Fault fault_current(std::string_view daemon, Fault dflt)
{
  if (g_faults_path.empty())
    return dflt;
  FILE *f = std::fopen(g_faults_path.c_str(), "re");
  if (f == nullptr)
    return dflt;
  Fault mode = dflt;
  char line[256];
  while (std::fgets(line, sizeof line, f) != nullptr) {
    char name[64], value[64];
    if (std::sscanf(line, "%63s %63s", name, value) != 2)
      continue;
    Fault m;
    if (daemon == name && fault_parse(value, &m))
      mode = m;
  }
  std::fclose(f);
  return mode;
}

}  // namespace sim
