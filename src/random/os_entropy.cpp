#include "random/os_entropy.hpp"

#include <fcntl.h>
#include <poll.h>
#include <sys/random.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <stdexcept>
#include <string>

namespace halqen {
namespace {

constexpr int kWaitForever = -1;
constexpr std::size_t kSeedBytes = sizeof(ChaChaKey);

[[noreturn]] void fail(const std::string& step) {
  throw std::runtime_error("OS random source failed (" + step + "): " + std::strerror(errno));
}

// Fills the buffer with getrandom; false if the kernel has no such call.
bool fill_with_getrandom(unsigned char* buffer, std::size_t size) {
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t got = getrandom(buffer + filled, size - filled, 0);
    if (got < 0) {
      if (errno == EINTR) {
        continue;
      }
      if (errno == ENOSYS) {
        return false;
      }
      fail("getrandom");
    }
    filled += static_cast<std::size_t>(got);
  }
  return true;
}

class FileDescriptor {
 public:
  explicit FileDescriptor(const char* path) : fd_(open(path, O_RDONLY | O_CLOEXEC)) {
    if (fd_ < 0) {
      fail(std::string("open ") + path);
    }
  }
  ~FileDescriptor() { close(fd_); }
  FileDescriptor(const FileDescriptor&) = delete;
  FileDescriptor& operator=(const FileDescriptor&) = delete;
  int get() const { return fd_; }

 private:
  int fd_;
};

void wait_until_readable(const char* path) {
  const FileDescriptor device(path);
  pollfd request{device.get(), POLLIN, 0};
  while (poll(&request, 1, kWaitForever) < 0) {
    if (errno != EINTR) {
      fail(std::string("poll ") + path);
    }
  }
}

void read_fully(const char* path, unsigned char* buffer, std::size_t size) {
  const FileDescriptor device(path);
  std::size_t filled = 0;
  while (filled < size) {
    const ssize_t got = read(device.get(), buffer + filled, size - filled);
    if (got < 0 && errno == EINTR) {
      continue;
    }
    if (got <= 0) {
      fail(std::string("read ") + path);
    }
    filled += static_cast<std::size_t>(got);
  }
}

ChaChaKey key_from_bytes(const unsigned char* bytes) {
  ChaChaKey key{};
  std::memcpy(key.data(), bytes, kSeedBytes);
  return key;
}

}  // namespace

ChaChaKey device_seed() {
  unsigned char bytes[kSeedBytes];
  wait_until_readable("/dev/random");
  read_fully("/dev/urandom", bytes, kSeedBytes);
  return key_from_bytes(bytes);
}

ChaChaKey os_seed() {
  unsigned char bytes[kSeedBytes];
  if (!fill_with_getrandom(bytes, kSeedBytes)) {
    return device_seed();
  }
  return key_from_bytes(bytes);
}

}  // namespace halqen
