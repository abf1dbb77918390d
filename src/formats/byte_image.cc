#include "formats/byte_image.h"

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <limits>

namespace pinnet::formats {

namespace {

core::Err<FileError> os_error(int err, const std::string& path) {
  return core::Err{FileError{std::string(std::strerror(err)), err, path}};
}

// Closes the descriptor on every path out; a mapping outlives it.
struct Fd {
  int fd;
  ~Fd() {
    if (fd >= 0) ::close(fd);
  }
};

}  // namespace

ByteImage ByteImage::owning(std::vector<uint8_t> bytes) {
  auto owned = std::make_shared<std::vector<uint8_t>>(std::move(bytes));
  const std::span<const uint8_t> span(*owned);
  return ByteImage(span, std::move(owned));
}

core::Result<ByteImage, FileError> ByteImage::map_file(const std::string& path) {
  // Non-blocking, so that opening a FIFO without a writer returns at once.
  Fd file{::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK)};
  if (file.fd < 0) return os_error(errno, path);
  struct stat st {};
  if (::fstat(file.fd, &st) != 0) return os_error(errno, path);
  // A model is a regular file: a directory, a device (/dev/zero never ends)
  // or a FIFO is refused before anything is read.
  if (S_ISDIR(st.st_mode)) return os_error(EISDIR, path);
  if (!S_ISREG(st.st_mode)) return core::Err{FileError{"not a regular file", 0, path}};
  // A mapping of length 0 is invalid; an empty file is an empty image, which
  // every parser refuses with its own truncation text.
  if (st.st_size <= 0) return ByteImage();
  if (static_cast<uint64_t>(st.st_size) > std::numeric_limits<size_t>::max())
    return os_error(EFBIG, path);
  const size_t size = static_cast<size_t>(st.st_size);

  // Private and read-only: the image never changes through us. Pages are
  // read on first touch, so loading costs what the parser and the model
  // actually read. The length is fixed now; if another process truncates
  // the file while it is mapped, touching a page past the new end raises
  // SIGBUS. That is the accepted price of mapped model files: a model file
  // is not rewritten in place while something runs from it.
  void* at = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, file.fd, 0);
  if (at == MAP_FAILED) return os_error(errno, path);
  // If the control block cannot be allocated, shared_ptr calls the deleter.
  std::shared_ptr<const void> mapping(at, [size](const void* p) {
    ::munmap(const_cast<void*>(p), size);
  });
  return ByteImage(std::span<const uint8_t>(static_cast<const uint8_t*>(at), size),
                   std::move(mapping));
}

}  // namespace pinnet::formats
