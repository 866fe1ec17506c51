#include <algorithm>
#include <cstdint>

#include "readers/json_syntax.hpp"

// The row of an object: its members put in key order, repeated keys dropped, and the texts typed.

namespace morvel::readers::json {

using core::DataType;
using core::Row;

// Puts members_[base..] in ascending byte order of their keys, equal keys in input order.
// Objects usually arrive with few members, often already in order.
void Parser::sort_members(std::size_t base) {
  const auto first = members_.begin() + static_cast<std::ptrdiff_t>(base);
  const auto less = [this](const Member& a, const Member& b) {
    const int order = view(a.key).compare(view(b.key));
    return order < 0 || (order == 0 && a.order < b.order);
  };
  if (!std::is_sorted(first, members_.end(), less)) std::sort(first, members_.end(), less);
}

// Rewrites the members of the nested object whose brace is at arena offset `open` in key order,
// dropping all but the last of repeated keys. An object written in strict order is left alone.
void Parser::reorder_object(std::size_t open, std::size_t base) {
  bool is_strictly_ordered = true;
  for (std::size_t i = base + 1; i < members_.size(); ++i) {
    if (view(members_[i - 1].key) >= view(members_[i].key)) {
      is_strictly_ordered = false;
      break;
    }
  }
  if (is_strictly_ordered) return;
  sort_members(base);
  const std::size_t content = open + 1;
  reorder_.assign(arena_, content, std::string::npos);
  arena_.resize(content);
  bool first = true;
  for (std::size_t i = base; i < members_.size(); ++i) {
    if (i + 1 < members_.size() && view(members_[i].key) == view(members_[i + 1].key)) {
      note_repeated(members_[i].key);
      continue;
    }
    if (!first) arena_ += ',';
    first = false;
    const TextRef& member = members_[i].value;
    arena_.append(reorder_, member.offset - content, member.size);
  }
}

// Sorts the indices of members_ by key, equal keys in input order, and keeps the last of each
// run of equal keys.
void Parser::work_out_order() {
  order_.resize(members_.size());
  for (std::size_t i = 0; i < order_.size(); ++i) order_[i] = static_cast<std::uint32_t>(i);
  const auto less = [this](std::uint32_t a, std::uint32_t b) {
    const int order = view(members_[a].key).compare(view(members_[b].key));
    return order < 0 || (order == 0 && a < b);
  };
  if (!std::is_sorted(order_.begin(), order_.end(), less)) {
    std::sort(order_.begin(), order_.end(), less);
  }
  std::size_t kept = 0;
  for (std::size_t i = 0; i < order_.size(); ++i) {
    if (i + 1 < order_.size() &&
        view(members_[order_[i]].key) == view(members_[order_[i + 1]].key)) {
      note_repeated(members_[order_[i]].key);
      continue;
    }
    order_[kept++] = order_[i];
  }
  order_.resize(kept);
  order_keys_.clear();
  order_key_ends_.clear();
  for (const Member& member : members_) {
    order_keys_.append(view(member.key));
    order_key_ends_.push_back(order_keys_.size());
  }
}

// A key met three times is noted once.
void Parser::note_repeated(const TextRef& key) {
  const std::string_view name = view(key);
  if (std::find(repeated_.begin(), repeated_.end(), name) == repeated_.end()) {
    repeated_.emplace_back(name);
  }
}

void Parser::move_repeated_keys(std::vector<RepeatedKey>& into, std::uint64_t record) {
  for (std::string& name : repeated_) {
    const bool is_known = std::any_of(into.begin(), into.end(),
                                      [&](const RepeatedKey& known) { return known.name == name; });
    if (!is_known) into.push_back(RepeatedKey{std::move(name), record});
  }
  repeated_.clear();
}

DataType Parser::kind_of(const TextRef& value, std::string_view text) const noexcept {
  // A missing-value word decides before the syntax: a number such as -999 can be one.
  if (null_words_ != nullptr) return null_words_->type_of(text);
  if (value.kind != unknown_kind) return static_cast<DataType::Kind>(value.kind);
  return DataType::infer(text);
}

void Parser::build_row() {
  Row& row = row_;
  const bool same_keys = has_order_ && keys_match_ && members_.size() == order_key_ends_.size();
  if (!same_keys) work_out_order();
  has_order_ = true;
  // The row still holds the names of the last object unless the sink moved it out; then only the
  // texts change. They are views of the input, the arena or static
  // literals, all unchanged until the next object is parsed: copying them into the row cost
  // more than writing them out.
  if (same_keys && row.size() == order_.size()) {
    row.clear_texts();
    for (std::size_t i = 0; i < order_.size(); ++i) {
      const TextRef& value = members_[order_[i]].value;
      const std::string_view text = view(value);
      row.set_text_view(i, text, kind_of(value, text));
      if (value.original_size != 0) row.note_rounded(i, {value.fixed, value.original_size});
    }
  } else {
    std::size_t name_bytes = 0;
    for (const std::uint32_t index : order_) name_bytes += members_[index].key.size;
    row.clear();
    row.reserve(order_.size(), name_bytes, 0);
    for (const std::uint32_t index : order_) {
      const TextRef& value = members_[index].value;
      const std::string_view text = view(value);
      row.append(view(members_[index].key), {}, DataType::Null);
      row.set_text_view(row.size() - 1, text, kind_of(value, text));
      if (value.original_size != 0) {
        row.note_rounded(row.size() - 1, {value.fixed, value.original_size});
      }
    }
  }
  // Raw JSON strings cannot hold a control character; only an escape can put a NUL in a text.
  if (!may_hold_nul_) row.note_nul_free();
}

}  // namespace morvel::readers::json
