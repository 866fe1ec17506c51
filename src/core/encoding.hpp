#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "core/error.hpp"
#include "core/io.hpp"
#include "core/monitor.hpp"
#include "core/text.hpp"

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

// The text of a source in another encoding, decoded into UTF-8 as it is read, a bounded piece of
// the input at a time: neither memory nor the wait for a stop grows with the input. A byte-order
// mark the encoding defines (UTF-16, UTF-32) is read, not kept. At a sequence that is not valid in
// the encoding (or that the input ends inside) the text ends: the reads deliver what came before
// it, then fail with refusal(). Calls `monitor`, if given, every few megabytes of input to ask
// whether to go on, and fails as it does.
class DecodingSource final : public ByteSource {
 public:
  // `inner` and `monitor` are borrowed and must outlive the source. Fails only when the
  // conversion cannot be set up, with the system's error.
  [[nodiscard]] static Result<std::unique_ptr<DecodingSource>> open(ByteSource& inner,
                                                                    const Encoding& encoding,
                                                                    Monitor* monitor);
  DecodingSource(const DecodingSource&) = delete;  // one owner closes the conversion
  DecodingSource& operator=(const DecodingSource&) = delete;
  ~DecodingSource() override;

  // Fails as the inner source or the monitor does, or with refusal(). Throws std::bad_alloc when
  // memory runs out.
  [[nodiscard]] Result<std::size_t> read(std::span<char> buffer) override;
  // Goes back when the inner source does, to decode it again from its start.
  [[nodiscard]] bool rewind() noexcept override;
  [[nodiscard]] bool would_wait() const noexcept override {
    return taken_ == text_.size() && inner_.would_wait();
  }

  // What the reads fail with once the text has ended at an invalid sequence: by default
  // describe_invalid(), else what `refuse` makes of this source. Never fails.
  using Refusal = Error (*)(const DecodingSource&);
  void refuse_with(Refusal refuse) noexcept { refuse_ = refuse; }
  [[nodiscard]] Error refusal() const;

  // Where the reads reached a sequence that is not valid in the encoding (or that the input ends
  // inside): its offset in the input. Nothing until a read has failed for it. Never fails.
  [[nodiscard]] std::optional<std::uint64_t> invalid_at() const noexcept {
    return is_refused_ ? std::optional(input_read_) : std::nullopt;
  }
  // "byte 0xE9 at byte 57 is not valid utf-16" (the offset in the input), or "the input ends
  // inside a utf-16 character at byte 57". Only meaningful when invalid_at() holds.
  [[nodiscard]] std::string describe_invalid() const;
  // 1 + the line ends of the text decoded so far. Never fails.
  [[nodiscard]] std::uint64_t line() const noexcept { return line_ends_.count() + 1; }
  [[nodiscard]] const Encoding& encoding() const noexcept { return encoding_; }

  // The offset in the input of the text's byte `offset`, which starts a character, found by
  // decoding the input again from its start: it serves the message of a failure, which ends the
  // reading, and leaves the source back at its start. `offset` itself when the input cannot go
  // back. Never fails.
  [[nodiscard]] std::uint64_t input_offset(std::uint64_t offset);

 private:
  struct ByteTable;
  DecodingSource(ByteSource& inner, const Encoding& encoding, Monitor* monitor, void* handle,
                 std::unique_ptr<const ByteTable> table) noexcept;
  static std::unique_ptr<const ByteTable> byte_table(void* converter);
  Status decode_more();
  int decode_by_table(const char*& in, std::size_t& in_left);
  void restart() noexcept;

  ByteSource& inner_;
  Encoding encoding_;
  Monitor* monitor_;
  std::uint64_t next_check_ = Checkpoints::interval;  // of input_read_
  void* handle_;             // the iconv conversion
  std::unique_ptr<const ByteTable> table_;  // for an encoding of one byte per character
  ByteBuffer input_;         // read from the inner source and not yet decoded, from input_at_
  std::size_t input_at_ = 0;
  std::uint64_t input_read_ = 0;  // bytes of the input decoded
  ByteBuffer text_;               // decoded and not yet delivered, from taken_
  std::size_t taken_ = 0;
  LineEnds line_ends_;
  bool input_ended_ = false;
  bool is_refused_ = false;
  bool ends_inside_ = false;
  unsigned char invalid_byte_ = 0;
  Refusal refuse_ = nullptr;
};

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
