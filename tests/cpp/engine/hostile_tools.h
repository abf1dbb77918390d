// Tool lists written to make a grammar compiler spend or to slip past what
// it follows: type lists whose entries (aliases included) name the same kind
// again, nested; tens of thousands of tools; megabytes of list; long names;
// hundreds of thousands of alternatives; deep nesting; references; objects
// past the property limit; arrays with long minimums. Each must end quickly
// with a clear error or a grammar of bounded size.
#pragma once

#include <functional>
#include <string>
#include <vector>

namespace pinnet::engine::testing {

struct HostileCase {
  std::string label;
  std::function<std::string()> tools;  // made on demand: some are megabytes
  // A piece of the expected error, or "" when the list must compile.
  std::string error;
};

inline std::string one_tool(const std::string& name, const std::string& parameters) {
  return "[{\"name\":\"" + name + "\",\"parameters\":" + parameters + "}]";
}

// {"type":[<aliases of object> x10],"properties":{"a":<the same, depth-1>}}.
inline std::string object_type_lists(int depth) {
  const std::string aliases =
      R"("object","dict","Object","DICT","object","Dict","object","dict","OBJECT","object")";
  std::string s = R"({"type":"string"})";
  for (int d = 0; d < depth; ++d) s = "{\"type\":[" + aliases + "],\"properties\":{\"a\":" + s + "}}";
  return s;
}

// `count` tools named tool_<i> (padded to `name_bytes`), then more until the
// list is `total` bytes long; with a `total`, each has a description and
// parameters.
inline std::string tools_list(size_t count, size_t name_bytes = 0, size_t total = 0) {
  std::string out = "[";
  for (size_t i = 0; i < count || out.size() < total; ++i) {
    std::string name = "tool_" + std::to_string(i);
    if (name.size() < name_bytes) name.append(name_bytes - name.size(), 'n');
    out += (i ? ",{\"name\":\"" : "{\"name\":\"") + name + "\"";
    if (total > 0) {
      out += R"(,"description":"A tool offered to fill the list.","parameters":{"type":"object",)"
             R"("properties":{"query":{"type":"string"},"limit":{"type":"integer"}},"required":["query"]})";
    }
    out += "}";
  }
  return out + "]";
}

// Properties nested `depth` levels deep.
inline std::string nested_properties(int depth) {
  std::string s = R"({"type":"string"})";
  for (int d = 0; d < depth; ++d) s = "{\"type\":\"object\",\"properties\":{\"a\":" + s + "}}";
  return s;
}

// `count` string properties, each required when `required`.
inline std::string wide_object(size_t count, bool required, bool closed = false) {
  std::string props, req;
  for (size_t k = 0; k < count; ++k) {
    props += (k ? ",\"p" : "\"p") + std::to_string(k) + "\":{\"type\":\"string\"}";
    req += (k ? ",\"p" : "\"p") + std::to_string(k) + "\"";
  }
  std::string s = "{\"type\":\"object\",\"properties\":{" + props + "}";
  if (required) s += ",\"required\":[" + req + "]";
  if (closed) s += ",\"additionalProperties\":false";
  return s + "}";
}

// A property that is one of `count` schemas, each written `alternative`.
inline std::string wide_union(size_t count, const std::string& alternative) {
  std::string alts;
  for (size_t k = 0; k < count; ++k) alts += (k ? "," : "") + alternative;
  return one_tool("f", R"({"properties":{"x":{"anyOf":[)" + alts + "]}}}");
}

// A property with an enum of `count` strings of `bytes_each` bytes.
inline std::string long_enum(size_t count, size_t bytes_each) {
  std::string values;
  for (size_t k = 0; k < count; ++k) {
    std::string v = std::to_string(k);
    v.append(bytes_each - v.size(), 'v');
    values += (k ? ",\"" : "\"") + v + "\"";
  }
  return one_tool("f", R"({"properties":{"x":{"enum":[)" + values + "]}}}");
}

inline std::vector<HostileCase> hostile_cases() {
  const std::string min_items_300 =
      R"({"properties":{"l":{"type":"array","items":{"type":"string"},"minItems":300}},"required":["l"]})";
  return {
      {"type lists of aliases, 7 deep", [] { return one_tool("f", object_type_lists(7)); }, ""},
      {"type lists of aliases, 12 deep", [] { return one_tool("f", object_type_lists(12)); }, ""},
      {"80000 tools", [] { return tools_list(80000); }, "tools: 80000 tools offered, at most 4096"},
      {"20 MB of tools", [] { return tools_list(0, 0, 20u << 20); }, "bytes of tools JSON, at most 4194304"},
      {"a 4 MB name", [] { return tools_list(1, 4u << 20); }, "bytes of tools JSON, at most 4194304"},
      {"a 64 KB name", [] { return tools_list(1, 64u << 10); }, "tools: a tool name of 65536 bytes, at most 1024"},
      {"300 names of 1000 bytes", [] { return tools_list(300, 1000); }, "or more bytes, at most 262144"},
      {"an enum of 300 KB", [] { return long_enum(300, 1000); }, "or more bytes, at most 262144"},
      {"150000 alternatives", [] { return wide_union(150000, R"({"items":{}})"); }, "131073 or more grammar nodes, at most 131072"},
      {"1000-deep nesting", [] { return one_tool("f", nested_properties(1000)); }, "nesting too deep"},
      {"13-deep properties", [] { return one_tool("f", nested_properties(13)); }, "is nested 13 levels deep, at most 12"},
      {"12-deep properties", [] { return one_tool("f", nested_properties(12)); }, ""},
      {"$ref", [] { return one_tool("f", R"({"properties":{"a":{"$ref":"#/$defs/a"}},"$defs":{"a":{"type":"integer"}}})"); },
       R"(tool "f": parameters.properties."a" uses "$ref")"},
      {"$ref under an empty key", [] { return one_tool("f", R"({"properties":{"":{"items":{"$ref":"#"}}}})"); },
       R"(tool "f": parameters.properties."".items uses "$ref")"},
      {"allOf", [] { return one_tool("f", R"({"properties":{"a":{"anyOf":[{"type":"null"},{"allOf":[{"type":"integer"}]}]}}})"); },
       R"(parameters.properties."a".anyOf[1] uses "allOf")"},
      {"65 properties, required", [] { return one_tool("f", wide_object(65, true)); },
       R"(tool "f": parameters has 65 properties with "required", at most 64)"},
      {"65 properties, closed", [] { return one_tool("f", wide_object(65, false, true)); },
       R"(has 65 properties with "additionalProperties", at most 64)"},
      {"65 properties, free", [] { return one_tool("f", wide_object(65, false)); }, ""},
      {"64 properties, all required", [] { return one_tool("f", wide_object(64, true)); }, ""},
      {"minItems 300", [=] { return one_tool("f", min_items_300); }, ""},
  };
}

}  // namespace pinnet::engine::testing
