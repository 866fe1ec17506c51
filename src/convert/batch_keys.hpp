#pragma once

#include <string>
#include <string_view>
#include <unordered_set>
#include <vector>

#include "convert/options.hpp"
#include "core/row.hpp"

namespace morvel::convert {

// The keys of the rows in the INSERT a PostgreSQL batch has open, when rows replace those with
// their key: PostgreSQL refuses an INSERT ... ON CONFLICT DO UPDATE that meets one key twice, so
// the batch ends before a row whose key it already holds, and the rows keep their order.
// Keys are compared in a form that two texts PostgreSQL could read as one value share (1, 01,
// 1.0 and 1e0; a UUID in either letter case; one moment at two offsets); texts that merely look
// alike may share it too, which ends a batch early and changes nothing else.
class BatchKeys {
 public:
  // Whether a script made with `options` needs its batches cut at repeated keys. Never fails.
  [[nodiscard]] static bool is_needed(const CheckedOptions& options) noexcept;

  // Keys made of `columns`, borrowed. Never fails.
  explicit BatchKeys(const std::vector<std::string>& columns) noexcept : columns_(columns) {}

  // Puts the form of `row`'s key in `form`, replacing what it held. Throws std::bad_alloc when
  // memory runs out.
  void form_of(const core::Row& row, std::string& form) const;

  // Whether the open batch holds a row whose key has `form`. Never fails.
  [[nodiscard]] bool holds(const std::string& form) const noexcept { return forms_.contains(form); }

  // Notes a row of the batch; clear() when the batch ends. Throw std::bad_alloc when memory
  // runs out.
  void add(std::string_view form) { forms_.emplace(form); }
  void clear() noexcept { forms_.clear(); }

 private:
  const std::vector<std::string>& columns_;
  std::unordered_set<std::string> forms_;
};

// Appends the form BatchKeys compares of one key value, `text` of type `type`, to `form`. Throws
// std::bad_alloc when memory runs out.
void append_key_form(std::string& form, std::string_view text, core::DataType type);

}  // namespace morvel::convert
