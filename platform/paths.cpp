#include "zun_path.h"

#include <cstdlib>
#include <cstring>

int zunpath_map(const char *path, char *out, size_t size)
{
  if (size == 0)
    return -1;
  const char *root = std::getenv("APPLIANCE_ROOT");
  if (root == nullptr)
    root = "";
  size_t rl = std::strlen(root);
  size_t pl = std::strlen(path);
  if (rl + pl + 1 > size) {
    out[0] = '\0';
    return -1;
  }
  std::memcpy(out, root, rl);
  std::memcpy(out + rl, path, pl + 1);
  return 0;
}

std::string zunpath(std::string_view path)
{
  const char *root = std::getenv("APPLIANCE_ROOT");
  std::string out = root ? root : "";
  out.append(path);
  return out;
}
