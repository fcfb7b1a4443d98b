// UniqueFd: the one owner of a file descriptor, closed when the owner goes.
#pragma once

#include <unistd.h>

#include <cerrno>

namespace appsrv::base {

// Move-only. Thread-compatible: one thread uses an owner at a time.
class UniqueFd {
 public:
  UniqueFd() = default;
  // Takes `fd` (-1: none).
  explicit UniqueFd(int fd) noexcept : fd_(fd) {}
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;
  ~UniqueFd() { reset(); }

  int get() const noexcept { return fd_; }
  bool valid() const noexcept { return fd_ >= 0; }
  // Gives the descriptor up without closing it.
  int release() noexcept {
    const int fd = fd_;
    fd_ = -1;
    return fd;
  }
  // Closes the descriptor held (its close error is lost: use close() where it matters) and
  // takes `fd`.
  void reset(int fd = -1) noexcept {
    if (fd_ >= 0) {
      ::close(fd_);
    }
    fd_ = fd;
  }
  // Closes now: 0, or the errno of a failed close, which can be the first sign that written
  // data did not reach the disk. Nothing held: 0.
  int close() noexcept {
    const int fd = release();
    return fd < 0 || ::close(fd) == 0 ? 0 : errno;
  }

 private:
  int fd_ = -1;
};

}  // namespace appsrv::base
