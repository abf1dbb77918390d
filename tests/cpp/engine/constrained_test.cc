#include "engine/constrained.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <random>
#include <string>
#include <vector>

namespace pinnet::engine {
namespace {

TEST(SnakeCase, Rules) {
  EXPECT_EQ(snake_case("getWeather"), "get_weather");
  EXPECT_EQ(snake_case("XMLParser"), "xml_parser");
  EXPECT_EQ(snake_case("v2API"), "v2_api");
  EXPECT_EQ(snake_case("Get  Weather-now_"), "get_weather_now");
  EXPECT_EQ(snake_case("__lead.dots..x"), "lead_dots_x");
  EXPECT_EQ(snake_case("get_Weather"), "get_weather");
  EXPECT_EQ(snake_case("caf\xC3\xA9Menu"), "caf\xC3\xA9_menu");  // é is lowercase
  EXPECT_EQ(snake_case("\xC3\x89tatCivil"), "\xC3\x89tat_civil");  // non-ASCII upper kept
  EXPECT_EQ(snake_case("\xE5\xA4\xA9\xE6\xB0\x97 API"), "\xE5\xA4\xA9\xE6\xB0\x97_api");
  EXPECT_EQ(snake_case("ABC"), "abc");
  EXPECT_EQ(snake_case("--"), "");
  EXPECT_EQ(snake_case(""), "");
}

TEST(ParseTools, CompactAndPrettyJsonGiveTheSameTools) {
  const char* compact =
      R"([{"name":"get_weather","description":"x","parameters":{"type":"object",)"
      R"("properties":{"city":{"type":"string"},"unit":{"enum":["c","f"]}},"required":["city"]}},)"
      R"({"name":"getTime","parameters":{"tz":{"type":"string"}}}])";
  const char* pretty = R"([
  {
    "name": "get_weather",
    "description": "x",
    "parameters": {
      "type": "object",
      "properties": {
        "city": {"type": "string"},
        "unit": {"enum": ["c", "f"]}
      },
      "required": ["city"]
    }
  },
  {"name": "getTime", "parameters": {"tz": {"type": "string"}}}
])";
  for (const char* json : {compact, pretty}) {
    auto tools = parse_tools(json);
    ASSERT_EQ(tools.size(), 2u) << json;
    EXPECT_EQ(tools[0].name, "get_weather");
    EXPECT_EQ(tools[0].params, (std::vector<std::string>{"city", "unit"}));
    EXPECT_EQ(tools[1].name, "getTime");
    EXPECT_EQ(tools[1].snake_name, "get_time");
    // No properties object: the parameters object's own keys.
    EXPECT_EQ(tools[1].params, (std::vector<std::string>{"tz"}));
  }
}

TEST(ParseTools, TolerantScan) {
  EXPECT_TRUE(parse_tools("[]").empty());
  EXPECT_TRUE(parse_tools("no json here").empty());
  EXPECT_TRUE(parse_tools("[{\"description\":\"no name\"}]").empty());
  // A single object without an array, escaped quotes inside the name.
  auto one = parse_tools(R"({"name":"say\"hi\"","parameters":{"properties":{"a":1,"":2,"b":[1,{"c":2}]}}})");
  ASSERT_EQ(one.size(), 1u);
  EXPECT_EQ(one[0].name, "say\\\"hi\\\"");
  EXPECT_EQ(one[0].params, (std::vector<std::string>{"a", "b"}));
  // An unterminated object runs to the end; an unterminated name yields nothing.
  auto cut = parse_tools(R"([{"name":"f","parameters":{"properties":{"x":{)");
  ASSERT_EQ(cut.size(), 1u);
  EXPECT_EQ(cut[0].params, (std::vector<std::string>{"x"}));
  EXPECT_TRUE(parse_tools(R"([{"name":"unclosed)").empty());
  // Braces inside strings do not end the object.
  auto braces = parse_tools(R"([{"description":"}{","name":"g"},{"name":"h"}])");
  ASSERT_EQ(braces.size(), 2u);
  EXPECT_EQ(braces[1].name, "h");
}

// The bias by its plain definition, with a map-based trie of its own: walk
// the capture, then every piece byte by byte from that node.
struct RefTrie {
  std::vector<std::map<uint8_t, int>> kids{1};
  std::vector<bool> term{false};
  void insert(const std::string& w) {
    int n = 0;
    for (unsigned char b : w) {
      auto it = kids[n].find(b);
      if (it == kids[n].end()) {
        kids.emplace_back();
        term.push_back(false);
        it = kids[n].emplace(b, static_cast<int>(kids.size()) - 1).first;
      }
      n = it->second;
    }
    term[n] = true;
  }
};

std::vector<float> reference_bias(const std::vector<ToolSpec>& tools,
                                  const std::vector<std::string>& pieces,
                                  const ConstrainedDecoder& d, bool remaining_only, size_t width) {
  std::vector<float> zeros(width, 0.0f);
  RefTrie trie;
  if (d.capture_mode() == 0) return zeros;
  if (d.capture_mode() == 1) {
    for (const auto& t : tools) trie.insert(t.snake_name);
  } else {
    const ToolSpec* tool = nullptr;
    for (const auto& t : tools) {
      if (t.snake_name == d.current_tool()) tool = &t;  // a later tool replaces an earlier one
    }
    if (tool == nullptr) return zeros;
    std::vector<std::string> left;
    for (const auto& k : tool->params) {
      if (std::find(d.used_keys().begin(), d.used_keys().end(), k) == d.used_keys().end()) {
        left.push_back(k);
      }
    }
    for (const auto& k : (remaining_only && !left.empty()) ? left : tool->params) trie.insert(k);
  }
  int start = 0;
  for (unsigned char b : d.capture()) {
    auto it = trie.kids[start].find(b);
    if (it == trie.kids[start].end()) return zeros;
    start = it->second;
  }
  std::vector<float> out(width, -1e9f);
  bool any = false;
  for (size_t id = 0; id < width && id < pieces.size(); ++id) {
    const std::string& p = pieces[id];
    bool ok = !p.empty();
    int n = start;
    for (size_t k = 0; ok && k < p.size(); ++k) {
      unsigned char b = static_cast<unsigned char>(p[k]);
      if (b == '"') {
        ok = trie.term[n];
        break;
      }
      auto it = trie.kids[n].find(b);
      if (it == trie.kids[n].end()) {
        ok = false;
      } else {
        n = it->second;
      }
    }
    if (ok) {
      out[id] = 0.0f;
      any = true;
    }
  }
  return any ? out : zeros;
}

// apply() on random logits must give logits + bias, float for float (an
// allowed -0 may come back as -0 instead of +0).
void expect_apply_adds_the_bias(ConstrainedDecoder& d, const std::vector<float>& bias,
                                std::mt19937& rng) {
  std::uniform_real_distribution<float> u(-30.0f, 30.0f);
  std::vector<float> logits(bias.size());
  for (float& x : logits) x = u(rng);
  if (!logits.empty()) logits[rng() % logits.size()] = -0.0f;
  std::vector<float> applied = logits;
  d.apply(applied);
  for (size_t i = 0; i < logits.size(); ++i) {
    ASSERT_EQ(applied[i], logits[i] + bias[i]) << "id " << i;
  }
}

std::vector<std::string> realistic_pieces() {
  std::vector<std::string> p = {"", "\"", "\",", "\":", "\":\"", "{\"", "get", "_", "get_", "w",
                                "weather", "weather\"", "weather_x", "x", "time", "time\",\"",
                                "city", "city\":", "unit", "ci", "ty", "\"city", " ", "name",
                                "\"name\":\"", "arguments", "\"arguments\":{", "}", "}}", "Paris",
                                "\xC3\xA9", "\xC3", "get_weather", "get_weather\"", "un", "it\""};
  for (int b = 0; b < 256; ++b) p.push_back(std::string(1, static_cast<char>(b)));
  return p;
}

TEST(ConstrainedDecoder, NamePrefixExample) {
  auto tools = parse_tools(R"([{"name":"get_weather","parameters":{"properties":{"city":{},"unit":{}}}},)"
                           R"({"name":"get_time","parameters":{"properties":{"tz":{}}}}])");
  auto pieces = realistic_pieces();
  PieceTrie trie(pieces);
  ConstrainedDecoder d(tools, trie);
  d.feed(R"({"name":"get_)");
  ASSERT_EQ(d.capture_mode(), 1);
  std::vector<float> bias(pieces.size() + 5);
  d.bias(bias);
  auto id = [&](const std::string& s) {
    return static_cast<size_t>(std::find(pieces.begin(), pieces.end(), s) - pieces.begin());
  };
  EXPECT_EQ(bias[id("w")], 0.0f);
  EXPECT_EQ(bias[id("weather")], 0.0f);
  EXPECT_EQ(bias[id("weather\"")], 0.0f);
  EXPECT_EQ(bias[id("time\",\"")], 0.0f);  // bytes after the closing quote are not examined
  EXPECT_EQ(bias[id("x")], -1e9f);
  EXPECT_EQ(bias[id("weather_x")], -1e9f);
  EXPECT_EQ(bias[id("\"")], -1e9f);  // "get_" is not a whole name
  EXPECT_EQ(bias[id("")], -1e9f);
  EXPECT_EQ(bias[pieces.size() + 2], -1e9f);  // beyond the vocabulary
  d.feed("weather\"");
  EXPECT_EQ(d.current_tool(), "get_weather");
  EXPECT_EQ(d.capture_mode(), 0);
}

TEST(ConstrainedDecoder, ArgumentKeysAndRemainingKeys) {
  auto tools = parse_tools(R"([{"name":"getWeather","parameters":{"properties":{"city":{},"unit":{},"name":{}}}}])");
  auto pieces = realistic_pieces();
  PieceTrie trie(pieces);
  ConstrainedDecoder d(tools, trie);
  d.set_remaining_keys_only(true);
  d.feed(R"({"name":"get_weather","arguments":{")");
  ASSERT_EQ(d.capture_mode(), 2);
  std::vector<float> bias(pieces.size());
  d.bias(bias);
  EXPECT_EQ(bias, reference_bias(tools, pieces, d, true, bias.size()));
  d.feed(R"(city":"Paris",")");
  EXPECT_EQ(d.used_keys(), (std::vector<std::string>{"city"}));
  ASSERT_EQ(d.capture_mode(), 2);
  d.bias(bias);
  auto id = [&](const std::string& s) {
    return static_cast<size_t>(std::find(pieces.begin(), pieces.end(), s) - pieces.begin());
  };
  EXPECT_EQ(bias[id("city")], -1e9f);  // already used
  EXPECT_EQ(bias[id("unit")], 0.0f);
  EXPECT_EQ(bias[id("name")], 0.0f);
  // A parameter called "name" inside the arguments does not start a name capture.
  d.feed(R"(name":"x",")");
  EXPECT_EQ(d.current_tool(), "get_weather");
  EXPECT_EQ(d.capture_mode(), 2);
  d.feed(R"(unit":"c",")");
  // Every key used: the full key set applies again.
  d.bias(bias);
  EXPECT_EQ(bias[id("city")], 0.0f);
  // The model forced past the constraint: no bias at all.
  d.feed("zz");
  d.bias(bias);
  EXPECT_TRUE(std::all_of(bias.begin(), bias.end(), [](float v) { return v == 0.0f; }));
  // Closing the arguments object ends key capture.
  d.feed(R"(":1}})");
  EXPECT_EQ(d.capture_mode(), 0);
  d.feed(R"(,")");
  EXPECT_EQ(d.capture_mode(), 0);
}

TEST(ConstrainedDecoder, WhitespaceBeforeAKeyDoesNotStartCapture) {
  auto tools = parse_tools(R"([{"name":"f","parameters":{"properties":{"a":{}}}}])");
  PieceTrie trie(realistic_pieces());
  ConstrainedDecoder d(tools, trie);
  d.feed(R"({"name":"f","arguments":{ ")");
  EXPECT_EQ(d.capture_mode(), 0);
}

TEST(ConstrainedDecoder, MatchesThePlainRuleOnRandomStates) {
  std::mt19937 rng(3);
  const std::string alphabet = "ab_\"{}:,x\xC3\xA9 ";
  auto random_word = [&](size_t max_len) {
    std::string w;
    size_t len = rng() % (max_len + 1);
    for (size_t i = 0; i < len; ++i) w.push_back("abc_x\xC3\xA9"[rng() % 7]);
    return w;
  };
  for (int round = 0; round < 300; ++round) {
    // A random vocabulary with duplicates, quotes anywhere and empty texts.
    std::vector<std::string> pieces;
    size_t n = 20 + rng() % 200;
    for (size_t i = 0; i < n; ++i) {
      std::string p;
      size_t len = rng() % 6;
      for (size_t k = 0; k < len; ++k) p.push_back(alphabet[rng() % alphabet.size()]);
      pieces.push_back(p);
    }
    std::vector<ToolSpec> tools;
    size_t nt = 1 + rng() % 4;
    for (size_t t = 0; t < nt; ++t) {
      ToolSpec spec;
      spec.snake_name = random_word(4);
      spec.name = spec.snake_name;
      size_t nk = rng() % 4;
      for (size_t k = 0; k < nk; ++k) {
        std::string key = random_word(3);
        if (!key.empty()) spec.params.push_back(key);
      }
      tools.push_back(spec);
    }
    PieceTrie trie(pieces);
    ConstrainedDecoder d(tools, trie);
    const bool remaining = rng() % 2;
    d.set_remaining_keys_only(remaining);
    // Drive the scanner into name and key captures with partial words.
    const ToolSpec& pick = tools[rng() % tools.size()];
    std::string text = "{\"name\":\"" + pick.snake_name.substr(0, rng() % (pick.snake_name.size() + 1));
    if (rng() % 2) {
      text = "{\"name\":\"" + pick.snake_name + "\",\"arguments\":{\"";
      for (const auto& k : pick.params) {
        if (rng() % 2) text += k + "\":1,\"";
      }
      text += random_word(2);
    }
    d.feed(text);
    size_t width = pieces.size() + rng() % 5 - 2;
    std::vector<float> got(width);
    d.bias(got);
    const std::vector<float> want = reference_bias(tools, pieces, d, remaining, width);
    ASSERT_EQ(got, want) << text;
    expect_apply_adds_the_bias(d, want, rng);
  }
}

// Byte by byte through whole calls, so the decoder's cached choice of key
// trie is checked after every change of tool and used keys.
TEST(ConstrainedDecoder, MatchesThePlainRuleWhileFeeding) {
  std::mt19937 rng(11);
  auto tools = parse_tools(R"([{"name":"get_weather","parameters":{"properties":{"city":{},"unit":{},"ci":{}}}},)"
                           R"({"name":"get_time","parameters":{"properties":{"tz":{},"city":{}}}},)"
                           R"({"name":"getWeather","parameters":{"properties":{"c":{},"unit":{}}}},)"
                           R"({"name":"noop"}])");
  auto pieces = realistic_pieces();
  PieceTrie trie(pieces);
  const std::vector<std::string> calls = {
      R"({"name":"get_weather","arguments":{"city":"Paris","unit":"c","city":"x","ci":1,"c":2}})",
      R"({"name":"get_time","arguments":{"tz":"UTC","city":{"a":1},"tz":3}} {"name":"get_weather","arguments":{"unit":1,"u":2}})",
      R"({"name":"noop","arguments":{"k":1}}{"name":"get_wea","arguments":{"city":1}})",
  };
  for (bool remaining : {false, true}) {
    for (const std::string& call : calls) {
      ConstrainedDecoder d(tools, trie);
      d.set_remaining_keys_only(remaining);
      std::vector<float> got(pieces.size() + 3);
      for (size_t i = 0; i <= call.size(); ++i) {
        d.bias(got);
        const std::vector<float> want = reference_bias(tools, pieces, d, remaining, got.size());
        ASSERT_EQ(got, want) << call.substr(0, i);
        expect_apply_adds_the_bias(d, want, rng);
        if (i < call.size()) d.feed(static_cast<uint8_t>(call[i]));
      }
    }
  }
}

}  // namespace
}  // namespace pinnet::engine
