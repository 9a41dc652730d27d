// A descriptor closed when its owner goes out of scope (also when a
// cancelled thread unwinds), and writing a whole buffer to one.
#pragma once
#include <cstddef>
#include <unistd.h>

class Fd {
public:
  explicit Fd(int fd = -1) : fd_(fd) {}
  ~Fd() { reset(); }
  Fd(const Fd &) = delete;
  Fd &operator=(const Fd &) = delete;
  int get() const { return fd_; }
  int release()
  {
    int fd = fd_;
    fd_ = -1;
    return fd;
  }
  void reset(int fd = -1)
  {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = fd;
  }

private:
  int fd_;
};

// Writes all n bytes (retrying short writes and EINTR). False on failure.
bool write_all(int fd, const void *data, size_t n);
