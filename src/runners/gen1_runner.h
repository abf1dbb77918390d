// Gen1Runner: one loaded generation-1 encoder-decoder with its vocabulary
// tokenizer. Its output is the tool call itself: decoding is constrained by
// the caller's tools from the first id, and tool names are rewritten into the
// form the model was trained on and back. Immutable after loading and safe
// to use from several threads at once.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/result.h"
#include "formats/byte_image.h"
#include "runners/load_failure.h"
#include "runners/ranking.h"

namespace pinnet::runners {

class Gen1Runner {
 public:
  // The error carries the load error's display text, and for a file that
  // could not be opened, that file. Every weight is converted into the
  // runner: neither the file nor `weights` is referenced after loading.
  static LoadResult<Gen1Runner> load_files(const std::string& weights_path,
                                           const std::string& vocab_path);
  static LoadResult<Gen1Runner> load_bytes(formats::ByteImage weights, std::string_view vocab_text);
  static constexpr bool kReadsBytesInPlace = false;

  // The final JSON tool-call string.
  std::string run(std::string_view query, std::string_view tools_json,
                  const PieceSink* on_piece = nullptr) const;
  std::vector<std::string> run_batch(
      const std::vector<std::pair<std::string, std::string>>& examples) const;

  std::optional<std::vector<float>> encode_contrastive(std::string_view text) const;
  uint64_t contrastive_dim() const;
  std::vector<ScoredTool> retrieve_tools(std::string_view query,
                                         const std::vector<std::string>& descriptions,
                                         uint64_t top_k) const;

  struct Impl;
  explicit Gen1Runner(std::unique_ptr<Impl> impl);
  ~Gen1Runner();
  Gen1Runner(const Gen1Runner&) = delete;
  Gen1Runner& operator=(const Gen1Runner&) = delete;

 private:
  std::unique_ptr<Impl> impl_;
};

}  // namespace pinnet::runners
