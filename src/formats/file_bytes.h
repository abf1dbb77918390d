// Whole-file reading for the loaders: model files are read completely into
// one owned buffer and parsed from memory; nothing is memory-mapped.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "core/result.h"

namespace pinnet::formats {

// The file's bytes, or the operating system's message for the failure
// (e.g. "No such file or directory"); "Is a directory" for a directory and
// "not a regular file" for anything else that is not one (a device, a FIFO),
// before any byte is read.
core::Result<std::vector<uint8_t>, std::string> read_file_bytes(const std::string& path);

}  // namespace pinnet::formats
