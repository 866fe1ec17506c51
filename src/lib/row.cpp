#include "lib/row.hpp"

#include <cstring>

namespace morvel {

void Row::insert(std::string_view name, std::string_view text, DataType type) {
  if (auto index = find(name)) {
    // The old text stays in the buffer unreferenced; replacing is rare (repeated JSON keys are
    // resolved by the parser) and not worth compacting for.
    set_text(*index, text, type);
    return;
  }
  append(name, text, type);
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

bool Row::holds_nul() const noexcept {
  return std::memchr(names_.data(), '\0', names_.size()) != nullptr ||
         std::memchr(texts_.data(), '\0', texts_.size()) != nullptr;
}

bool Row::has_same_names(const Row& other) const noexcept {
  if (slots_.size() != other.slots_.size() || names_ != other.names_) return false;
  // Equal concatenations can still be split differently.
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (slots_[i].name_size != other.slots_[i].name_size) return false;
  }
  return true;
}

}  // namespace morvel
