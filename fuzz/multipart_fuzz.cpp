// Fuzz target for the multipart/form-data reader of the upload roles: the
// part-header reader over the bytes, and the whole reader with the content
// type taken from the input's first line and the rest as the body, read from
// a memory file as the upload roles read standard input.
#include "params.h"
#include "upload.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr size_t TYPE_MAX = 2048;  // longer than the reader's own type buffer

// A memory file holding `body`, positioned at its start; closed on scope exit.
struct body_file {
  int fd = -1;
  explicit body_file(const char *p, size_t n)
  {
    fd = memfd_create("multipart_fuzz", MFD_CLOEXEC);
    if (fd < 0)
      return;
    size_t done = 0;
    while (done < n) {
      ssize_t w = write(fd, p + done, n - done);
      if (w <= 0) {
        close(fd);
        fd = -1;
        return;
      }
      done += static_cast<size_t>(w);
    }
    if (lseek(fd, 0, SEEK_SET) != 0) {
      close(fd);
      fd = -1;
    }
  }
  ~body_file()
  {
    if (fd >= 0)
      close(fd);
  }
  body_file(const body_file &) = delete;
  body_file &operator=(const body_file &) = delete;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
  const char *bytes = reinterpret_cast<const char *>(data);

  // The header reader over the bytes as they come: whatever it finds lies
  // inside them.
  const char *s = upload_part_headers(bytes, size);
  if (s != nullptr && (s < bytes || s > bytes + size))
    std::abort();
  params_reset();

  // First line (up to LF, bounded): the content type; the rest: the body.
  const void *lf = std::memchr(bytes, '\n', size < TYPE_MAX ? size : TYPE_MAX);
  size_t type_len = lf != nullptr ? static_cast<size_t>(static_cast<const char *>(lf) - bytes)
                                  : (size < TYPE_MAX ? size : TYPE_MAX);
  std::string type(bytes, type_len);
  size_t body_at = lf != nullptr ? type_len + 1 : type_len;
  const char *body = bytes + body_at;
  size_t body_len = size - body_at;
  if (body_len > static_cast<size_t>(UPLOAD_MAX_LENGTH))
    return 0;

  body_file file(body, body_len);
  if (file.fd < 0)
    return 0;
  char length[24];
  std::snprintf(length, sizeof length, "%zu", body_len);
  char *out = nullptr;
  long n = upload_read_file(type.c_str(), length, &out, file.fd);
  if (n >= 0) {
    // The file data fits in the body it came from.
    if (out == nullptr || static_cast<size_t>(n) > body_len)
      std::abort();
    upload_is_jpeg(out, static_cast<size_t>(n));
    upload_is_png(out, static_cast<size_t>(n));
    upload_is_gif(out, static_cast<size_t>(n));
    upload_is_sqlite(out, static_cast<size_t>(n));
    std::free(out);
  } else if (out != nullptr) {
    std::abort();  // a failure hands back no buffer
  }
  params_reset();
  return 0;
}
