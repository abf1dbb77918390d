// Unicode character classes (from a generated table) used by the tool-name
// snake-case rule.
#pragma once

namespace pinnet::engine {

bool is_alphanumeric(char32_t c);  // Alphabetic, or a number (Nd, Nl, No)
bool is_lowercase(char32_t c);     // Lowercase property
bool is_uppercase(char32_t c);     // Uppercase property
bool is_decimal_digit(char32_t c); // Nd

}  // namespace pinnet::engine
