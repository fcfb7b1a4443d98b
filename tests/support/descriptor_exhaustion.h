// Runs a test's process out of file descriptors for a while: the soft limit is lowered just
// above what is open and the rest is filled with /dev/null, so that the next open fails with
// EMFILE; the destructor closes them and puts the limit back.
//
// UndefinedBehaviorSanitizer checks the dynamic type of a polymorphic object the first time it
// meets that type at a call, and probes the memory through a pipe: without a free descriptor
// the probe fails and it reports a bad object. Code that meets a type for the first time while
// descriptors are exhausted (a new exception class) must meet it once before.
#pragma once

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

namespace appsrv::testing {

class DescriptorExhaustion {
 public:
  // Leaves `spare` descriptors free.
  explicit DescriptorExhaustion(int spare = 0) {
    EXPECT_EQ(::getrlimit(RLIMIT_NOFILE, &saved_), 0);
    rlimit low = saved_;
    low.rlim_cur = static_cast<rlim_t>(open_count() + 16);
    EXPECT_EQ(::setrlimit(RLIMIT_NOFILE, &low), 0);
    while (true) {
      const int fd = ::open("/dev/null", O_RDONLY | O_CLOEXEC);
      if (fd < 0) {
        EXPECT_EQ(errno, EMFILE);
        break;
      }
      filler_.push_back(fd);
    }
    Free(spare);
  }
  ~DescriptorExhaustion() {
    Free(static_cast<int>(filler_.size()));
    ::setrlimit(RLIMIT_NOFILE, &saved_);
  }
  DescriptorExhaustion(const DescriptorExhaustion&) = delete;
  DescriptorExhaustion& operator=(const DescriptorExhaustion&) = delete;

  // Closes `count` of the descriptors it holds.
  void Free(int count) {
    for (; count > 0 && !filler_.empty(); --count) {
      ::close(filler_.back());
      filler_.pop_back();
    }
  }

  static int open_count() {
    int count = 0;
    if (DIR* dir = ::opendir("/proc/self/fd")) {
      while (const dirent* entry = ::readdir(dir)) {
        count += entry->d_name[0] != '.' ? 1 : 0;
      }
      ::closedir(dir);
    }
    return count;
  }

 private:
  rlimit saved_{};
  std::vector<int> filler_;
};

}  // namespace appsrv::testing
