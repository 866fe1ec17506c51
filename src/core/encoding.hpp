#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/io.hpp"

namespace morvel::core {

// A character encoding the C library's iconv can decode into UTF-8, by the name the user gave.
class Encoding {
 public:
  // The encoding called `name` (any name iconv knows: latin1, cp1252, utf-16, shift_jis, ...).
  // Nothing for UTF-8 itself, in any of its spellings, which needs no decoding. Fails with
  // "unknown encoding 'NAME' (for instance: ...)" when iconv does not know the name.
  [[nodiscard]] static Result<std::optional<Encoding>> find(std::string_view name);

  // The name as the user gave it, for messages. Never fails.
  [[nodiscard]] const std::string& name() const noexcept { return name_; }
  // The name iconv knows it by. Never fails.
  [[nodiscard]] const std::string& iconv_name() const noexcept { return iconv_name_; }

  friend bool operator==(const Encoding&, const Encoding&) = default;

 private:
  Encoding(std::string name, std::string iconv_name)
      : name_(std::move(name)), iconv_name_(std::move(iconv_name)) {}
  static Result<std::optional<Encoding>> unknown(const std::string& name);

  std::string name_;
  std::string iconv_name_;
};

// Input decoded into UTF-8, with what it takes to tell where a byte of the text was in the input.
class Decoded {
 public:
  // The decoded text, as far as the input could be decoded.
  [[nodiscard]] std::string_view text() const noexcept { return text_.view(); }

  // The offset in the input of the byte at `offset` of the text, which starts a character (at
  // most text().size()). Decodes the input again up to there: meant for messages, not loops.
  // Never fails.
  [[nodiscard]] std::size_t input_offset(std::size_t offset) const;

  // Where decoding stopped at a sequence that is not valid in the encoding (or that the input
  // ends inside): its offset in the input. Nothing when all of it was decoded.
  [[nodiscard]] std::optional<std::size_t> invalid_at() const noexcept { return invalid_at_; }

  // "byte 0xE9 at byte 57 is not valid utf-16" (the offset in the input), or "the input ends
  // inside a utf-16 character at byte 57". Only meaningful when invalid_at() holds.
  [[nodiscard]] std::string describe_invalid() const;

  [[nodiscard]] const Encoding& encoding() const noexcept { return encoding_; }

 private:
  friend Result<Decoded> decode(std::string_view input, const Encoding& encoding);
  Decoded(std::string_view input, const Encoding& encoding) : input_(input), encoding_(encoding) {}

  std::string_view input_;  // borrowed from the caller of decode()
  Encoding encoding_;
  ByteBuffer text_;
  std::optional<std::size_t> invalid_at_;
  bool ends_inside_ = false;
};

// Decodes `input`, which the result borrows and which must outlive it, from `encoding` into
// UTF-8. An invalid sequence stops the decoding there (see Decoded::invalid_at); a byte-order
// mark the encoding defines (UTF-16, UTF-32) is read, not kept. Fails only when the conversion
// cannot be set up, with the system's error. Throws std::bad_alloc when memory runs out.
[[nodiscard]] Result<Decoded> decode(std::string_view input, const Encoding& encoding);

// Advice for `bytes`, text that is not UTF-8: the --encoding its bytes most likely are in,
// Windows-1252 when they use its printable range 0x80 to 0x9F and Latin-1 when they avoid it,
// else to name the encoding. Never fails.
[[nodiscard]] Notice encoding_advice(std::string_view bytes);

// encoding_advice for text that comes in blocks, which are not held together.
class EncodingClues {
 public:
  // Takes the next block. Never fails.
  void feed(std::string_view bytes) noexcept;
  // The advice for all the blocks fed. Never fails but for memory.
  [[nodiscard]] Notice advice() const;

 private:
  bool has_c1_ = false;
  bool has_unassigned_ = false;
};

}  // namespace morvel::core
