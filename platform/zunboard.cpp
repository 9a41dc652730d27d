// Board type: the name held in /mnt/jffs/etc/devtype. The file is written
// whole (temporary file, then rename) so a reader never sees half a name.
#include "zunboard.h"

#include "zun_fd.h"
#include "zun_path.h"
#include "zun_text.h"
#include "zunfile.h"

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

namespace {

// Index is the type number.
constexpr std::array<const char *, 6> kTypeNames = {"base", "lite", "plus", "pro", "max", "mini"};

// The longest name is four characters; anything much longer is not a name.
constexpr size_t kDevtypeMax = 64;


// Type number of a name (case ignored), or -1.
int type_of(const char *name)
{
  for (size_t i = 0; i < kTypeNames.size(); i++)
    if (strcasecmp(name, kTypeNames[i]) == 0)
      return static_cast<int>(i);
  return -1;
}

bool is_trailing_blank(char c)
{
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

}  // namespace

int zunboard_type_get(void)
{
  char path[512];
  if (zunpath_map(DEVTYPE_PATH, path, sizeof path) != 0)
    return 0;
  Fd f(open(path, O_RDONLY | O_CLOEXEC));
  if (f.get() < 0)
    return 0;
  char text[kDevtypeMax + 1];
  size_t len = 0;
  while (len < kDevtypeMax) {
    ssize_t n = read(f.get(), text + len, kDevtypeMax - len);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0)
      break;
    len += static_cast<size_t>(n);
  }
  // A file longer than any name holds no known name.
  char extra;
  if (len == kDevtypeMax && read(f.get(), &extra, 1) > 0)
    return 0;
  while (len > 0 && is_trailing_blank(text[len - 1]))
    len--;
  text[len] = '\0';
  if (std::memchr(text, '\0', len) != nullptr)
    return 0;
  int type = type_of(text);
  return type < 0 ? 0 : type;
}

const char *zunboard_type_name(void)
{
  return kTypeNames[static_cast<size_t>(zunboard_type_get())];
}

int zunboard_save_devtype(const char *name)
{
  if (name == nullptr)
    return -1;
  int type = type_of(name);
  if (type < 0)
    return -1;
  // The stored name is the table's spelling, whatever case was given.
  char line[16];
  zun_format(line, sizeof line, "%s\n", kTypeNames[static_cast<size_t>(type)]);
  return zunfile_replace(DEVTYPE_PATH, line, std::strlen(line), 0644);
}
