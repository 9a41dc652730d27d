// The multipart/form-data reader of the upload roles.
#include "upload.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <strings.h>
#include <unistd.h>

#include "params.h"
#include "zun_text.h"

namespace {

constexpr int STATUS_BAD_REQUEST = 400;
constexpr int STATUS_NO_MEMORY = 500;
constexpr size_t KEY_SIZE = 128;  // a session key from an upload: 127 digits

// "k=" and the key of the upload's "k" part; it lives as long as the process.
char g_key_pair[2 + KEY_SIZE];

long fail(int status)
{
  errno = status;
  return -1;
}

bool is_digit(char c) { return c >= '0' && c <= '9'; }

// Adds the parameter k with the first run of digits in [p, end).
void take_key(const char *p, const char *end)
{
  while (p < end && !is_digit(*p))
    p++;
  if (p == end)
    return;  // no digit before the end of the body: no key
  size_t n = 0;
  g_key_pair[0] = 'k';
  g_key_pair[1] = '=';
  while (p < end && is_digit(*p) && n < KEY_SIZE - 1)
    g_key_pair[2 + n++] = *p++;
  g_key_pair[2 + n] = '\0';
  param_add(g_key_pair, false);
}

enum class part_kind { unknown, file, key, given_up };

// One Content-Disposition value (after the colon, trimmed). For a "k" part
// the key is taken from what follows the name up to `end`.
part_kind disposition(char *value, const char *line_in_body, const char *end)
{
  if (strncasecmp(value, "form-data", 9) != 0)
    return part_kind::given_up;
  char *rest = value + 9;
  while (*rest == ' ' || *rest == '\t')
    rest++;
  if (*rest != ';')
    return part_kind::given_up;
  char *name = std::strstr(rest, "name=");
  if (name == nullptr || (name[-1] != ';' && name[-1] != ' ' && name[-1] != '\t'))
    return part_kind::given_up;
  const char *v = name + 5;
  if (strncasecmp(v, "\"filedata\"", 10) == 0 || strncasecmp(v, "filedata", 8) == 0)
    return part_kind::file;
  if (strncasecmp(v, "\"k\"", 3) == 0 || (v[0] == 'k' || v[0] == 'K')) {
    size_t skip = v[0] == '"' ? 3 : 1;
    take_key(line_in_body + (v - value) + skip, end);
    return part_kind::key;
  }
  return part_kind::given_up;
}

}  // namespace

const char *upload_part_headers(const char *p, size_t n)
{
  const char *end = p + n;
  const char *line = p;
  bool first = true;
  bool file = false;
  char text[1024];
  for (;;) {
    const char *crlf = nullptr;
    for (const char *q = line; q + 1 < end; q++) {
      if (q[0] == '\r' && q[1] == '\n') {
        crlf = q;
        break;
      }
    }
    if (crlf == nullptr)
      return nullptr;  // ran out of bytes
    if (crlf == line && !first)
      return file ? crlf + 2 : nullptr;  // the empty line ends the headers
    if (crlf != line && !file) {
      size_t len = static_cast<size_t>(crlf - line);
      if (len >= sizeof text)
        len = sizeof text - 1;
      std::memcpy(text, line, len);
      text[len] = '\0';
      char *trimmed = text_trim(text);
      if (strncasecmp(trimmed, "Content-Disposition:", 20) == 0) {
        char *value = text_trim(trimmed + 20);
        // Where the value's text lies in the body, for the key scan.
        const char *value_in_body = line + (value - text);
        switch (disposition(value, value_in_body, end)) {
        case part_kind::file:
          file = true;
          break;
        case part_kind::unknown:
          break;
        default:
          return nullptr;
        }
      }
    }
    first = false;
    line = crlf + 2;
  }
}

long upload_read_file(const char *content_type, const char *content_length, char **data, int fd)
{
  if (content_type == nullptr || content_length == nullptr)
    return fail(STATUS_BAD_REQUEST);
  long length = std::strtol(content_length, nullptr, 10);
  if (length < 1 || length > UPLOAD_MAX_LENGTH)
    return fail(STATUS_BAD_REQUEST);

  char type[1024];
  if (strlcpy(type, content_type, sizeof type) >= sizeof type)
    return fail(STATUS_BAD_REQUEST);
  size_t media_len = std::strcspn(type, ";,");
  if (type[media_len] == '\0')
    return fail(STATUS_BAD_REQUEST);
  type[media_len] = '\0';
  if (strcasecmp(text_trim(type), "multipart/form-data") != 0)
    return fail(STATUS_BAD_REQUEST);
  const char *boundary = nullptr;
  for (char *param = type + media_len + 1; param != nullptr && boundary == nullptr;) {
    char *semi = std::strchr(param, ';');
    if (semi != nullptr)
      *semi = '\0';
    char *t = text_trim(param);
    if (strncasecmp(t, "boundary=", 9) == 0)
      boundary = text_trim(t + 9);
    param = semi != nullptr ? semi + 1 : nullptr;
  }
  if (boundary == nullptr || *boundary == '\0')
    return fail(STATUS_BAD_REQUEST);
  char delim[1030];
  if (!zun_format(delim, sizeof delim, "--%s", boundary))
    return fail(STATUS_BAD_REQUEST);
  size_t L = std::strlen(delim);

  size_t size = static_cast<size_t>(length) + 1;
  char *buf = static_cast<char *>(std::malloc(size));
  if (buf == nullptr)
    return fail(STATUS_NO_MEMORY);
  size_t n = 0;
  while (n < size) {
    ssize_t r = read(fd, buf + n, size - n);
    if (r < 0 && errno == EINTR)
      continue;
    if (r <= 0)
      break;
    n += static_cast<size_t>(r);
  }
  if (n == 0 || n <= L) {
    std::free(buf);
    return fail(STATUS_BAD_REQUEST);
  }

  const char *start = nullptr;
  const char *stop = nullptr;
  size_t pos = 0;
  while (n - pos > L) {
    // Only where the delimiter's first byte stands can it begin: the scan
    // jumps there instead of comparing at every byte of a 5 MiB body.
    const void *next = std::memchr(buf + pos, delim[0], n - L - pos);
    if (next == nullptr)
      break;
    pos = static_cast<size_t>(static_cast<const char *>(next) - buf);
    if (std::memcmp(buf + pos, delim, L) != 0) {
      pos++;
      continue;
    }
    if (start == nullptr) {
      const char *s = upload_part_headers(buf + pos + L, n - pos - L);
      if (s != nullptr) {
        start = s;
        pos = static_cast<size_t>(s - buf);
      } else {
        pos += L;
      }
      continue;
    }
    auto crlf = [](char c) { return c == '\r' || c == '\n'; };
    const char *e = buf + pos;
    if (pos >= 2 && crlf(e[-1]) && crlf(e[-2]))
      e -= 2;
    stop = e < start ? start : e;
    break;
  }
  if (start == nullptr) {
    std::free(buf);
    return fail(STATUS_BAD_REQUEST);
  }
  if (stop == nullptr)
    stop = buf + n;
  size_t len = static_cast<size_t>(stop - start);
  std::memmove(buf, start, len);
  *data = buf;
  return static_cast<long>(len);
}

bool upload_is_jpeg(const char *d, size_t len)
{
  return len > 9 && static_cast<unsigned char>(d[0]) == 0xFF && static_cast<unsigned char>(d[1]) == 0xD8;
}

bool upload_is_png(const char *d, size_t len)
{
  static const unsigned char sig[8] = {0x89, 0x50, 0x4E, 0x47, 0x0D, 0x0A, 0x1A, 0x0A};
  return len >= 8 && std::memcmp(d, sig, 8) == 0;
}

bool upload_is_gif(const char *d, size_t len) { return len >= 3 && std::memcmp(d, "GIF", 3) == 0; }

bool upload_is_sqlite(const char *d, size_t len)
{
  return std::strncmp("SQLite format 3", d, len) == 0;
}
