// st_cli FILE: loads a safetensors file and prints one JSON object:
//   {"error": "<text>"}  when the load fails, else
//   {"tensors": {NAME: {"dtype", "shape", "offsets", "bytes": <byte count or
//    null>, "f32": [32-bit patterns] or null}, ...}, "metadata": {KEY: VALUE}}
// Floats go out as their bit patterns so comparisons are exact. Names and
// texts are printed as stored (escapes in keys stay as written).
#include <bit>
#include <cstdio>
#include <string>

#include "formats/safetensors.h"
#include "models/cli_output.h"

int main(int argc, char** argv) {
  using pinnet::testing::print_json_string;
  if (argc != 2) {
    std::fprintf(stderr, "usage: st_cli FILE\n");
    return 1;
  }
  const auto loaded = pinnet::formats::SafetensorsFile::load(argv[1]);
  if (!loaded.ok()) {
    std::printf("{\"error\": ");
    print_json_string(loaded.error());
    std::printf("}\n");
    return 0;
  }
  const auto& f = loaded.value();
  std::printf("{\"tensors\": {");
  bool first = true;
  for (const std::string_view name : f.tensor_names()) {
    const auto* t = f.tensor(name);
    std::printf(first ? "" : ", ");
    first = false;
    print_json_string(std::string(name));
    std::printf(": {\"dtype\": \"%s\", \"shape\": [",
                std::string(pinnet::formats::st_dtype_name(t->dtype)).c_str());
    for (size_t i = 0; i < t->shape.size(); ++i) {
      std::printf(i ? ", %llu" : "%llu", static_cast<unsigned long long>(t->shape[i]));
    }
    std::printf("], \"offsets\": [%llu, %llu], \"bytes\": ", static_cast<unsigned long long>(t->begin),
                static_cast<unsigned long long>(t->end));
    const auto bytes = f.tensor_bytes(name);
    if (bytes) std::printf("%zu", bytes->size()); else std::printf("null");
    std::printf(", \"f32\": ");
    const auto values = f.tensor_f32(name);
    if (!values) {
      std::printf("null}");
      continue;
    }
    std::printf("[");
    for (size_t i = 0; i < values->size(); ++i) {
      std::printf(i ? ",%u" : "%u", std::bit_cast<uint32_t>((*values)[i]));
    }
    std::printf("]}");
  }
  std::printf("}, \"metadata\": {");
  first = true;
  for (const auto& [key, value] : f.metadata_entries()) {
    std::printf(first ? "" : ", ");
    first = false;
    print_json_string(std::string(key));
    std::printf(": ");
    print_json_string(std::string(value));
  }
  std::printf("}}\n");
  return 0;
}
