#include "zun_fd.h"
#include "zun_fault.h"

#include <cerrno>

bool write_all(int fd, const void *data, size_t n)
{
  const char *p = static_cast<const char *>(data);
  while (n > 0) {
    ssize_t w = zf::write(fd, p, n);
    if (w < 0 && errno == EINTR)
      continue;
    if (w <= 0)
      return false;
    p += w;
    n -= size_t(w);
  }
  return true;
}
