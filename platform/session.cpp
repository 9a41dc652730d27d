// Session files: one user record per file, written whole and authenticated.
//
// Layout (integers little-endian):
//   0  4 bytes  "ZSES"
//   4  u16      format version (3)
//   6  u16      0
//   8  u32      length of the record part that follows the time
//  12  u64      time of saving, seconds since the epoch
//  20  record   the fields of SESSION_FIELDS in order: 32-bit integers;
//               texts as a u16 length (less than the field's size) followed
//               by that many bytes, none of them zero; id lists as a u16
//               count (at most the list's capacity) followed by that many
//               32-bit integers
//  ..  32 bytes HMAC-SHA256 of everything before it, keyed with the
//               appliance's session secret (/mnt/jffs/etc/session.key)
//
// Texts and id lists are stored at their length, not their field width:
// every checked request of engine reads, authenticates and rewrites its
// session, and a record of a few hundred bytes costs a fraction of a
// full-width one (the access list alone holds room for thousands of ids).
//
// The password value is never written: a loaded record has an empty pass.
// A file of another size, tag, version or code, or one saved more than
// ZUN_SESSION_IDLE_SECONDS ago (or more than a minute ahead of the clock),
// does not load.
#include "zun_path.h"
#include "zun_text.h"
#include "zunusers.h"
#include "zunutils.h"

#include <array>
#include <cerrno>
#include <climits>
#include <cstddef>
#include <cstring>
#include <fcntl.h>
#include "digest.h"
#include "zun_fd.h"
#include "zun_fault.h"
#include <sys/random.h>
#include <sys/stat.h>
#include <unistd.h>

namespace {

constexpr char SESSION_TAG[4] = {'Z', 'S', 'E', 'S'};
constexpr uint16_t SESSION_VERSION = 3;
constexpr const char *SESSION_KEY_PATH = "/mnt/jffs/etc/session.key";
constexpr size_t SECRET_SIZE = 32;
constexpr size_t MAC_SIZE = 32;
constexpr size_t HEADER_SIZE = 20;
constexpr uint32_t CLOCK_SLACK_SECONDS = 60;


enum field_kind { FIELD_INT, FIELD_TEXT, FIELD_IDS };

// One stored field: its kind, where it is in the record, how many bytes
// (texts) or how many integers (FIELD_INT, FIELD_IDS). An id list's number
// of entries is the 32-bit integer at count_offset.
struct session_field {
  field_kind kind;
  size_t offset;
  size_t count;
  size_t count_offset = 0;
};

#define ZS_INT(m) {FIELD_INT, offsetof(zunuser, m), sizeof(zunuser::m) / sizeof(int32_t)}
#define ZS_TEXT(m) {FIELD_TEXT, offsetof(zunuser, m), sizeof(zunuser::m)}
#define ZS_ACC(m) offsetof(zunuser, access) + offsetof(zun_access_list, m)
#define ZS_ACC_INT(m) {FIELD_INT, ZS_ACC(m), 1}
#define ZS_ACC_IDS(m, n) {FIELD_IDS, ZS_ACC(m), ZUN_ACCESS_MAX, ZS_ACC(n)}
constexpr session_field SESSION_FIELDS[] = {
    ZS_INT(id),      ZS_INT(valid),  ZS_TEXT(name),   ZS_TEXT(regdate), ZS_TEXT(pass_mark),
    ZS_TEXT(sread),  ZS_TEXT(swrite), ZS_TEXT(cread), ZS_TEXT(cwrite),
    ZS_TEXT(gread),  ZS_TEXT(gwrite), ZS_TEXT(rfu1),  ZS_TEXT(rfu2),
    ZS_TEXT(remote), ZS_TEXT(key),   ZS_INT(radius),
    ZS_ACC_INT(all_components), ZS_ACC_INT(all_groups),
    ZS_ACC_IDS(components, ncomponents), ZS_ACC_IDS(groups, ngroups), ZS_INT(level),
};
#undef ZS_INT
#undef ZS_TEXT
#undef ZS_ACC
#undef ZS_ACC_INT
#undef ZS_ACC_IDS

// The most bytes a field takes: a text its length prefix and at most
// count - 1 bytes, an id list its count and at most count integers.
constexpr size_t field_max_bytes(const session_field &f)
{
  return f.kind == FIELD_INT ? f.count * 4 : f.kind == FIELD_IDS ? 2 + f.count * 4 : 2 + f.count - 1;
}

constexpr size_t body_max_size()
{
  size_t n = 0;
  for (const session_field &f : SESSION_FIELDS)
    n += field_max_bytes(f);
  return n;
}

constexpr size_t MAX_FILE_SIZE = HEADER_SIZE + body_max_size() + MAC_SIZE;
constexpr size_t MIN_FILE_SIZE = HEADER_SIZE + MAC_SIZE;

void put_le(uint8_t *p, uint64_t v, size_t n)
{
  for (size_t i = 0; i < n; i++)
    p[i] = uint8_t(v >> (8 * i));
}

uint64_t get_le(const uint8_t *p, size_t n)
{
  uint64_t v = 0;
  for (size_t i = 0; i < n; i++)
    v |= uint64_t(p[i]) << (8 * i);
  return v;
}


// Reads exactly n bytes; false on a shorter or longer file.
bool read_exact(int fd, uint8_t *p, size_t n)
{
  size_t got = 0;
  for (;;) {
    uint8_t extra;
    uint8_t *dst = got < n ? p + got : &extra;
    size_t want = got < n ? n - got : 1;
    ssize_t r = ::read(fd, dst, want);
    if (r < 0 && errno == EINTR)
      continue;
    if (r < 0)
      return false;
    if (r == 0)
      return got == n;
    if (got >= n)
      return false;  // bytes after the record
    got += size_t(r);
  }
}

// ---- the appliance's session secret ----------------------------------------

int read_secret(const char *path, uint8_t *secret)
{
  Fd fd(::open(path, O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
  if (fd.get() < 0)
    return errno == ENOENT ? 1 : -1;
  struct stat st;
  if (fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
    return -1;
  return read_exact(fd.get(), secret, SECRET_SIZE) ? 0 : 2;
}

// A new secret is written to a file of its own and then put in place in one
// step, so that a concurrent reader never sees half a secret. A missing file
// is put in place only if still missing (the first writer wins and everyone
// reads its secret); a damaged one is replaced. Either way the temporary
// name is gone with the rename: no second step that could fail and leave a
// copy of the secret beside it.
int create_secret(const char *path, bool replace)
{
  uint8_t secret[SECRET_SIZE];
  size_t got = 0;
  while (got < SECRET_SIZE) {
    ssize_t r = getrandom(secret + got, SECRET_SIZE - got, 0);
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0)
      return -1;
    got += size_t(r);
  }
  char tmp[PATH_MAX];
  if (!zun_format(tmp, sizeof tmp, "%s.%ld.tmp", path, long(getpid())))
    return -1;
  {
    Fd fd(zf::open_write(tmp, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (fd.get() < 0)
      return -1;
    bool ok = write_all(fd.get(), secret, SECRET_SIZE) && zf::fsync(fd.get()) == 0;
    explicit_bzero(secret, sizeof secret);
    if (!ok || ::close(fd.release()) != 0) {
      zf::unlink(tmp);
      return -1;
    }
  }
  if (zf::rename(tmp, path, replace ? 0 : RENAME_NOREPLACE) != 0) {
    int err = errno;
    zf::unlink(tmp);
    return err == EEXIST && !replace ? 0 : -1;
  }
  return 0;
}

int load_secret(uint8_t *secret)
{
  char path[PATH_MAX];
  if (zunpath_map(SESSION_KEY_PATH, path, sizeof path) != 0)
    return -1;
  int rc = read_secret(path, secret);
  if (rc == 1 || rc == 2) {
    if (create_secret(path, rc == 2) != 0)
      return -1;
    rc = read_secret(path, secret);
  }
  return rc == 0 ? 0 : -1;
}

bool compute_mac(const uint8_t *data, size_t n, uint8_t *mac)
{
  uint8_t secret[SECRET_SIZE];
  if (load_secret(secret) != 0)
    return false;
  static_assert(MAC_SIZE == SHA256_SIZE);
  zun_hmac_sha256(secret, SECRET_SIZE, data, n, mac);
  explicit_bzero(secret, sizeof secret);
  return true;
}

// ---- record <-> bytes -----------------------------------------------------

// Writes the header and the fields into out (MAX_FILE_SIZE bytes); returns
// the length written, the code not included.
size_t encode(const zunuser *user, uint32_t saved_at, uint8_t *out)
{
  std::memcpy(out, SESSION_TAG, sizeof SESSION_TAG);
  put_le(out + 4, SESSION_VERSION, 2);
  put_le(out + 6, 0, 2);
  put_le(out + 12, saved_at, 8);
  const char *base = reinterpret_cast<const char *>(user);
  uint8_t *p = out + HEADER_SIZE;
  for (const session_field &f : SESSION_FIELDS) {
    if (f.kind == FIELD_INT || f.kind == FIELD_IDS) {
      size_t count = f.count;
      if (f.kind == FIELD_IDS) {
        int32_t n;
        std::memcpy(&n, base + f.count_offset, 4);
        count = size_t(n);  // in range: checked before encoding
        put_le(p, count, 2);
        p += 2;
      }
      for (size_t i = 0; i < count; i++) {
        int32_t v;
        std::memcpy(&v, base + f.offset + 4 * i, 4);
        put_le(p + 4 * i, uint32_t(v), 4);
      }
      p += count * 4;
    } else {
      size_t len = strnlen(base + f.offset, f.count - 1);
      put_le(p, len, 2);
      std::memcpy(p + 2, base + f.offset, len);
      p += 2 + len;
    }
  }
  size_t n = size_t(p - out);
  put_le(out + 8, n - HEADER_SIZE, 4);
  return n;
}

bool counts_in_range(const zun_access_list &a)
{
  return a.ncomponents >= 0 && a.ncomponents <= ZUN_ACCESS_MAX && a.ngroups >= 0 &&
         a.ngroups <= ZUN_ACCESS_MAX;
}

// Header and fields of an authenticated file; false for anything that this
// version would not have written.
bool decode(const uint8_t *in, size_t n, zunuser *user, uint32_t *saved_at)
{
  if (n < HEADER_SIZE || std::memcmp(in, SESSION_TAG, sizeof SESSION_TAG) != 0 ||
      get_le(in + 4, 2) != SESSION_VERSION || get_le(in + 6, 2) != 0 ||
      get_le(in + 8, 4) != n - HEADER_SIZE)
    return false;
  uint64_t t = get_le(in + 12, 8);
  if (t > UINT32_MAX)
    return false;
  *saved_at = uint32_t(t);
  zunusers_clear(user);
  char *base = reinterpret_cast<char *>(user);
  const uint8_t *p = in + HEADER_SIZE;
  const uint8_t *end = in + n;
  for (const session_field &f : SESSION_FIELDS) {
    if (f.kind == FIELD_INT || f.kind == FIELD_IDS) {
      size_t count = f.count;
      if (f.kind == FIELD_IDS) {
        if (end - p < 2)
          return false;
        count = size_t(get_le(p, 2));
        p += 2;
        if (count > f.count)
          return false;
        int32_t n = int32_t(count);
        std::memcpy(base + f.count_offset, &n, 4);
      }
      if (size_t(end - p) < count * 4)
        return false;
      for (size_t i = 0; i < count; i++) {
        int32_t v = int32_t(uint32_t(get_le(p + 4 * i, 4)));
        std::memcpy(base + f.offset + 4 * i, &v, 4);
      }
      p += count * 4;
    } else {
      if (end - p < 2)
        return false;
      size_t len = size_t(get_le(p, 2));
      p += 2;
      if (len >= f.count || size_t(end - p) < len || std::memchr(p, 0, len) != nullptr)
        return false;
      std::memcpy(base + f.offset, p, len);
      base[f.offset + len] = '\0';
      p += len;
    }
  }
  return p == end && counts_in_range(user->access);
}

}  // namespace

int zunusers_save_user_at(const zunuser *user, const char *path, uint32_t saved_at)
{
  char mapped[PATH_MAX];
  if (user == nullptr || path == nullptr || zunpath_map(path, mapped, sizeof mapped) != 0 ||
      !counts_in_range(user->access))
    return -1;  // a record that would not load again is not written
  std::array<uint8_t, MAX_FILE_SIZE> bytes;
  size_t n = encode(user, saved_at, bytes.data());
  if (!compute_mac(bytes.data(), n, bytes.data() + n))
    return -1;
  n += MAC_SIZE;
  Fd fd(zf::open_write(mapped, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOFOLLOW, 0600));
  if (fd.get() < 0)
    return -1;
  if (!write_all(fd.get(), bytes.data(), n))
    return -1;
  return ::close(fd.release()) == 0 ? 0 : -1;
}

int zunusers_pass_mark(const char *pass, char *out, size_t size)
{
  uint8_t mac[MAC_SIZE];
  if (pass == nullptr || out == nullptr || size < 2 * MAC_SIZE + 1 ||
      !compute_mac(reinterpret_cast<const uint8_t *>(pass), std::strlen(pass), mac))
    return -1;
  static constexpr char HEX[] = "0123456789abcdef";
  for (size_t i = 0; i < MAC_SIZE; i++) {
    out[2 * i] = HEX[mac[i] >> 4];
    out[2 * i + 1] = HEX[mac[i] & 15];
  }
  out[2 * MAC_SIZE] = '\0';
  return 0;
}

int zunusers_save_user(const zunuser *user, const char *path)
{
  return zunusers_save_user_at(user, path, systime());
}

int zunusers_load_user(zunuser *user, const char *path)
{
  char mapped[PATH_MAX];
  if (user == nullptr || path == nullptr || zunpath_map(path, mapped, sizeof mapped) != 0)
    return -1;
  std::array<uint8_t, MAX_FILE_SIZE> bytes;
  size_t n = 0;
  {
    // An alias is a link to the session file: it is followed.
    Fd fd(::open(mapped, O_RDONLY | O_CLOEXEC));
    struct stat st;
    if (fd.get() < 0 || fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) ||
        st.st_size < off_t(MIN_FILE_SIZE) || st.st_size > off_t(MAX_FILE_SIZE))
      return -1;
    n = size_t(st.st_size);
    if (!read_exact(fd.get(), bytes.data(), n))
      return -1;
  }
  uint8_t mac[MAC_SIZE];
  n -= MAC_SIZE;
  if (!compute_mac(bytes.data(), n, mac) || !zun_equal_ct(mac, bytes.data() + n, MAC_SIZE))
    return -1;
  zunuser loaded;
  uint32_t saved_at = 0;
  if (!decode(bytes.data(), n, &loaded, &saved_at))
    return -1;
  uint32_t now = systime();
  if (saved_at > now ? saved_at - now > CLOCK_SLACK_SECONDS
                     : now - saved_at > uint32_t(ZUN_SESSION_IDLE_SECONDS))
    return -1;
  *user = loaded;
  return 0;
}
