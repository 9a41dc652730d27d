// The save command: the daemon's savers write the settings file through a
// channel around a file descriptor. The old file is never lost: the new
// content goes to a temporary file in the same folder, is synced, and only a
// complete file replaces the old one (rename within one folder is atomic).
// A save cut short by a kill or a power loss leaves its temporary file
// behind; the next start removes it.
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <dirent.h>
#include <fcntl.h>
#include <libgen.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "frame_internal.h"
#include "zun_fault.h"
#include "zun_fd.h"
#include "zun_text.h"

namespace {

// A temporary file of a save is named after the settings file, this marker
// and mkostemp's six letters and digits: "warderd.xml.saving-Ab3xZ9". The
// marker keeps an operator's copy ("warderd.xml.backup") out of the pattern.
constexpr std::string_view kTempMarker = ".saving-";
constexpr size_t kTempRandom = 6;

bool is_temporary_of(std::string_view name, std::string_view settings_name)
{
  if (name.size() != settings_name.size() + kTempMarker.size() + kTempRandom ||
      name.substr(0, settings_name.size()) != settings_name ||
      name.substr(settings_name.size(), kTempMarker.size()) != kTempMarker)
    return false;
  for (char c : name.substr(name.size() - kTempRandom))
    if (!((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9')))
      return false;
  return true;
}

// The save channel's context. `fd` comes first: by the channel convention the
// context is the address of the descriptor.
struct save_file {
  int fd;
  bool write_failed;
};
static_assert(offsetof(save_file, fd) == 0);

// Writes the whole text; a failed write marks the file incomplete.
ssize_t save_write(void *ctx, const void *buf, size_t count)
{
  auto *file = static_cast<save_file *>(ctx);
  if (!write_all(file->fd, buf, count)) {
    file->write_failed = true;
    return -1;
  }
  return static_cast<ssize_t>(count);
}

// fsync then close; the two results OR-ed, a failed write counted as well.
int save_close(void *ctx)
{
  auto *file = static_cast<save_file *>(ctx);
  int synced = zf::fsync(file->fd);
  int closed = close(file->fd);
  file->fd = -1;
  return synced | closed | (file->write_failed ? -1 : 0);
}

// The new file takes the old one's place as a truncate-and-rewrite would
// have kept it: its permissions, owner and group (another program may read it
// under its own user id). A first file gets 0644 less the daemon's creation
// mask (027) and the daemon's own ids. false when the file could not be
// given them (then it does not replace the old one).
bool keep_identity(int fd, const char *path)
{
  struct stat st;
  if (stat(path, &st) != 0 || !S_ISREG(st.st_mode))
    return zf::fchmod(fd, 0640) == 0;
  // Not allowed to give the file away: it stays ours, with the old mode.
  if (zf::fchown(fd, st.st_uid, st.st_gid) != 0 && errno != EPERM)
    return false;
  return zf::fchmod(fd, st.st_mode & 07777) == 0;
}

// The file the settings path stands for: a link is followed, so that the save
// replaces the file it points at and the link stays. false when the path is
// too long or the link cannot be resolved.
bool settings_target(const char *path, char *out, size_t size)
{
  struct stat st;
  if (lstat(path, &st) == 0 && S_ISLNK(st.st_mode)) {
    char resolved[PATH_MAX];
    if (!realpath(path, resolved))
      return false;
    return strlcpy(out, resolved, size) < size;
  }
  return strlcpy(out, path, size) < size;
}

}  // namespace

// <save />
int daemon_cmd_save(xml_channel *ch, const char **)
{
  const daemon_def *def = frame_def();
  char target[PATH_MAX];
  char tmp_path[PATH_MAX];
  BoundedText tmp(tmp_path, sizeof tmp_path);
  save_file file{-1, false};
  if (file_settings[0] != '\0' && settings_target(file_settings, target, sizeof target)) {
    tmp.append(target);
    tmp.append(kTempMarker);
    tmp.append("XXXXXX");
    if (!tmp.truncated())
      file.fd = zf::mkostemp(tmp_path, O_CLOEXEC);
  }
  if (file.fd < 0)
    return daemon_reply(ch, "<error type='fail opening the file' />");

  xml_channel out{def->tags, nullptr, &file, save_write, &file, save_close};
  int result = keep_identity(file.fd, target) ? 0 : -1;
  daemon_write(&out, "<settings>\n");
  for (size_t i = 0; i < def->saver_count; ++i)
    result |= def->savers[i](&out);
  daemon_write(&out, "</settings>\n");
  result |= out.close(out.write_ctx);

  if (result == 0 && zf::rename(tmp_path, target) != 0)
    result = -1;
  if (result != 0)
    zf::unlink(tmp_path);
  // The rename is stored only once the folder is: a failed flush is a
  // failed save, though the new file is already in place.
  char folder[PATH_MAX];
  strlcpy(folder, target, sizeof folder);
  if (result == 0 && zf::fsync_dir(dirname(folder)) != 0)
    result = -1;
  if (result != 0) {
    daemon_reply(ch, "<error type='fail save' />");
    return result;
  }
  daemon_reply(ch, "<error type='no error' />");
  return 0;
}

void frame_remove_stale_saves(void)
{
  char target[PATH_MAX];
  if (file_settings[0] == '\0' || !settings_target(file_settings, target, sizeof target))
    return;
  char folder[PATH_MAX];
  char name[PATH_MAX];
  strlcpy(folder, target, sizeof folder);
  strlcpy(name, target, sizeof name);
  DIR *dir = opendir(dirname(folder));
  if (!dir)
    return;
  const std::string_view settings_name = basename(name);
  while (const dirent *e = readdir(dir)) {
    struct stat st;
    // Only regular files: a save never leaves a link or a folder.
    if (is_temporary_of(e->d_name, settings_name) &&
        fstatat(dirfd(dir), e->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISREG(st.st_mode))
      unlinkat(dirfd(dir), e->d_name, 0);
  }
  closedir(dir);
}
