#include "zun_text.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

extern "C" size_t strlcpy(char *dst, const char *src, size_t size)
{
  size_t len = std::strlen(src);
  if (size > 0) {
    size_t n = len < size - 1 ? len : size - 1;
    std::memcpy(dst, src, n);
    dst[n] = '\0';
  }
  return len;
}

size_t utf8_seq_len(unsigned char c)
{
  if (c < 0xC0)
    return 1;
  if (c < 0xE0)
    return 2;
  if (c < 0xF0)
    return 3;
  if (c < 0xF8)
    return 4;
  return 1;
}

size_t utf8_copy(char *dst, size_t size, const char *src, size_t n)
{
  if (dst == nullptr || size == 0)
    return 0;
  size_t len = 0;
  while (len < n) {
    size_t seq = utf8_seq_len(static_cast<unsigned char>(src[len]));
    if (len + seq > n)
      seq = n - len;  // a sequence cut short by the end of src: copy what is there
    if (len + seq > size - 1)
      break;
    len += seq;
  }
  std::memcpy(dst, src, len);
  dst[len] = '\0';
  return len;
}

size_t utf8_strlcpy(char *dst, const char *src, size_t size)
{
  return utf8_copy(dst, size, src, std::strlen(src));
}

BoundedText::BoundedText(char *buf, size_t size) : buf_(buf), size_(size)
{
  if (size_ > 0)
    buf_[0] = '\0';
}

void BoundedText::clear()
{
  len_ = 0;
  cut_ = false;
  if (size_ > 0)
    buf_[0] = '\0';
}

bool BoundedText::append(std::string_view s)
{
  if (size_ == 0) {
    cut_ = cut_ || !s.empty();
    return s.empty();
  }
  size_t room = size_ - 1 - len_;
  size_t n = s.size() < room ? s.size() : room;
  std::memcpy(buf_ + len_, s.data(), n);
  len_ += n;
  buf_[len_] = '\0';
  if (n < s.size())
    cut_ = true;
  return n == s.size();
}

bool BoundedText::vappendf(const char *fmt, va_list ap)
{
  if (size_ == 0)
    return false;
  size_t room = size_ - len_;
  int w = std::vsnprintf(buf_ + len_, room, fmt, ap);
  if (w < 0) {
    buf_[len_] = '\0';
    cut_ = true;
    return false;
  }
  if (static_cast<size_t>(w) >= room) {
    len_ = size_ - 1;
    cut_ = true;
    return false;
  }
  len_ += static_cast<size_t>(w);
  return true;
}

bool BoundedText::appendf(const char *fmt, ...)
{
  va_list ap;
  va_start(ap, fmt);
  bool ok = vappendf(fmt, ap);
  va_end(ap);
  return ok;
}

bool zun_format(char *buf, size_t size, const char *fmt, ...)
{
  BoundedText t(buf, size);
  va_list ap;
  va_start(ap, fmt);
  bool ok = t.vappendf(fmt, ap);
  va_end(ap);
  return ok;
}

int32_t zun_strtol32(const char *text, char **end, int base)
{
  long long v = std::strtoll(text, end, base);
  if (v > INT32_MAX || v < INT32_MIN) {
    errno = ERANGE;
    return v > 0 ? INT32_MAX : INT32_MIN;
  }
  return static_cast<int32_t>(v);
}
