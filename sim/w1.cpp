// The 1-Wire reader stand-in: $APPLIANCE_ROOT/dev/w1 is a FIFO held open for reading
// and writing (so it never reports end of input to its reader). While the
// file $APPLIANCE_ROOT/tmp/w1.key holds 12 hexadecimal digits, a key lies on
// the reader: exactly its 6 bytes are kept available in the FIFO (written
// again whenever a reader took them). When the file goes away, or holds
// anything else, the FIFO is drained so that select() sees nothing.
#include "sim.h"

#include "zun_path.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace sim {

namespace {

int g_w1 = -1;
unsigned char g_key[6];
bool g_have_key = false;

int hex_digit(char c)
{
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  return -1;
}

// The key of w1.key: 12 hexadecimal digits, optionally followed by blanks
// or a line end. False when the file is missing or holds anything else.
bool read_key(unsigned char key[6])
{
  FILE *f = std::fopen(zunpath("/tmp/w1.key").c_str(), "re");
  if (f == nullptr)
    return false;
  char text[64];
  size_t n = std::fread(text, 1, sizeof text - 1, f);
  std::fclose(f);
  text[n] = '\0';
  while (n > 0 && (text[n - 1] == '\n' || text[n - 1] == '\r' || text[n - 1] == ' '))
    text[--n] = '\0';
  if (n != 12)
    return false;
  for (int i = 0; i < 6; i++) {
    int hi = hex_digit(text[2 * i]), lo = hex_digit(text[2 * i + 1]);
    if (hi < 0 || lo < 0)
      return false;
    key[i] = static_cast<unsigned char>(hi << 4 | lo);
  }
  return true;
}

void drain(void)
{
  char buf[256];
  while (::read(g_w1, buf, sizeof buf) > 0) {
  }
}

void make_dirs(const std::string &path)
{
  for (size_t pos = 1; pos < path.size(); pos++)
    if (path[pos] == '/')
      ::mkdir(path.substr(0, pos).c_str(), 0755);
}

}  // namespace

int w1_start(void)
{
  std::string path = zunpath("/dev/w1");
  make_dirs(path);
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && !S_ISFIFO(st.st_mode))
    ::unlink(path.c_str());
  if (::mkfifo(path.c_str(), 0666) != 0 && errno != EEXIST)
    return -1;
  g_w1 = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (g_w1 < 0)
    return -1;
  drain();  // a FIFO left by an earlier run may still hold a key
  return 0;
}

void w1_poll(void)
{
  if (g_w1 < 0)
    return;
  unsigned char key[6];
  bool have = read_key(key);
  if (!have) {
    if (g_have_key)
      g_have_key = false;
    drain();
    return;
  }
  if (!g_have_key || std::memcmp(key, g_key, sizeof key) != 0) {
    drain();  // another key was laid on the reader
    std::memcpy(g_key, key, sizeof key);
    g_have_key = true;
  }
  int avail = 0;
  if (::ioctl(g_w1, FIONREAD, &avail) == 0 && avail == 0) {
    ssize_t w = ::write(g_w1, g_key, sizeof g_key);
    (void)w;  // a full FIFO cannot happen with 6 bytes in it
  }
}

void w1_stop(void)
{
  if (g_w1 >= 0)
    ::close(g_w1);
  g_w1 = -1;
}

}  // namespace sim
