#include "formats/file_bytes.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace pinnet::formats {

namespace {

core::Err<std::string> os_error(int err) { return core::Err{std::string(std::strerror(err))}; }

// Closes the descriptor on every path out.
struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

core::Result<std::vector<uint8_t>, std::string> read_file_bytes(const std::string& path) {
  // Non-blocking, so that opening a FIFO without a writer returns at once;
  // reads of a regular file are unaffected.
  Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (file.fd < 0) return os_error(errno);
  struct stat st {};
  if (::fstat(file.fd, &st) != 0) return os_error(errno);
  // A model is a regular file: a directory, a device (/dev/zero never ends)
  // or a FIFO is refused before anything is read.
  if (S_ISDIR(st.st_mode)) return os_error(EISDIR);
  if (!S_ISREG(st.st_mode)) return core::Err{std::string("not a regular file")};

  // The size is only a hint (the file may change under us): reading goes on
  // until end of file. One spare byte lets a regular file finish in one pass.
  std::vector<uint8_t> bytes;
  size_t used = 0;
  bytes.resize(st.st_size >= 0 ? static_cast<size_t>(st.st_size) + 1 : 65536);
  for (;;) {
    if (used == bytes.size()) bytes.resize(used + (used / 2 > 65536 ? used / 2 : 65536));
    ssize_t n = ::read(file.fd, bytes.data() + used, bytes.size() - used);
    if (n < 0) {
      if (errno == EINTR) continue;
      return os_error(errno);
    }
    if (n == 0) break;
    used += static_cast<size_t>(n);
  }
  bytes.resize(used);
  return bytes;
}

}  // namespace pinnet::formats
