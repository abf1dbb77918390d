// Encode throughput of the embedded subword tokenizer.
//
//   bench_tokenizer [filter] BLOB TEXT [REPEATS]
//
// Encodes every line of TEXT (without its line feed) REPEATS times and prints
// one JSON line for benchmark "tokenizer_encode" with the median time of one
// pass, plus the id count and an FNV-1a checksum of all ids so the caller can
// compare them with another tokenizer. bench/run starts every bench program
// with the filter alone: without BLOB and TEXT this prints nothing (the
// Python driver bench/bench_tokenizer.py trains the model and calls back).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <string>
#include <string_view>
#include <vector>

#include "formats/subword_tokenizer.h"

int main(int argc, char** argv) {
  const std::string filter = argc > 1 ? argv[1] : "";
  if (argc < 4 || std::string_view("tokenizer_encode").find(filter) == std::string_view::npos) {
    return 0;
  }
  const int repeats = argc > 4 ? std::max(1, std::stoi(argv[4])) : 5;
  std::ifstream blob_file(argv[2], std::ios::binary);
  const std::vector<uint8_t> blob((std::istreambuf_iterator<char>(blob_file)), {});
  auto parsed = pinnet::formats::SubwordTokenizer::parse(blob);
  if (!parsed.ok()) {
    std::fprintf(stderr, "bench_tokenizer: %s\n", parsed.error().message().c_str());
    return 1;
  }
  const auto& tok = parsed.value();
  std::ifstream text_file(argv[3], std::ios::binary);
  std::vector<std::string> lines;
  std::size_t bytes = 0;
  for (std::string line; std::getline(text_file, line);) {
    bytes += line.size();
    lines.push_back(std::move(line));
  }

  std::vector<uint32_t> ids;
  uint64_t count = 0, checksum = 0xcbf29ce484222325ull;
  for (const std::string& line : lines) {  // warm-up pass, also the checksum
    ids.clear();
    tok.encode_into(line, ids);
    count += ids.size();
    for (const uint32_t id : ids) checksum = (checksum ^ id) * 0x100000001b3ull;
  }
  std::vector<double> seconds;
  for (int r = 0; r < repeats; ++r) {
    const auto start = std::chrono::steady_clock::now();
    for (const std::string& line : lines) {
      ids.clear();
      tok.encode_into(line, ids);
    }
    seconds.push_back(std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count());
  }
  std::sort(seconds.begin(), seconds.end());
  const double median = seconds[seconds.size() / 2];
  std::printf(
      "{\"name\":\"tokenizer_encode\",\"impl\":\"pinnet\",\"vocab\":%u,\"bytes\":%zu,"
      "\"seconds\":%.6f,\"mb_per_s\":%.3f,\"ids\":%llu,\"checksum\":%llu}\n",
      tok.piece_count(), bytes, median, bytes / median / 1e6,
      static_cast<unsigned long long>(count), static_cast<unsigned long long>(checksum));
  return 0;
}
