// ByteImage: the read-only bytes a container is parsed from, together with
// whatever keeps them valid. A file is mapped rather than read, so loading
// touches only the pages the model uses: a header and directory are checked
// against the file's length before any tensor byte is read, and a file that
// is mostly junk costs its junk only in address space.
//
// Three sources: a private read-only mapping of a file (unmapped when the
// last copy lets go), an owned buffer, or a view of bytes that the caller
// keeps alive for as long as the image and anything made from it. Copies
// share the bytes; nothing is ever written through an image.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "core/result.h"

namespace pinnet::formats {

// A file that could not be opened or mapped.
struct FileError {
  std::string message;    // the operating system's text ("No such file or directory"),
                          // or "not a regular file"
  int error_number = 0;   // errno; 0 for "not a regular file", which has none
  std::string path;       // as given
};

class ByteImage {
 public:
  ByteImage() = default;  // no bytes

  static ByteImage owning(std::vector<uint8_t> bytes);
  // The caller guarantees that `bytes` outlive the image, its copies and
  // everything that borrows from them.
  static ByteImage view(std::span<const uint8_t> bytes) { return ByteImage(bytes, nullptr); }
  // The whole file, mapped read-only. A directory fails with "Is a
  // directory" and anything else that is not a regular file (a device, a
  // FIFO) with "not a regular file", before any byte is read. An empty file
  // gives an empty image.
  static core::Result<ByteImage, FileError> map_file(const std::string& path);

  std::span<const uint8_t> bytes() const { return bytes_; }
  const uint8_t* data() const { return bytes_.data(); }
  size_t size() const { return bytes_.size(); }
  // Keeps the bytes valid while held: the mapping or the owned buffer; null
  // for a view (and for an empty image).
  const std::shared_ptr<const void>& keeper() const { return keeper_; }

 private:
  ByteImage(std::span<const uint8_t> bytes, std::shared_ptr<const void> keeper)
      : bytes_(bytes), keeper_(std::move(keeper)) {}

  std::span<const uint8_t> bytes_;
  std::shared_ptr<const void> keeper_;
};

}  // namespace pinnet::formats
