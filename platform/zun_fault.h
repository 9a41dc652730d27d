// The state-changing system calls of the programs, through one seam.
//
// Every call that changes what is stored (opening for write, write, fsync of
// a file or of its folder, rename, link, symlink, unlink, mkdir, file locks,
// chmod, chown) and a client's half of the exchange with a daemon (connect,
// send) goes through the zf:: wrappers below, so that a test can make
// the Nth of them fail and check that the caller reports the failure and
// leaves the old state whole.
//
// In the test builds (ZUN_FAULT_SEAM defined) each wrapper first asks the
// seam whether this call fails. Everywhere else (the release and board
// builds) the wrappers are the plain calls and nothing of the seam is built.
//
// Arming is scoped to one operation: a test arms it around the call it
// examines; a program reads APPLIANCE_FAULT once at its start
// (zun_fault_from_env):
//   "count"         count the fallible calls
//   "fail:N:ERRNO"  call N (from 1) fails with EIO, ENOSPC or EINTR
//   "short:N"       call N, a write, writes half of what it was given (a
//                   write of one byte fails with ENOSPC instead)
// Without more, the whole run is the scope (engine: one request). With
// "@NAME" added ("fail:3:EIO@save") the plan waits for the first
// operation named NAME (a daemon's command by its tag, "start" for a
// daemon's start, "learn" for warderd's learning write; see
// ZunFaultScope) and counts only the calls of the thread that runs it,
// while it runs: call N is the same call whatever other threads do.
// At the end of the scope (the exit, without a name) the program writes
// "fault-seam: calls=C hit=KIND\n" to standard error (KIND the kind of
// call that failed, or "none"). EINTR is injected only into calls that
// can return it (open, write, a lock); any other call N then runs, and hit
// says "none".
#pragma once
#include <cerrno>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>
#include <unistd.h>

enum class ZunCall {
  open_write, write, fsync, fsync_dir, rename, link, symlink, unlink, mkdir, lock, chmod, chown, connect, send
};

#ifdef ZUN_FAULT_SEAM
struct ZunFaultPlan {
  enum Mode { off, count, fail, short_write } mode = off;
  long at = 0;  // the call, from 1, that fails (fail, short_write)
  int err = 0;  // its errno (fail)
};

// Starts counting from zero under the plan, every thread's calls.
void zun_fault_arm(const ZunFaultPlan &plan);
// Stops; the number of fallible calls made since zun_fault_arm.
long zun_fault_disarm();
// The kind of the call that was made to fail, or nullptr.
const char *zun_fault_hit();
// Arms from APPLIANCE_FAULT (nothing when unset) and reports at exit.
void zun_fault_from_env();
// 0 to make the call; else the errno with which it fails. For a write, *n
// may be made smaller instead (a short count).
int zun_fault_check(ZunCall call, size_t *n = nullptr);
// Makes SQLite's file calls pass through the seam too (once, idempotent).
void zun_fault_sqlite();
// An operation the plan may name: while it lives on this thread, and when
// the plan waits for `name`, the seam counts this thread's calls. Only the
// first such operation of a run is counted.
class ZunFaultScope {
public:
  explicit ZunFaultScope(const char *name);
  ~ZunFaultScope();
  ZunFaultScope(const ZunFaultScope &) = delete;
  ZunFaultScope &operator=(const ZunFaultScope &) = delete;

private:
  bool active_ = false;
};
// While it lives, this thread's calls are neither counted nor failed.
class ZunFaultPause {
public:
  ZunFaultPause();
  ~ZunFaultPause();
  ZunFaultPause(const ZunFaultPause &) = delete;
  ZunFaultPause &operator=(const ZunFaultPause &) = delete;

private:
  bool was_;
};
#define ZUN_FAULT_GATE(call, fail)             \
  if (int e_ = zun_fault_check(call); e_ != 0) { \
    errno = e_;                                \
    return fail;                               \
  }
#else
inline void zun_fault_from_env() {}
struct ZunFaultScope {
  explicit ZunFaultScope(const char *) {}
};
struct ZunFaultPause {
  ZunFaultPause() {}
};
inline void zun_fault_sqlite() {}
#define ZUN_FAULT_GATE(call, fail)
#endif

namespace zf {

// open with O_WRONLY or O_RDWR (and O_CREAT): a descriptor, or -1.
inline int open_write(const char *path, int flags, mode_t mode = 0)
{
  ZUN_FAULT_GATE(ZunCall::open_write, -1)
  return ::open(path, flags, mode);
}

inline int mkostemp(char *templ, int flags)
{
  ZUN_FAULT_GATE(ZunCall::open_write, -1)
  return ::mkostemp(templ, flags);
}

inline ssize_t write(int fd, const void *p, size_t n)
{
#ifdef ZUN_FAULT_SEAM
  if (int e = zun_fault_check(ZunCall::write, &n); e != 0) {
    errno = e;
    return -1;
  }
#endif
  return ::write(fd, p, n);
}

inline int fsync(int fd)
{
  ZUN_FAULT_GATE(ZunCall::fsync, -1)
  return ::fsync(fd);
}

// Flushes the folder `dir` itself (its entries: a file renamed, made or
// removed in it). 0, or -1 with errno.
inline int fsync_dir(const char *dir)
{
  ZUN_FAULT_GATE(ZunCall::fsync_dir, -1)
  int fd = ::open(dir, O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0)
    return -1;
  int rc = ::fsync(fd);
  int err = errno;
  ::close(fd);
  errno = err;
  return rc;
}

// flags as renameat2 takes them (RENAME_NOREPLACE: fails with EEXIST
// instead of replacing).
inline int rename(const char *from, const char *to, unsigned flags = 0)
{
  ZUN_FAULT_GATE(ZunCall::rename, -1)
  return flags != 0 ? ::renameat2(AT_FDCWD, from, AT_FDCWD, to, flags) : ::rename(from, to);
}

inline int link(const char *from, const char *to)
{
  ZUN_FAULT_GATE(ZunCall::link, -1)
  return ::link(from, to);
}

inline int symlink(const char *target, const char *path)
{
  ZUN_FAULT_GATE(ZunCall::symlink, -1)
  return ::symlink(target, path);
}

inline int unlink(const char *path)
{
  ZUN_FAULT_GATE(ZunCall::unlink, -1)
  return ::unlink(path);
}

inline int mkdir(const char *path, mode_t mode)
{
  ZUN_FAULT_GATE(ZunCall::mkdir, -1)
  return ::mkdir(path, mode);
}

inline int lockf(int fd, int cmd, off_t len)
{
  ZUN_FAULT_GATE(ZunCall::lock, -1)
  return ::lockf(fd, cmd, len);
}

inline int fchmod(int fd, mode_t mode)
{
  ZUN_FAULT_GATE(ZunCall::chmod, -1)
  return ::fchmod(fd, mode);
}

inline int fchown(int fd, uid_t uid, gid_t gid)
{
  ZUN_FAULT_GATE(ZunCall::chown, -1)
  return ::fchown(fd, uid, gid);
}

// A daemon's socket: the command a client sends it.
inline int connect(int fd, const struct sockaddr *addr, socklen_t len)
{
  ZUN_FAULT_GATE(ZunCall::connect, -1)
  return ::connect(fd, addr, len);
}

inline ssize_t send(int fd, const void *p, size_t n, int flags)
{
  ZUN_FAULT_GATE(ZunCall::send, -1)
  return ::send(fd, p, n, flags);
}

}  // namespace zf
