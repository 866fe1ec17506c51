#pragma once

#include <string_view>

// The descriptions of JSON parse failures; a message adds the position to one of them.
namespace morvel::readers::json::message {

inline constexpr std::string_view eof_list = "EOF while parsing a list";
inline constexpr std::string_view eof_object = "EOF while parsing an object";
inline constexpr std::string_view eof_string = "EOF while parsing a string";
inline constexpr std::string_view eof_value = "EOF while parsing a value";
inline constexpr std::string_view expected_colon = "expected `:`";
inline constexpr std::string_view expected_list_comma = "expected `,` or `]`";
inline constexpr std::string_view expected_object_comma = "expected `,` or `}`";
inline constexpr std::string_view expected_ident = "expected ident";
inline constexpr std::string_view expected_value = "expected value";
inline constexpr std::string_view invalid_escape = "invalid escape";
inline constexpr std::string_view invalid_number = "invalid number";
inline constexpr std::string_view number_out_of_range = "number out of range";
inline constexpr std::string_view invalid_code_point = "invalid unicode code point";
inline constexpr std::string_view control_character =
    "control character (\\u0000-\\u001F) found while parsing a string";
inline constexpr std::string_view key_must_be_string = "key must be a string";
inline constexpr std::string_view lone_surrogate = "lone leading surrogate in hex escape";
inline constexpr std::string_view trailing_comma = "trailing comma";
inline constexpr std::string_view trailing_characters = "trailing characters";
inline constexpr std::string_view unexpected_end_of_hex = "unexpected end of hex escape";
inline constexpr std::string_view recursion_limit = "recursion limit exceeded";

}  // namespace morvel::readers::json::message
