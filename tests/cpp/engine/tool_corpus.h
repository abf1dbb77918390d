// Tool lists for the strict-call tests: the hand-written realistic lists,
// then lists made by a seeded generator of the schemas tool lists use
// (nested objects, arrays of objects, enums with non-ASCII text and escapes,
// integers and numbers, required lists, anyOf/oneOf, minItems/maxItems, the
// wrapped {"type":"function"} form, loose type spellings such as "dict",
// "float", "list", "Integer"), and a small validator of the keywords the
// strict grammar follows.
#pragma once

#include <algorithm>
#include <random>
#include <string>
#include <vector>

#include "engine/tool_grammar.h"
#include "formats/json.h"
#include "realistic_tools.h"

namespace pinnet::engine::testing {

class SchemaGenerator {
 public:
  explicit SchemaGenerator(uint32_t seed) : rng_(seed) {}

  std::string tool_list() {
    static const char* kNames[] = {"get_weather", "math.factorial", "getStockPrice", "send-email",
                                   "search", "na\xC3\xAFve_lookup", "book \"quoted\" hotel",
                                   "create_event", "translate", "db/query"};
    const size_t n = 1 + pick(3);
    std::vector<std::string> names(std::begin(kNames), std::end(kNames));
    std::shuffle(names.begin(), names.end(), rng_);
    std::string out = "[";
    for (size_t t = 0; t < n; ++t) {
      std::string fn = "{\"name\":" + formats::json_quote(names[t]) +
                       ",\"description\":\"A tool.\",\"parameters\":" + object(0, true) + "}";
      if (pick(2)) fn = "{\"type\":\"function\",\"function\":" + fn + "}";
      out += (t ? "," : "") + fn;
    }
    return out + "]";
  }

 private:
  size_t pick(size_t n) { return rng_() % n; }

  std::string type(const char* canonical, const char* loose) {
    return std::string("\"type\":\"") + (pick(4) == 0 ? loose : canonical) + "\"";
  }

  std::string object(int depth, bool arguments) {
    static const char* kKeys[] = {"location", "unit", "days", "query", "filters", "items", "tags",
                                  "price", "name", "arguments", "\xC3\xA9t\xC3\xA9", "a b"};
    std::vector<std::string> keys(std::begin(kKeys), std::end(kKeys));
    std::shuffle(keys.begin(), keys.end(), rng_);
    keys.resize(1 + pick(arguments ? 5 : 3));
    std::string props, required;
    for (const std::string& k : keys) {
      if (!props.empty()) props.push_back(',');
      props.append(formats::json_quote(k)).append(":").append(value(depth + 1));
      if (pick(2)) {
        if (!required.empty()) required.push_back(',');
        required.append(formats::json_quote(k));
      }
    }
    std::string s = "{";
    s.append(type("object", "dict")).append(",\"properties\":{").append(props).append("}");
    if (!required.empty()) s += ",\"required\":[" + required + "]";
    return s + "}";
  }

  std::string value(int depth) {
    const size_t kinds = depth >= 3 ? 8 : 11;
    switch (pick(kinds)) {
      case 0: return "{" + type("string", "str") + ",\"description\":\"free text\"}";
      case 1: return "{" + type("integer", "Integer") + ",\"minimum\":1}";
      case 2: return "{" + type("number", "float") + "}";
      case 3: return "{" + type("boolean", "bool") + "}";
      case 4:
        return "{\"type\":\"string\",\"enum\":[\"celsius\",\"S\xC3\xA3o Paulo\",\"say \\\"hi\\\"\","
               "\"C:\\\\temp\",\"\xE6\x97\xA5\xE6\x9C\xAC\",\"tab\\there\"]}";
      case 5: return "{\"enum\":[1,2,30,-4.5,null]}";
      case 6: return "{\"type\":[\"string\",\"null\"]}";
      case 7: return pick(2) ? "{\"anyOf\":[{\"type\":\"integer\"},{\"type\":\"string\"}]}"
                             : "{\"oneOf\":[{\"type\":\"boolean\"},{\"type\":\"null\"},{\"type\":\"number\"}]}";
      case 8: return object(depth, false);
      case 9: {
        // One draw per statement, in the order x86-64 builds have always made
        // them: the operands of + are evaluated in an order the compiler picks
        // per target, and the corpus must be the same on every processor.
        const std::string items = pick(2) ? object(depth, false) : value(depth + 1);
        const char* loose = pick(2) ? "list" : "tuple";
        std::string s = "{" + type("array", loose) + ",\"items\":" + items;
        if (pick(2)) s += ",\"minItems\":" + std::to_string(pick(3));
        if (pick(2)) s += ",\"maxItems\":" + std::to_string(1 + pick(3));
        return s + "}";
      }
      default:
        return pick(2) ? "{\"type\":\"object\",\"description\":\"anything goes\"}"
                       : "{\"const\":\"fixed\"}";
    }
  }

  std::mt19937 rng_;
};

// The hand-written lists, then generated ones: at least `count` in all.
inline std::vector<std::string> tool_corpus(size_t count) {
  std::vector<std::string> lists;
  for (const RealisticToolList& l : kRealisticToolLists) lists.emplace_back(l.json);
  SchemaGenerator gen(20250314);
  while (lists.size() < count) lists.push_back(gen.tool_list());
  return lists;
}

// The tools of a list as (name, parameters or null), either form.
inline std::vector<std::pair<std::string, const formats::JsonValue*>> tools_of(const formats::JsonValue& list) {
  std::vector<std::pair<std::string, const formats::JsonValue*>> out;
  std::vector<const formats::JsonValue*> items;
  if (list.is(formats::JsonValue::Kind::kObject)) items.push_back(&list);
  for (const formats::JsonValue& item : list.items) items.push_back(&item);
  for (const formats::JsonValue* item_ptr : items) {
    const formats::JsonValue& item = *item_ptr;
    const formats::JsonValue* fn = item.get("function") ? item.get("function") : &item;
    const formats::JsonValue* name = fn->get("name");
    if (name && name->is(formats::JsonValue::Kind::kString)) out.emplace_back(name->text, fn->get("parameters"));
  }
  return out;
}

// Whether `v` follows `s` in the keywords the strict grammar follows; the
// arguments object admits no undeclared key unless the schema says so.
inline bool follows(const formats::JsonValue* s, const formats::JsonValue& v, bool arguments = false) {
  using K = formats::JsonValue::Kind;
  if (s == nullptr || !s->is(K::kObject)) return !arguments || (v.is(K::kObject) && v.members.empty());
  if (arguments && is_bare_properties(*s)) {
    formats::JsonValue wrapped;
    wrapped.kind = K::kObject;
    wrapped.members.emplace_back("properties", *s);
    return follows(&wrapped, v, true);
  }
  if (const auto* e = s->get("enum")) {
    return std::any_of(e->items.begin(), e->items.end(),
                       [&](const formats::JsonValue& x) { return formats::to_json(x) == formats::to_json(v); });
  }
  if (const auto* c = s->get("const")) return formats::to_json(*c) == formats::to_json(v);
  if (const auto* any = s->get("anyOf")) {
    return std::any_of(any->items.begin(), any->items.end(), [&](const auto& a) { return follows(&a, v); });
  }
  if (const auto* one = s->get("oneOf")) {
    return std::count_if(one->items.begin(), one->items.end(), [&](const auto& a) { return follows(&a, v); }) == 1;
  }
  auto is_type = [&](std::string t) {
    std::transform(t.begin(), t.end(), t.begin(), [](char c) { return static_cast<char>(std::tolower(c)); });
    if (t == "object" || t == "dict") return v.is(K::kObject);
    if (t == "string" || t == "str") return v.is(K::kString);
    if (t == "number" || t == "float") return v.is(K::kNumber);
    if (t == "integer" || t == "int") return v.is_integer_literal();
    if (t == "boolean" || t == "bool") return v.is(K::kBool);
    if (t == "null") return v.is(K::kNull);
    if (t == "array" || t == "list" || t == "tuple") return v.is(K::kArray);
    return true;
  };
  if (const auto* t = s->get("type")) {
    if (t->is(K::kString) && !is_type(t->text)) return false;
    if (t->is(K::kArray) && std::none_of(t->items.begin(), t->items.end(), [&](const auto& x) { return is_type(x.text); })) {
      return false;
    }
  }
  if (v.is(K::kObject)) {
    const auto* props = s->get("properties");
    for (const auto& [k, x] : v.members) {
      const formats::JsonValue* p = props ? props->get(k) : nullptr;
      if (p != nullptr ? !follows(p, x) : (arguments || props != nullptr)) return false;
    }
    if (const auto* req = s->get("required")) {
      for (const auto& r : req->items) {
        if (props && props->get(r.text) && !v.get(r.text)) return false;
      }
    }
  }
  if (v.is(K::kArray)) {
    const auto* items = s->get("items");
    for (const auto& x : v.items) {
      if (items && !follows(items, x)) return false;
    }
    const auto* lo = s->get("minItems");
    const auto* hi = s->get("maxItems");
    if (lo && v.items.size() < std::stoul(lo->text)) return false;
    if (hi && v.items.size() > std::stoul(hi->text)) return false;
  }
  return true;
}

}  // namespace pinnet::engine::testing
