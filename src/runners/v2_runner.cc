// Placeholder until the generation-2 model lands: every load fails.
#include "runners/v2_runner.h"

namespace pinnet::runners {

struct V2Runner::Impl {};

core::Result<std::unique_ptr<V2Runner>, std::string> V2Runner::load_file(const std::string&) {
  return core::Err{std::string("generation 2 is not built yet")};
}
core::Result<std::unique_ptr<V2Runner>, std::string> V2Runner::load_bytes(std::vector<uint8_t>) {
  return core::Err{std::string("generation 2 is not built yet")};
}
V2Runner::V2Runner(std::unique_ptr<Impl> impl) : impl_(std::move(impl)) {}
V2Runner::~V2Runner() = default;
bool V2Runner::has_tokenizer() const { return false; }
engine::DecodePolicy V2Runner::policy() const { return engine::gen2_policy(0, 0); }
engine::GenerateOutput V2Runner::generate(std::string_view, std::string_view,
                                          const engine::GenerateOptions&, const PieceSink*) const {
  return {};
}
std::vector<std::string> V2Runner::run_batch(
    const std::vector<std::pair<std::string, std::string>>&) const {
  return {};
}
std::optional<float> V2Runner::confidence(std::string_view) const { return std::nullopt; }
std::optional<float> V2Runner::confidence_probability(std::string_view) const { return std::nullopt; }
std::optional<float> V2Runner::confidence_for(std::string_view, std::string_view,
                                              std::string_view) const {
  return std::nullopt;
}
std::optional<std::vector<float>> V2Runner::encode_contrastive(std::string_view) const {
  return std::nullopt;
}
uint64_t V2Runner::contrastive_dim() const { return 0; }
std::vector<ScoredTool> V2Runner::retrieve_tools(std::string_view, const std::vector<std::string>&,
                                                 uint64_t) const {
  return {};
}
V2Config V2Runner::config() const { return {}; }

}  // namespace pinnet::runners
