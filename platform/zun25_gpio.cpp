// GPIO lines through the kernel's sysfs interface, mapped under the root.
#include "zun25_gpio.h"

#include "zun_fd.h"
#include "zun_path.h"
#include "zun_text.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

namespace {

constexpr const char *kGpioDir = "/sys/class/gpio";
// How long an export may take to show the line's files. The kernel has them
// in place when the write returns; a stand-in on a development machine makes
// them a moment later.
constexpr int kExportWaitMs = 1000;
constexpr int kExportPollMs = 5;

// The mapped path of a file of the GPIO folder: "export", or "gpioN/NAME"
// when line >= 0. 0 when it fits.
int gpio_path(int line, const char *name, char *out, size_t size)
{
  char rel[128];
  bool ok = line >= 0 ? zun_format(rel, sizeof rel, "%s/gpio%d/%s", kGpioDir, line, name)
                      : zun_format(rel, sizeof rel, "%s/%s", kGpioDir, name);
  if (!ok)
    return -1;
  return zunpath_map(rel, out, size);
}

// Writes the whole text into an existing file (sysfs files are not created).
int write_text(int line, const char *name, const char *text)
{
  char path[512];
  if (gpio_path(line, name, path, sizeof path) != 0)
    return -1;
  Fd f(open(path, O_WRONLY | O_TRUNC | O_CLOEXEC));
  if (f.get() < 0)
    return -1;
  if (!write_all(f.get(), text, std::strlen(text)))
    return -1;
  return 0;
}

int write_line_number(int line, const char *name)
{
  if (line < 0)
    return -1;
  char num[16];
  zun_format(num, sizeof num, "%d", line);
  return write_text(-1, name, num);
}

// True once the exported line's direction file exists, waiting for it up to
// kExportWaitMs when `wait` is set.
bool line_appears(int line, bool wait)
{
  char path[512];
  if (gpio_path(line, "direction", path, sizeof path) != 0)
    return false;
  for (int waited = 0;; waited += kExportPollMs) {
    if (access(path, F_OK) == 0)
      return true;
    if (!wait || waited >= kExportWaitMs)
      return false;
    struct timespec pause = {0, kExportPollMs * 1000 * 1000};
    nanosleep(&pause, nullptr);
  }
}

}  // namespace

int zun25_gpio_export(int line, int level)
{
  if (line < 0)
    return -1;
  // A line that is exported already refuses the export (EBUSY) but is there
  // to be driven; a line that was just exported may need a moment.
  bool exported = write_line_number(line, "export") == 0;
  if (!line_appears(line, exported))
    return -1;
  // "high" and "low" make the line an output at that level in one step, so it
  // never drives the other level on the way.
  return write_text(line, "direction", level ? "high" : "low");
}

int zun25_gpio_unexport(int line)
{
  return write_line_number(line, "unexport");
}

int zun25_gpio_put(int line, int level)
{
  if (line < 0)
    return -1;
  return write_text(line, "value", level ? "1" : "0");
}

int zun25_gpio_get(int line)
{
  if (line < 0)
    return -1;
  char path[512];
  if (gpio_path(line, "value", path, sizeof path) != 0)
    return -1;
  Fd f(open(path, O_RDONLY | O_CLOEXEC));
  if (f.get() < 0)
    return -1;
  char c;
  ssize_t n;
  do
    n = read(f.get(), &c, 1);
  while (n < 0 && errno == EINTR);
  if (n != 1)
    return -1;
  if (c == '0')
    return 0;
  if (c == '1')
    return 1;
  return -1;
}
