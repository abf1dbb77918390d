// Why a runner did not load: the display text, and for a file the operating
// system refused, its errno and path, so that the Python layer can raise the
// matching OSError subclass.
#pragma once

#include <memory>
#include <string>
#include <utility>

#include "core/result.h"
#include "formats/byte_image.h"

namespace pinnet::runners {

struct LoadFailure {
  std::string message;
  int error_number = 0;  // errno; 0 when the operating system did not refuse anything
  std::string filename;  // the file that failed, when a file did

  explicit LoadFailure(std::string text) : message(std::move(text)) {}
  explicit LoadFailure(const formats::FileError& e)
      : message(e.message), error_number(e.error_number), filename(e.path) {}
};

template <class Runner>
using LoadResult = core::Result<std::unique_ptr<Runner>, LoadFailure>;

}  // namespace pinnet::runners
