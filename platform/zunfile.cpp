#include "zunfile.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "zun_fault.h"
#include "zun_path.h"
#include "zun_text.h"

long long zunfile_open(const char *path, Fd &fd)
{
  char mapped[PATH_MAX];
  fd.reset();
  if (zunpath_map(path, mapped, sizeof mapped) != 0)
    return -1;
  fd.reset(::open(mapped, O_RDONLY | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
    fd.reset();
    return -1;
  }
  return static_cast<long long>(st.st_size);
}

bool zunfile_send(int fd, long long size, FILE *out, char *buf, size_t piece)
{
  while (size > 0) {
    size_t want = size < static_cast<long long>(piece) ? static_cast<size_t>(size) : piece;
    ssize_t r = ::read(fd, buf, want);
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0 || std::fwrite(buf, 1, static_cast<size_t>(r), out) != static_cast<size_t>(r))
      return false;
    size -= r;
  }
  return true;
}

int zunfile_replace(const char *path, const void *data, size_t n, mode_t mode)
{
  char mapped[PATH_MAX];
  char tmp[PATH_MAX];
  if (zunpath_map(path, mapped, sizeof mapped) != 0)
    return -1;
  // Beside the target (so that the rename stays within its file system),
  // hidden, and unique to this writer: concurrent writers never share one.
  const char *slash = std::strrchr(mapped, '/');
  int dir_len = slash != nullptr ? static_cast<int>(slash + 1 - mapped) : 0;
  const char *base = mapped + dir_len;
  if (!zun_format(tmp, sizeof tmp, "%.*s.%s.XXXXXX", dir_len, mapped, base))
    return -1;
  Fd fd(zf::mkostemp(tmp, O_CLOEXEC));
  if (fd.get() < 0)
    return -1;
  bool ok = zf::fchmod(fd.get(), mode) == 0 && write_all(fd.get(), data, n) && zf::fsync(fd.get()) == 0;
  if (!ok || ::close(fd.release()) != 0 || zf::rename(tmp, mapped) != 0) {
    zf::unlink(tmp);
    return -1;
  }
  // The rename is stored only when the folder is: until then a power cut can
  // bring the old file back. When that flush fails the new content is in
  // place but may not stay, so the caller hears of a failure (it may try
  // again; the file holds either the old or the new content, whole).
  char folder[PATH_MAX];
  bool named = dir_len == 0 ? zun_format(folder, sizeof folder, ".")
                            : zun_format(folder, sizeof folder, "%.*s", dir_len > 1 ? dir_len - 1 : 1, mapped);
  if (!named)
    return -1;
  return zf::fsync_dir(folder) == 0 ? 0 : -1;
}

int zunfile_private_folder(const char *path)
{
  char mapped[PATH_MAX];
  if (zunpath_map(path, mapped, sizeof mapped) != 0)
    return -1;
  // A trailing '/' would make the open follow a link.
  for (size_t n = std::strlen(mapped); n > 1 && mapped[n - 1] == '/'; n--)
    mapped[n - 1] = '\0';
  if (zf::mkdir(mapped, 0700) != 0 && errno != EEXIST)
    return -1;
  // Under a folder that everyone may write to, the name may have been taken
  // first: only a folder of our own, opened without following a link.
  Fd fd(::open(mapped, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
  struct stat st;
  if (fd.get() < 0 || ::fstat(fd.get(), &st) != 0 || st.st_uid != ::geteuid())
    return -1;
  return (st.st_mode & 07777) == 0700 || zf::fchmod(fd.get(), 0700) == 0 ? 0 : -1;
}

int zunfile_remove(const char *path)
{
  char mapped[PATH_MAX];
  if (zunpath_map(path, mapped, sizeof mapped) != 0)
    return -1;
  return zf::unlink(mapped) == 0 || errno == ENOENT ? 0 : -1;
}

int zunfile_list(const char *path, std::vector<std::string> &names)
{
  char mapped[PATH_MAX];
  names.clear();
  if (zunpath_map(path, mapped, sizeof mapped) != 0)
    return -1;
  DIR *dir = ::opendir(mapped);
  if (dir == nullptr)
    return -1;
  // readdir ends the folder and fails alike (nullptr): only errno, cleared
  // before each call, tells a cut-short list from a whole one.
  const struct dirent *e;
  while ((errno = 0, e = ::readdir(dir)) != nullptr) {
    if (std::strcmp(e->d_name, ".") != 0 && std::strcmp(e->d_name, "..") != 0)
      names.emplace_back(e->d_name);
  }
  bool whole = errno == 0;
  ::closedir(dir);
  if (!whole) {
    names.clear();
    return -1;
  }
  std::sort(names.begin(), names.end());
  return 0;
}
