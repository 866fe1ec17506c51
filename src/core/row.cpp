#include "core/row.hpp"

#include <cstring>
#include <utility>

namespace morvel::core {

bool Row::is_false_moment(DataType type, std::string_view text) noexcept {
  return core::is_false_moment(text, type == DataType::Date);
}

Row::Row(const Row& other)
    : names_(other.names_),
      texts_(other.texts_),
      slots_(other.slots_),
      rounded_(other.rounded_),
      rounded_texts_(other.rounded_texts_),
      nul_free_(other.nul_free_),
      may_change_number_(other.may_change_number_),
      holds_false_date_(other.holds_false_date_) {
  own_texts();
}

Row::Row(Row&& other)
    : names_(std::move(other.names_)),
      texts_(std::move(other.texts_)),
      slots_(std::move(other.slots_)),
      rounded_(std::move(other.rounded_)),
      rounded_texts_(std::move(other.rounded_texts_)),
      nul_free_(other.nul_free_),
      may_change_number_(other.may_change_number_),
      holds_false_date_(other.holds_false_date_) {
  other.clear();
  own_texts();
}

Row& Row::operator=(const Row& other) {
  if (this != &other) {
    names_ = other.names_;
    texts_ = other.texts_;
    slots_ = other.slots_;
    rounded_ = other.rounded_;
    rounded_texts_ = other.rounded_texts_;
    nul_free_ = other.nul_free_;
    may_change_number_ = other.may_change_number_;
    holds_false_date_ = other.holds_false_date_;
    names_repeat_ = false;
    own_texts();
  }
  return *this;
}

Row& Row::operator=(Row&& other) {
  if (this != &other) {
    names_ = std::move(other.names_);
    texts_ = std::move(other.texts_);
    slots_ = std::move(other.slots_);
    rounded_ = std::move(other.rounded_);
    rounded_texts_ = std::move(other.rounded_texts_);
    nul_free_ = other.nul_free_;
    may_change_number_ = other.may_change_number_;
    holds_false_date_ = other.holds_false_date_;
    names_repeat_ = false;
    other.clear();
    own_texts();
  }
  return *this;
}

void Row::own_texts() {
  view_bytes_ = 0;
  for (Slot& slot : slots_) {
    if (!slot.is_view) continue;
    const std::size_t offset = texts_.size();
    append_bytes(texts_, {reinterpret_cast<const char*>(slot.text_at), slot.text_size});
    slot.text_at = offset;
    slot.is_view = false;
  }
}

void Row::reserve(std::size_t entries, std::size_t name_bytes, std::size_t text_bytes) {
  // A reused row usually has the room already; the checks spare three library calls.
  if (slots_.capacity() < entries) slots_.reserve(entries);
  if (names_.capacity() < name_bytes) names_.reserve(name_bytes);
  if (texts_.capacity() < text_bytes) texts_.reserve(text_bytes);
}

std::optional<std::size_t> Row::find(std::string_view name) const noexcept {
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if ((*this)[i].name == name) return i;
  }
  return std::nullopt;
}

bool Row::scan_for_nul() const noexcept {
  if (std::memchr(names_.data(), '\0', names_.size()) != nullptr ||
      std::memchr(texts_.data(), '\0', texts_.size()) != nullptr) {
    return true;
  }
  if (view_bytes_ == 0) return false;
  for (const Slot& slot : slots_) {
    if (slot.is_view &&
        std::memchr(reinterpret_cast<const char*>(slot.text_at), '\0', slot.text_size) != nullptr) {
      return true;
    }
  }
  return false;
}

bool Row::has_same_names(const Row& other) const noexcept {
  if (slots_.size() != other.slots_.size() || names_ != other.names_) return false;
  // Equal concatenations can still be split differently.
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].name_size != other.slots_[i].name_size) return false;
  }
  return true;
}

}  // namespace morvel::core
