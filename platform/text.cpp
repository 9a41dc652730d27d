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

size_t utf8_xml_char(const char *text, size_t n)
{
  if (n == 0)
    return 0;
  auto byte = [&](size_t i) { return static_cast<unsigned char>(text[i]); };
  unsigned char c = byte(0);
  if (c < 0x80)
    return c >= 0x20 || c == '\t' || c == '\n' || c == '\r' ? 1 : 0;
  size_t len = utf8_seq_len(c);
  if (len == 1 || len > n)
    return 0;
  uint32_t code = c & (0xFF >> (len + 1));
  for (size_t i = 1; i < len; i++) {
    if ((byte(i) & 0xC0) != 0x80)
      return 0;
    code = (code << 6) | (byte(i) & 0x3F);
  }
  static constexpr uint32_t SHORTEST[] = {0, 0, 0x80, 0x800, 0x10000};
  if (code < SHORTEST[len] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF) || code == 0xFFFE ||
      code == 0xFFFF)
    return 0;
  return len;
}

bool utf8_xml_valid(const char *text, size_t n)
{
  for (size_t at = 0; at < n;) {
    size_t len = utf8_xml_char(text + at, n - at);
    if (len == 0)
      return false;
    at += len;
  }
  return true;
}

std::string utf8_xml_clean(std::string_view text)
{
  std::string out;
  out.reserve(text.size());
  for (size_t at = 0; at < text.size();) {
    size_t len = utf8_xml_char(text.data() + at, text.size() - at);
    if (len == 0) {
      at++;
      continue;
    }
    out.append(text.substr(at, len));
    at += len;
  }
  return out;
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
