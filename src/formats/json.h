// A strict JSON reader for the texts callers hand us (tool lists): RFC 8259
// grammar, UTF-8 checked, nesting bounded, and errors that say where. The
// result is a small document tree; numbers keep the text they were written
// with, so an enum value can be written back exactly as offered.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/result.h"

namespace pinnet::formats {

struct JsonValue {
  enum class Kind : uint8_t { kNull, kBool, kNumber, kString, kArray, kObject };
  Kind kind = Kind::kNull;
  bool boolean = false;
  // kString: the decoded text (UTF-8); kNumber: the literal as written.
  std::string text;
  std::vector<JsonValue> items;                            // kArray
  std::vector<std::pair<std::string, JsonValue>> members;  // kObject, in order, duplicates kept

  // Declared here, defined where JsonValue is complete: the members'
  // element type needs it (some standard libraries check at the class).
  JsonValue();
  JsonValue(const JsonValue&);
  JsonValue(JsonValue&&) noexcept;
  JsonValue& operator=(const JsonValue&);
  JsonValue& operator=(JsonValue&&) noexcept;
  ~JsonValue();

  bool is(Kind k) const { return kind == k; }
  // The last member called `key` (what most readers keep), or null.
  const JsonValue* get(std::string_view key) const;
  // A number written without fraction or exponent.
  bool is_integer_literal() const;
};

struct JsonError {
  size_t offset = 0;  // byte offset of the failure
  size_t line = 1;    // 1-based
  size_t column = 1;  // 1-based, in bytes
  std::string what;   // "expected ':' after an object key"

  // "<what> at line L column C (byte B)".
  std::string message() const;
};

inline constexpr size_t kJsonMaxDepth = 128;

// The whole text must be one value, white space around it allowed.
core::Result<JsonValue, JsonError> parse_json(std::string_view text,
                                              size_t max_depth = kJsonMaxDepth);

// The compact JSON text of a value: strings escaped as json_quote does,
// numbers as written, no white space.
std::string to_json(const JsonValue& v);

// `s` (UTF-8) as a JSON string literal, quotes included: '"', '\' and the
// control characters escaped (\n, \t, ... or \u00XX), everything else as is.
std::string json_quote(std::string_view s);

}  // namespace pinnet::formats
