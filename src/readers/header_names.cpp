#include "readers/header_names.hpp"

#include <unordered_set>

namespace morvel::readers {
namespace {

// The name as the target compares it.
std::string folded(std::string_view name, bool ignore_case) {
  std::string key(name);
  if (!ignore_case) return key;
  for (char& c : key) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return key;
}

// The names given to columns so far and, so that a new name never takes one a later column
// holds, every name the header wrote.
struct Names {
  std::unordered_set<std::string> taken;
  std::unordered_set<std::string> written;
  bool fold = false;

  // Takes `name` when it is free: not taken, and either written by this column (`is_own`) or by
  // none.
  bool take(const std::string& name, bool is_own) {
    std::string key = folded(name, fold);
    if (!is_own && written.contains(key)) return false;
    return taken.insert(std::move(key)).second;
  }

  // `name` when free, else the first of name_2, name_3, ... that is.
  std::string free_name(const std::string& name) {
    if (take(name, false)) return name;
    for (std::size_t suffix = 2;; ++suffix) {
      std::string candidate = name + "_" + std::to_string(suffix);
      if (take(candidate, false)) return candidate;
    }
  }
};

void warn_renamed(core::Monitor* monitor, const std::string& renamed) {
  if (monitor == nullptr || renamed.empty()) return;
  monitor->warn(core::Notice("header names renamed: " + renamed));
}

void fix_names(std::vector<std::string>& names, const ReadOptions& options,
               core::Monitor* monitor) {
  Names free;
  free.fold = options.names_ignore_case;
  free.taken.reserve(names.size() + 1);
  free.written.reserve(names.size());
  if (!options.added_column.empty()) free.taken.insert(folded(options.added_column, free.fold));
  for (const std::string& name : names) free.written.insert(folded(name, free.fold));
  std::string renamed;
  for (std::size_t i = 0; i < names.size(); ++i) {
    std::string& name = names[i];
    std::string fixed;
    if (name.empty()) {
      fixed = free.free_name("column_" + std::to_string(i + 1));
    } else if (!free.take(name, true)) {
      fixed = free.free_name(name);
    } else {
      continue;
    }
    if (!renamed.empty()) renamed += ", ";
    renamed += "'" + name + "' (column " + std::to_string(i + 1) + ") to '" + fixed + "'";
    name = std::move(fixed);
  }
  warn_renamed(monitor, renamed);
}

}  // namespace

core::Status settle_header_names(std::vector<std::string>& names, const ReadOptions& options,
                                 bool is_short, core::Monitor* monitor) {
  if (options.row_names) {
    if (!is_short && !names.empty() && names.front().empty()) {
      names.front() = row_names_column;
    } else {
      names.insert(names.begin(), std::string(row_names_column));
    }
  }
  if (options.fix_names) {
    fix_names(names, options, monitor);
    return {};
  }
  std::unordered_set<std::string> seen;
  seen.reserve(names.size());
  for (const std::string& name : names) {
    if (!seen.insert(folded(name, options.names_ignore_case)).second) {
      return std::unexpected(core::invalid("duplicate column name '" + name + "' in CSV header"));
    }
  }
  if (monitor == nullptr || !options.empty_name_refused) return {};
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (!names[i].empty()) continue;
    const std::string position = std::to_string(i + 1);
    monitor->warn(core::advice("column " + position +
                                   " of the CSV header has no name, which PostgreSQL and MySQL "
                                   "refuse; use ",
                               {"fix_names"}, " to name it column_" + position));
    break;
  }
  return {};
}

}  // namespace morvel::readers
