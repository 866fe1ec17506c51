#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "core/error.hpp"
#include "core/monitor.hpp"
#include "core/row.hpp"
#include "core/utf8.hpp"
#include "readers/options.hpp"
#include "readers/piece_reader.hpp"

namespace morvel::readers::json {

// Where a text comes from changes two details of parsing it. A stream has already taken the byte
// after a number when the number turns out to be out of range, so that byte counts in the
// position, and its strings are checked for UTF-8 as each one closes. A line has been checked for
// UTF-8 before it is parsed, and its positions never count a byte that was only looked at.
enum class Origin : std::uint8_t { Stream, Line };

// A parse failure kept as data until its message is needed.
struct SyntaxError {
  std::string_view description;
  std::size_t offset = 0;    // bytes of the text read when the failure was found
  bool reached_end = false;  // the parser asked for a byte past the end of the text
};

// " at line L column C" for the position after `offset` bytes of `text`: a line starts after each
// line end (LF, a lone CR, CR LF), and the column counts the bytes read on it (0 right after a
// line end). Never fails.
// `first_line` is the number of the text's first line in a longer input.
[[nodiscard]] std::string position_suffix(std::string_view text, std::size_t offset,
                                          std::uint64_t first_line = 1);

// The description of `error` followed by its position in `text`. Never fails.
[[nodiscard]] std::string describe(const SyntaxError& error, std::string_view text,
                                   std::uint64_t first_line = 1);

// A strict JSON parser over one text held in memory. Keeps its buffers and its row between texts,
// so one parser serves every line of an input without allocating per line.
class Parser {
 public:
  // What parse() found at the top level.
  enum class Parsed : std::uint8_t { Object, Other, Failed };

  // Values whose text is one of `null_words` (borrowed; null or empty for none) are NULL.
  // A number that a double cannot hold keeps its own text when `keeps_number_texts`; otherwise
  // it becomes the double's, and the row notes its own (Row::note_rounded).
  explicit Parser(Origin origin, const NullWords* null_words = nullptr,
                  bool keeps_number_texts = false) noexcept
      : origin_(origin),
        keeps_number_texts_(keeps_number_texts),
        null_words_(null_words != nullptr && !null_words->words().empty() ? null_words : nullptr) {}
  Parser(const Parser&) = delete;  // holds views into the current text
  Parser& operator=(const Parser&) = delete;

  // Makes `text` the text to parse; it is borrowed until the next reset. A text that
  // `is_checked`, accepted by check() before, is not checked for UTF-8 again. Never fails.
  void reset(std::string_view text, bool is_checked = false) noexcept;

  // Lets check() and parse() pass over a byte-order mark at the start of the text, which still
  // counts in positions: the text is the start of an input. Never fails.
  void skip_byte_order_mark() noexcept {
    lead_ = std::string_view(begin_, static_cast<std::size_t>(end_ - begin_))
                    .starts_with(core::utf8_byte_order_mark)
                ? core::utf8_byte_order_mark.size()
                : 0;
  }

  // Checks that the text is exactly one JSON value, with JSON white space around it, building
  // nothing. False when it is not; error() then says why, unless stopped() holds the error of
  // `checkpoints`, which hear of the elements of a top-level array as they are reached.
  // When the text is an array and `starts` is given, the offsets of its elements are put there,
  // one at least every `spacing` bytes, for reading the elements in ranges.
  [[nodiscard]] bool check(core::Checkpoints* checkpoints = nullptr,
                           std::vector<std::size_t>* starts = nullptr, std::size_t spacing = 0);

  // Checks the value at offset `at` of the text as an element of a top-level array, building
  // nothing: the offset after it, or nothing when it is not valid, error() then saying why (a
  // text that ends inside the value may only be the part of an input read so far).
  [[nodiscard]] std::optional<std::size_t> check_element(std::size_t at) {
    const char* after = check_value(begin_ + at, 1);
    if (after == nullptr) return std::nullopt;
    return static_cast<std::size_t>(after - begin_);
  }

  // Puts in `starts` the offsets of the elements of the array that opens at offset `open` of the
  // text, which check() has accepted, one at least every `spacing` bytes. Never fails but for
  // memory.
  void note_starts(std::size_t open, std::vector<std::size_t>& starts, std::size_t spacing);

  // Parses the text as exactly one JSON value. An object becomes row(): its entries in ascending
  // byte order of the keys, the last of repeated keys winning, each value as text typed by
  // DataType::infer. Failed leaves row() untouched and sets error().
  [[nodiscard]] Parsed parse();

  // Forgets the keys of the objects parsed so far, so that the next object's row does not claim
  // to repeat the names of one that another reader's rows may have followed. Never fails.
  void forget_keys() noexcept {
    order_keys_.clear();
    order_key_ends_.clear();
    row_.clear();
    has_order_ = false;
  }

  // Adds to `into` each key that an object built since the last call repeated and `into` lacks,
  // as found in record `record`. Throws std::bad_alloc when memory runs out.
  void take_repeated_keys(std::vector<RepeatedKey>& into, std::uint64_t record) {
    if (!repeated_.empty()) move_repeated_keys(into, record);
  }

  // The row of the last object parse() found. Its texts may be views of the text and of the
  // parser's buffers, valid until the next reset; a sink may move it out. Never fails.
  [[nodiscard]] core::Row& row() noexcept { return row_; }

  // Hands `sink` one row per object element of the text, which check() has accepted (and
  // reset() was told so) and which is an array, from the element at offset `from` to the last that
  // begins before `to`, at most `most_rows` rows; `next` is then the offset of the element after
  // the last read, or the end of the text. Other elements are skipped. Stops at the first error of
  // the sink, unchanged, with `next` at the element whose row it refused.
  [[nodiscard]] core::Status hand_over_range(std::size_t from, std::size_t to, core::RowSink sink,
                                             std::uint64_t most_rows, std::size_t& next);

  // The error that stopped the last check() or hand_over_range() other than the text's own,
  // taken out; nothing when there was none. Never fails.
  [[nodiscard]] std::optional<core::Error> stopped() noexcept {
    return std::exchange(stopped_, {});
  }

  // The last failure. Only meaningful after check() or parse() has failed.
  [[nodiscard]] const SyntaxError& error() const noexcept { return error_; }

 private:
  enum class Store : std::uint8_t { Fixed, Arena, Keys };

  // A text in the input or a static string (Fixed), or at an offset of one of the buffers,
  // which may move until the object that needs it is complete.
  struct TextRef {
    Store store;
    const char* fixed;
    std::size_t offset;
    std::size_t size;
    // The DataType::infer kind of a value text when the parser knows it from the JSON syntax
    // (numbers, literals), else unknown_kind.
    std::uint8_t kind = unknown_kind;
    // For a number written as the double it reads as (in the arena), the size of its own text
    // in the input, which `fixed` then points at; else 0. It fits the struct's padding.
    std::uint32_t original_size = 0;
  };
  static constexpr std::uint8_t unknown_kind = 0xFF;

  // One object member: its decoded key and its value text (for rows) or its `"key":value`
  // serialisation in the arena (inside nested objects); `order` breaks ties between equal keys.
  struct Member {
    TextRef key;
    TextRef value;
    std::size_t order;
  };

  bool pass(core::Checkpoints* checkpoints, const char* p);
  // Checks the elements of the array whose opening bracket is before `p`, telling `checkpoints`
  // of each and noting starts as check() does; the byte after the array, or nullptr.
  const char* check_elements(const char* p, core::Checkpoints* checkpoints,
                             std::vector<std::size_t>* starts, std::size_t spacing);
  const char* fail(std::string_view description, const char* after) noexcept;
  const char* fail_at_end(std::string_view description) noexcept;
  [[nodiscard]] const char* skip_white(const char* p) const noexcept;
  [[nodiscard]] bool finish(const char* p) noexcept;

  const char* check_value(const char* p, unsigned depth);
  const char* write_value(const char* p, unsigned depth);
  const char* write_array(const char* p, unsigned depth);
  const char* write_object(const char* p, unsigned depth);
  const char* parse_row_object(const char* p, unsigned depth);
  const char* member_text(const char* p, unsigned depth, TextRef& text);
  const char* number_text(const char* p, TextRef& text);
  template <class Element>
  const char* walk_array(const char* p, Element&& element);
  template <class OnMember>
  const char* walk_object(const char* p, OnMember&& on_member);

  const char* scan_string(const char* p, bool& escaped) noexcept;
  const char* finish_string(const char* p, const char* q, bool& escaped) noexcept;
  const char* scan_escape(const char* p) noexcept;
  const char* scan_unicode_escape(const char* p) noexcept;
  const char* scan_hex(const char* p, unsigned& unit) noexcept;
  const char* match_word(const char* p, std::string_view word) noexcept;
  const char* scan_number(const char* p, bool& is_float) noexcept;

  TextRef key_ref(std::string_view raw, bool escaped);
  [[nodiscard]] std::string_view view(const TextRef& text) const noexcept {
    switch (text.store) {
      case Store::Fixed:
        return {text.fixed, text.size};
      case Store::Arena:
        return std::string_view(arena_).substr(text.offset, text.size);
      case Store::Keys:
        break;
    }
    return std::string_view(keys_).substr(text.offset, text.size);
  }
  void move_repeated_keys(std::vector<RepeatedKey>& into, std::uint64_t record);
  void note_repeated(const TextRef& key);
  void sort_members(std::size_t base);
  void reorder_object(std::size_t open, std::size_t base);
  void work_out_order();
  void build_row();
  void note_nul(const std::string& buffer, std::size_t start) noexcept;
  [[nodiscard]] core::DataType kind_of(const TextRef& value, std::string_view text) const noexcept;

  Origin origin_;
  bool keeps_number_texts_;
  const NullWords* null_words_;
  bool checks_utf8_ = false;
  const char* begin_ = nullptr;
  const char* end_ = nullptr;
  std::size_t lead_ = 0;  // bytes of a byte-order mark at the start that check and parse skip
  SyntaxError error_;
  std::optional<core::Error> stopped_;
  std::string arena_;    // value texts of the current row that are not in the input
  std::string keys_;     // keys that had escapes, decoded
  std::string reorder_;  // members of a nested object while they are put in key order
  std::vector<Member> members_;
  std::vector<std::string> repeated_;  // keys repeated in objects built since they were taken
  // Objects of one input nearly always repeat the same keys in the same order. Each row object's
  // keys are kept (each after its size) with the order that sorting them gave, and an object with
  // the same keys reuses that order instead of sorting again.
  std::string order_keys_;                   // the keys `order_` was worked out for, in input
  std::vector<std::size_t> order_key_ends_;  // order, and where each of them ends
  bool keys_match_ = false;                  // the current object's keys so far are those
  bool has_order_ = false;                   // order_ was worked out since the keys were forgotten
  bool may_hold_nul_ = false;                // an escape put a NUL in a key or value of the row
  std::vector<std::uint32_t> order_;         // members_ indices of the row's entries, in row order
  core::Row row_;                            // the last object's row, named after `order_`
};

}  // namespace morvel::readers::json
