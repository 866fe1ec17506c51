#include "lib/row.hpp"

namespace morvel {

void Row::insert(std::string_view name, std::string_view text, DataType type) {
  if (auto index = find(name)) {
    // The old text stays in the buffer unreferenced; replacing is rare (repeated JSON keys are
    // resolved by the parser) and not worth compacting for.
    Slot& slot = slots_[*index];
    slot.text_offset = bytes_.size();
    slot.text_size = text.size();
    slot.type = type;
    bytes_.append(text);
    return;
  }
  append(name, text, type);
}

void Row::append(std::string_view name, std::string_view text, DataType type) {
  const std::size_t name_offset = bytes_.size();
  bytes_.append(name);
  const std::size_t text_offset = bytes_.size();
  bytes_.append(text);
  slots_.push_back(Slot{name_offset, name.size(), text_offset, text.size(), type});
}

void Row::reserve(std::size_t entries, std::size_t bytes) {
  slots_.reserve(entries);
  bytes_.reserve(bytes);
}

Row::Entry Row::operator[](std::size_t index) const noexcept {
  const Slot& slot = slots_[index];
  const std::string_view all = bytes_;
  return Entry{all.substr(slot.name_offset, slot.name_size),
               all.substr(slot.text_offset, slot.text_size), slot.type};
}

std::optional<std::size_t> Row::find(std::string_view name) const noexcept {
  const std::string_view all = bytes_;
  for (std::size_t i = 0; i < slots_.size(); ++i) {
    if (all.substr(slots_[i].name_offset, slots_[i].name_size) == name) return i;
  }
  return std::nullopt;
}

}  // namespace morvel
