// Fuzzes the safetensors reader. Every input is used two ways:
//  1. the whole input as a file;
//  2. the bytes up to the first 0x00 as the header text and the rest as the
//     data section, behind a header length that fits, so most inputs reach
//     the header scanner.
// Every tensor of a parsed file is read as bytes and as floats; the float
// count must follow from the dtype and byte count.
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <vector>

#include "formats/safetensors.h"

namespace {

using pinnet::formats::SafetensorsFile;
using pinnet::formats::StDtype;

void check(bool ok) {
  if (!ok) __builtin_trap();
}

void exercise(std::span<const uint8_t> bytes) {
  auto parsed = SafetensorsFile::parse(bytes);
  if (!parsed.ok()) {
    check(!parsed.error().empty());
    return;
  }
  const SafetensorsFile& f = parsed.value();
  check(f.tensor_names().size() == f.tensor_count());
  (void)f.metadata_entries();
  for (const auto name : f.tensor_names()) {
    const auto* t = f.tensor(name);
    check(t != nullptr);
    const auto raw = f.tensor_bytes(name);
    const auto values = f.tensor_f32(name);
    if (!raw) {
      check(!values);
      continue;
    }
    check(raw->size() == t->end - t->begin);
    if (!values) {
      check(t->dtype == StDtype::kI4);
      continue;
    }
    const size_t n = raw->size();
    switch (t->dtype) {
      case StDtype::kF32: check(values->size() == n / 4); break;
      case StDtype::kBF16:
      case StDtype::kF16: check(values->size() == n / 2); break;
      case StDtype::kI8: check(values->size() == n); break;
      case StDtype::kI4: check(values->size() == 2 * n); break;
    }
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  exercise(std::span<const uint8_t>(data, size));
  const auto* zero = static_cast<const uint8_t*>(std::memchr(data, 0, size));
  const size_t header = zero ? static_cast<size_t>(zero - data) : size;
  std::vector<uint8_t> file(8);
  for (int i = 0; i < 8; ++i) file[i] = static_cast<uint8_t>(uint64_t{header} >> (8 * i));
  file.insert(file.end(), data, data + header);
  if (zero) file.insert(file.end(), zero + 1, data + size);
  exercise(file);
  return 0;
}
