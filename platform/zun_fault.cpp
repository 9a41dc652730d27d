// The fault seam of the test builds (see zun_fault.h); empty in the others.
#ifdef ZUN_FAULT_SEAM
#include "zun_fault.h"

#include <atomic>
#include <cstring>
#include <sqlite3.h>

namespace {

constexpr const char *kCallNames[] = {"open", "write", "fsync", "fsync_dir", "rename", "link",
                                      "symlink", "unlink", "mkdir", "lock", "chmod", "chown",
                                      "connect", "send"};

// One counter, taken atomically, so that each call has its own number.
std::atomic<int> g_mode{ZunFaultPlan::off};
std::atomic<long> g_calls{0};
long g_at = 0;
int g_err = 0;
std::atomic<int> g_hit{-1};

// A plan that waits for its operation (APPLIANCE_FAULT "...@NAME").
ZunFaultPlan g_waiting;
char g_scope[32] = "";
std::atomic<bool> g_scope_taken{false};
thread_local bool t_in_scope = false;
thread_local bool t_paused = false;

bool can_be_interrupted(ZunCall call)
{
  return call == ZunCall::open_write || call == ZunCall::write || call == ZunCall::lock ||
         call == ZunCall::connect || call == ZunCall::send;
}

void report()
{
  const char *hit = zun_fault_hit();
  dprintf(2, "fault-seam: calls=%ld hit=%s\n", zun_fault_disarm(), hit != nullptr ? hit : "none");
}

}  // namespace

void zun_fault_arm(const ZunFaultPlan &plan)
{
  g_at = plan.at;
  g_err = plan.err;
  g_calls = 0;
  g_hit = -1;
  g_mode = plan.mode;
}

long zun_fault_disarm()
{
  g_mode = ZunFaultPlan::off;
  return g_calls;
}

const char *zun_fault_hit()
{
  int hit = g_hit;
  return hit < 0 ? nullptr : kCallNames[hit];
}

void zun_fault_from_env()
{
  const char *text = std::getenv("APPLIANCE_FAULT");
  if (text == nullptr || text[0] == '\0')
    return;
  ZunFaultPlan plan;
  char err[16] = "";
  char mode[64] = "";
  const char *at = std::strchr(text, '@');
  size_t mode_size = at != nullptr ? size_t(at - text) : std::strlen(text);
  bool named = at != nullptr && at[1] != '\0' && std::strlen(at + 1) < sizeof g_scope;
  if (mode_size < sizeof mode)
    std::memcpy(mode, text, mode_size);
  if (mode_size >= sizeof mode || (at != nullptr && !named)) {
    plan.mode = ZunFaultPlan::off;
  } else if (std::strcmp(mode, "count") == 0) {
    plan.mode = ZunFaultPlan::count;
  } else if (std::sscanf(mode, "short:%ld", &plan.at) == 1) {
    plan.mode = ZunFaultPlan::short_write;
  } else if (std::sscanf(mode, "fail:%ld:%15s", &plan.at, err) == 2) {
    plan.err = std::strcmp(err, "EIO") == 0      ? EIO
               : std::strcmp(err, "ENOSPC") == 0 ? ENOSPC
               : std::strcmp(err, "EINTR") == 0  ? EINTR
                                                 : 0;
    plan.mode = plan.err != 0 ? ZunFaultPlan::fail : ZunFaultPlan::off;
  }
  if (plan.mode == ZunFaultPlan::off) {
    dprintf(2, "fault-seam: APPLIANCE_FAULT=%s not understood\n", text);
    std::abort();  // a test that asks for what cannot happen is wrong
  }
  if (named) {
    std::strcpy(g_scope, at + 1);
    g_waiting = plan;
    return;
  }
  zun_fault_arm(plan);
  std::atexit(report);
}

ZunFaultScope::ZunFaultScope(const char *name)
{
  if (g_scope[0] == '\0' || name == nullptr || std::strcmp(name, g_scope) != 0 || g_scope_taken.exchange(true))
    return;
  active_ = true;
  t_in_scope = true;
  zun_fault_arm(g_waiting);
}

ZunFaultScope::~ZunFaultScope()
{
  if (!active_)
    return;
  t_in_scope = false;
  report();
}

ZunFaultPause::ZunFaultPause() : was_(t_paused) { t_paused = true; }

ZunFaultPause::~ZunFaultPause() { t_paused = was_; }

int zun_fault_check(ZunCall call, size_t *n)
{
  int mode = g_mode;
  if (mode == ZunFaultPlan::off || t_paused || (g_scope[0] != '\0' && !t_in_scope))
    return 0;
  long number = ++g_calls;
  if (mode == ZunFaultPlan::count || number != g_at)
    return 0;
  if (mode == ZunFaultPlan::short_write) {
    if (call != ZunCall::write)
      return 0;
    g_hit = int(call);
    if (n == nullptr || *n < 2)
      return ENOSPC;
    *n /= 2;
    return 0;
  }
  if (g_err == EINTR && !can_be_interrupted(call))
    return 0;
  g_hit = int(call);
  return g_err;
}

// ---- SQLite: a file system that forwards to the real one through the seam --

namespace {

sqlite3_vfs *g_real_vfs = nullptr;
sqlite3_vfs g_vfs;

struct seam_file {
  sqlite3_file base;
  sqlite3_file *real;  // the real file follows this record
};

sqlite3_file *real_of(sqlite3_file *f) { return reinterpret_cast<seam_file *>(f)->real; }

// SQLite retries an interrupted call itself: EINTR lets the call run.
int sqlite_code(int err, int io_code)
{
  return err == 0 || err == EINTR ? SQLITE_OK : err == ENOSPC ? SQLITE_FULL : io_code;
}

int f_close(sqlite3_file *f) { return real_of(f)->pMethods->xClose(real_of(f)); }
int f_read(sqlite3_file *f, void *p, int n, sqlite3_int64 at)
{
  return real_of(f)->pMethods->xRead(real_of(f), p, n, at);
}
int f_write(sqlite3_file *f, const void *p, int n, sqlite3_int64 at)
{
  size_t want = size_t(n);
  if (int rc = sqlite_code(zun_fault_check(ZunCall::write, &want), SQLITE_IOERR_WRITE); rc != SQLITE_OK)
    return rc;
  int rc = real_of(f)->pMethods->xWrite(real_of(f), p, int(want), at);
  return rc == SQLITE_OK && want < size_t(n) ? SQLITE_FULL : rc;  // as the real one reports a short write
}
int f_truncate(sqlite3_file *f, sqlite3_int64 size)
{
  if (int rc = sqlite_code(zun_fault_check(ZunCall::write), SQLITE_IOERR_TRUNCATE); rc != SQLITE_OK)
    return rc;
  return real_of(f)->pMethods->xTruncate(real_of(f), size);
}
int f_sync(sqlite3_file *f, int flags)
{
  if (int rc = sqlite_code(zun_fault_check(ZunCall::fsync), SQLITE_IOERR_FSYNC); rc != SQLITE_OK)
    return rc;
  return real_of(f)->pMethods->xSync(real_of(f), flags);
}
int f_size(sqlite3_file *f, sqlite3_int64 *size) { return real_of(f)->pMethods->xFileSize(real_of(f), size); }
int f_lock(sqlite3_file *f, int level)
{
  // A shared lock only reads; the locks before a change are counted.
  if (level >= SQLITE_LOCK_RESERVED)
    if (int rc = sqlite_code(zun_fault_check(ZunCall::lock), SQLITE_IOERR_LOCK); rc != SQLITE_OK)
      return rc;
  return real_of(f)->pMethods->xLock(real_of(f), level);
}
int f_unlock(sqlite3_file *f, int level) { return real_of(f)->pMethods->xUnlock(real_of(f), level); }
int f_reserved(sqlite3_file *f, int *out)
{
  return real_of(f)->pMethods->xCheckReservedLock(real_of(f), out);
}
int f_control(sqlite3_file *f, int op, void *arg)
{
  return real_of(f)->pMethods->xFileControl(real_of(f), op, arg);
}
int f_sector(sqlite3_file *f) { return real_of(f)->pMethods->xSectorSize(real_of(f)); }
int f_device(sqlite3_file *f) { return real_of(f)->pMethods->xDeviceCharacteristics(real_of(f)); }

// Version 1: no shared memory (the databases keep the rollback journal) and
// no memory mapping, so every change passes through f_write.
const sqlite3_io_methods kMethods = {1,        f_close,   f_read,     f_write,   f_truncate,
                                     f_sync,   f_size,    f_lock,     f_unlock,  f_reserved,
                                     f_control, f_sector, f_device,   nullptr,   nullptr,
                                     nullptr,  nullptr,   nullptr,    nullptr};

int v_open(sqlite3_vfs *, sqlite3_filename name, sqlite3_file *f, int flags, int *out_flags)
{
  auto *sf = reinterpret_cast<seam_file *>(f);
  sf->base.pMethods = nullptr;
  if ((flags & SQLITE_OPEN_READWRITE) != 0)
    if (int e = zun_fault_check(ZunCall::open_write); e != 0 && e != EINTR)
      return SQLITE_CANTOPEN;
  sf->real = reinterpret_cast<sqlite3_file *>(sf + 1);
  int rc = g_real_vfs->xOpen(g_real_vfs, name, sf->real, flags, out_flags);
  if (rc == SQLITE_OK)
    sf->base.pMethods = &kMethods;
  return rc;
}

int v_delete(sqlite3_vfs *, const char *name, int sync_dir)
{
  if (int rc = sqlite_code(zun_fault_check(ZunCall::unlink), SQLITE_IOERR_DELETE); rc != SQLITE_OK)
    return rc;
  return g_real_vfs->xDelete(g_real_vfs, name, sync_dir);
}

}  // namespace

void zun_fault_sqlite()
{
  static const bool registered = [] {
    g_real_vfs = sqlite3_vfs_find(nullptr);
    g_vfs = *g_real_vfs;
    g_vfs.iVersion = 1;  // no system-call overrides past the seam
    g_vfs.zName = "zun-fault";
    g_vfs.szOsFile = int(sizeof(seam_file)) + g_real_vfs->szOsFile;
    g_vfs.xOpen = v_open;
    g_vfs.xDelete = v_delete;
    return sqlite3_vfs_register(&g_vfs, 1) == SQLITE_OK;
  }();
  (void)registered;
}
#endif
