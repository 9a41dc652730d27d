// Bounded text helpers. Fixed buffer sizes are part of the system: texts are
// cut, never refused, and no buffer is ever written past its size.
#pragma once
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

// Copies at most size-1 bytes of src and always terminates (size > 0).
// Returns strlen(src), like the BSD call.
extern "C" size_t strlcpy(char *dst, const char *src, size_t size);

// Like strlcpy, but never cuts a UTF-8 sequence in half: a character that
// does not fit whole is left out. Returns the number of bytes copied.
size_t utf8_strlcpy(char *dst, const char *src, size_t size);

// The same over the first n bytes of src (no terminator needed there).
size_t utf8_copy(char *dst, size_t size, const char *src, size_t n);

// Length of the UTF-8 sequence that starts with byte c (1 for a stray byte,
// so that malformed text is still handled byte by byte).
size_t utf8_seq_len(unsigned char c);

// The length of the character at the head of text (n bytes) when it is one
// that an XML 1.0 document may carry: well-formed UTF-8 in its shortest
// form, no surrogate, at most U+10FFFF, neither NUL nor another control
// character but tab, line feed and carriage return, nor U+FFFE or U+FFFF.
// 0 otherwise (or for n == 0).
size_t utf8_xml_char(const char *text, size_t n);

// True when the n bytes are all such characters.
bool utf8_xml_valid(const char *text, size_t n);

// The text without the bytes that are not part of such a character.
std::string utf8_xml_clean(std::string_view text);

// Append-and-cut text over a caller's buffer. Every formatted text of the
// system is built with it. Once an append did not fit, truncated() stays
// true and the buffer holds what fitted (terminated).
class BoundedText {
public:
  BoundedText(char *buf, size_t size);
  bool append(std::string_view s);                 // false when cut
  bool appendf(const char *fmt, ...) __attribute__((format(printf, 2, 3)));
  bool vappendf(const char *fmt, va_list ap);
  void clear();
  const char *c_str() const { return buf_; }
  size_t length() const { return len_; }
  size_t capacity() const { return size_; }
  bool truncated() const { return cut_; }
  std::string_view view() const { return {buf_, len_}; }

private:
  char *buf_;
  size_t size_;
  size_t len_ = 0;
  bool cut_ = false;
};

// snprintf that reports whether the text was cut (true: it fitted).
bool zun_format(char *buf, size_t size, const char *fmt, ...) __attribute__((format(printf, 3, 4)));

// strtol into a 32-bit number, the same on every architecture: a number
// beyond the int32 range gives INT32_MAX or INT32_MIN with errno ERANGE, as
// strtol does on the board, whose long has 32 bits. (A 64-bit long read and
// then cast would wrap around instead: 4294967297 would read as 1.)
int32_t zun_strtol32(const char *text, char **end, int base);
