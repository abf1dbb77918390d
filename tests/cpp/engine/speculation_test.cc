// Forced and drafted ids: with logits that do not depend on how positions
// are batched, the loop's batched feeding, drafts, verify passes and
// rewinds must keep exactly the ids, stop and positions of one step per id.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/decode_loop.h"
#include "engine/tool_grammar.h"
#include "scripted_model.h"
#include "strict_harness.h"
#include "tool_corpus.h"

namespace pinnet::engine {
namespace {

using testing::ScriptedModel;
using testing::TestVocabulary;
using testing::vocabulary;

// A session whose logits are a function of the ids before each position, so
// a batched pass gives exactly what steps give; it can verify and rewind.
// Counts the model passes of each kind.
class HistorySession final : public DecodeSession {
 public:
  using Policy = ScriptedModel::Policy;
  HistorySession(uint64_t width, Policy policy, bool can_verify)
      : width_(width), policy_(std::move(policy)), verifies_(can_verify) {}

  HistorySession& open(uint64_t positions) {
    requested_ = positions;
    history_.clear();
    prompt_ = 0;
    return *this;
  }
  const char* start(std::span<const uint32_t> prompt, std::span<float> logits) override {
    prompt_ = prompt.size();
    history_.assign(prompt.begin(), prompt.end());
    fill(logits);
    return nullptr;
  }
  const char* step(uint32_t id, std::span<float> logits) override {
    ++steps;
    return run(id, logits);
  }
  const char* feed(std::span<const uint32_t> ids, std::span<float> logits) override {
    ++feeds;
    for (uint32_t id : ids) {
      if (const char* error = run(id, logits)) return error;
    }
    return nullptr;
  }
  bool can_verify() const override { return verifies_; }
  const char* verify(std::span<const uint32_t> ids, std::span<float> rows) override {
    ++verifies;
    verified_from_ = history_.size();
    verified_ = ids.size();
    for (size_t i = 0; i < ids.size(); ++i) {
      if (const char* error = run(ids[i], rows.subspan(i * width_, width_))) return error;
    }
    return nullptr;
  }
  const char* rewind(uint64_t position) override {
    if (position < verified_from_ || position > verified_from_ + verified_) return "bad rewind";
    if (position < history_.size()) ++rewinds;
    history_.resize(position);
    return nullptr;
  }
  uint64_t position() const override { return history_.size(); }

  size_t steps = 0, feeds = 0, verifies = 0, rewinds = 0;

 private:
  const char* run(uint32_t id, std::span<float> logits) {
    if (history_.size() >= requested_) return "ran past the requested positions";
    history_.push_back(id);
    fill(logits);
    return nullptr;
  }
  void fill(std::span<float> logits) {
    policy_(std::vector<uint32_t>(history_.begin() + static_cast<ptrdiff_t>(prompt_), history_.end()),
            logits);
  }
  uint64_t width_;
  Policy policy_;
  bool verifies_;
  uint64_t requested_ = 0;
  size_t prompt_ = 0;
  std::vector<uint32_t> history_;
  uint64_t verified_from_ = 0, verified_ = 0;
};

// The adversary's scores, plus a bonus for copying: the id that followed the
// latest earlier copy of the last id in the query's pieces, except every
// few positions (so drafts are kept, and also cut short).
struct Copier {
  std::vector<uint32_t> source;
  testing::Adversary adversary;
  void operator()(const std::vector<uint32_t>& generated, std::span<float> logits) const {
    adversary(generated, logits);
    if (generated.empty() || generated.size() % 5 == 3) return;
    const uint32_t last = generated.back();
    for (size_t i = source.size() - 1; i-- > 0;) {
      if (source[i] == last) {
        logits[source[i + 1]] += 6.0f;
        return;
      }
    }
    if (!source.empty()) logits[source[generated.size() % source.size()]] += 6.0f;
  }
};

struct Outcome {
  GenerateOutput out;
  size_t steps, feeds, verifies, rewinds;
};

Outcome run(const std::shared_ptr<const ToolGrammar>& g, const std::string& query, uint32_t seed,
        uint64_t budget, uint64_t max_seq_len, bool forced, bool drafts, bool can_verify) {
  const TestVocabulary& v = vocabulary();
  std::vector<uint32_t> source;
  v.tok.encode_into(query, source);
  HistorySession session(v.tok.piece_count(),
                         Copier{source, testing::Adversary{testing::piece_texts(v.tok), seed}},
                         can_verify);
  auto open = [&](uint64_t positions) -> DecodeSession& { return session.open(positions); };
  const DecodeModel m{max_seq_len, v.tok.piece_count(), open};
  GenerateOptions o;
  o.max_new_tokens = budget;
  o.strict_tools = g;
  o.forced_runs = forced;
  o.drafts = drafts;
  GenerateOutput out = decode(kGen3Policy, v.vocab, m, query, "[]", o);
  return Outcome{std::move(out), session.steps, session.feeds, session.verifies, session.rewinds};
}

void expect_same(const GenerateOutput& a, const GenerateOutput& b) {
  EXPECT_EQ(a.token_ids, b.token_ids);
  EXPECT_EQ(a.text, b.text);
  EXPECT_EQ(a.stop, b.stop);
  EXPECT_EQ(a.positions, b.positions);
  EXPECT_EQ(a.error, b.error);
}

TEST(Speculation, ForcedAndDraftedIdsKeepTheStepPathsIds) {
  const std::vector<std::string> corpus = testing::tool_corpus(40);
  const std::string query =
      "weather in S\xC3\xA3o Paulo celsius location get_weather query abcdefgh xyz 12 3.5 true";
  size_t verifies = 0, rewinds = 0, feeds = 0, steps_saved = 0, kept = 0;
  for (size_t i = 0; i < corpus.size(); ++i) {
    auto compiled = ToolGrammar::compile(corpus[i], ToolChoice::from_text(i % 3 == 2 ? "auto" : "required"));
    ASSERT_TRUE(compiled.ok());
    const auto g = compiled.value();
    for (uint64_t budget : {7u, 30u, 300u}) {
      for (uint64_t room : {12u, 1000u}) {  // context past the prompt
        SCOPED_TRACE("tool list " + std::to_string(i) + " budget " + std::to_string(budget) +
                     " room " + std::to_string(room));
        const uint32_t seed = static_cast<uint32_t>(i * 13 + budget);
        const uint64_t limit = 40 + room;  // the prompt is about 40 ids
        const Outcome base = run(g, query, seed, budget, limit, false, false, true);
        EXPECT_EQ(base.feeds + base.verifies, 0u);
        for (const bool can_verify : {false, true}) {
          for (const auto& [forced, drafts] : {std::pair{true, false}, {false, true}, {true, true}}) {
            const Outcome r = run(g, query, seed, budget, limit, forced, drafts, can_verify);
            expect_same(base.out, r.out);
            EXPECT_LE(r.steps + r.feeds + r.verifies, base.steps);
            if (!can_verify) {
              EXPECT_EQ(r.verifies, 0u);
            }
            verifies += r.verifies;
            rewinds += r.rewinds;
            feeds += r.feeds;
            steps_saved += base.steps - r.steps - r.feeds - r.verifies;
          }
        }
        kept += base.out.token_ids.size();
      }
    }
  }
  // Every path was taken: forced runs, kept drafts, rejected drafts.
  EXPECT_GT(feeds, 100u);
  EXPECT_GT(verifies, 100u);
  EXPECT_GT(rewinds, 50u);
  EXPECT_GT(steps_saved, kept / 10);
}

TEST(Speculation, SamplingStepsEveryId) {
  auto g = ToolGrammar::compile(testing::tool_corpus(1)[0], ToolChoice::from_text("required")).value();
  const TestVocabulary& v = vocabulary();
  HistorySession session(v.tok.piece_count(), testing::Adversary{testing::piece_texts(v.tok), 5}, true);
  auto open = [&](uint64_t positions) -> DecodeSession& { return session.open(positions); };
  GenerateOptions o;
  o.max_new_tokens = 100;
  o.strict_tools = g;
  o.temperature = 0.8f;
  o.forced_runs = o.drafts = true;
  const GenerateOutput out = decode(kGen3Policy, v.vocab, DecodeModel{4096, v.tok.piece_count(), open},
                                    "a query", "[]", o);
  EXPECT_EQ(session.feeds + session.verifies, 0u);
  EXPECT_EQ(session.steps, out.positions - out.prompt_tokens);
}

}  // namespace
}  // namespace pinnet::engine
