// The scan-and-copy floor: the least work any CSV-to-INSERT converter has to do. It maps the
// input, splits records and fields with memchr, wraps every field in apostrophes (doubling the
// ones inside) after one fixed INSERT prefix per record, and writes through a 1 MiB buffer.
// No type inference, no UTF-8 checks, no field-count checks: a lower bound, not a converter.
//
//     morvel_floor INPUT.csv > OUT.sql
//
// It reads the same quoting as morvel (a field is quoted when it starts with a double quote;
// doubled quotes inside stand for one) so that both produce comparable output.

#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>

namespace {

constexpr std::size_t out_capacity = 1 << 20;

class Output {
 public:
  Output() : data_(static_cast<char*>(std::malloc(out_capacity))) {}
  ~Output() {
    flush();
    std::free(data_);
  }
  void append(const char* p, std::size_t n) {
    if (size_ + n > out_capacity) {
      flush();
      if (n > out_capacity) {
        write_all(p, n);
        return;
      }
    }
    std::memcpy(data_ + size_, p, n);
    size_ += n;
  }
  void append(std::string_view s) { append(s.data(), s.size()); }
  void flush() {
    write_all(data_, size_);
    size_ = 0;
  }

 private:
  static void write_all(const char* p, std::size_t n) {
    while (n > 0) {
      const ssize_t w = ::write(1, p, n);
      if (w < 0) {
        std::perror("write");
        std::exit(1);
      }
      p += w;
      n -= static_cast<std::size_t>(w);
    }
  }
  char* data_;
  std::size_t size_ = 0;
};

// Appends `s` in apostrophes, each apostrophe inside written twice.
void append_literal(Output& out, const char* p, const char* end) {
  out.append("'", 1);
  while (const void* hit = std::memchr(p, '\'', static_cast<std::size_t>(end - p))) {
    const char* q = static_cast<const char*>(hit) + 1;
    out.append(p, static_cast<std::size_t>(q - p));
    out.append("'", 1);
    p = q;
  }
  out.append(p, static_cast<std::size_t>(end - p));
  out.append("'", 1);
}

// Splits one record [p, line_end) into fields and calls `field(begin, end)` for each, with the
// field's text: an unquoted field in place, a quoted one unquoted into `scratch` (always, doubled
// quotes or not). Returns the byte after the record (a quoted field may run past `line_end`).
template <class Field>
const char* split_record(const char* p, const char* end, std::string& scratch, Field&& field) {
  const char* line_end = static_cast<const char*>(std::memchr(p, '\n', end - p));
  if (line_end == nullptr) line_end = end;
  for (;;) {
    const char* next;
    if (p != end && *p == '"') {
      scratch.clear();
      const char* from = p + 1;
      for (;;) {
        const char* q = static_cast<const char*>(std::memchr(from, '"', end - from));
        if (q == nullptr) q = end;
        scratch.append(from, q);
        if (q + 1 < end && q[1] == '"') {
          scratch += '"';
          from = q + 2;
          continue;
        }
        next = q == end ? end : q + 1;
        break;
      }
      if (next > line_end) {  // the quoted field held a line break
        line_end = static_cast<const char*>(std::memchr(next, '\n', end - next));
        if (line_end == nullptr) line_end = end;
      }
      field(scratch.data(), scratch.data() + scratch.size());
    } else {
      const char* comma = static_cast<const char*>(std::memchr(p, ',', line_end - p));
      next = comma != nullptr ? comma : line_end;
      const char* text_end = next;
      if (text_end > p && text_end[-1] == '\r') --text_end;
      field(p, text_end);
    }
    if (next == end) return end;
    if (*next == ',') {
      p = next + 1;
      continue;
    }
    return next + 1;  // LF
  }
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: %s INPUT.csv > OUT.sql\n", argv[0]);
    return 2;
  }
  const int fd = ::open(argv[1], O_RDONLY);
  struct stat info;
  if (fd < 0 || ::fstat(fd, &info) != 0) {
    std::perror(argv[1]);
    return 1;
  }
  const auto size = static_cast<std::size_t>(info.st_size);
  if (size == 0) return 0;
  void* map = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE | MAP_POPULATE, fd, 0);
  if (map == MAP_FAILED) {
    std::perror("mmap");
    return 1;
  }
  ::madvise(map, size, MADV_SEQUENTIAL);
  const char* p = static_cast<const char*>(map);
  const char* const end = p + size;

  std::string scratch;
  std::string prefix = "INSERT INTO \"morvel_table\" (";
  bool first = true;
  p = split_record(p, end, scratch, [&](const char* b, const char* e) {
    if (!first) prefix += ", ";
    first = false;
    prefix += '"';
    prefix.append(b, e);
    prefix += '"';
  });
  prefix += ") VALUES (";

  Output out;
  while (p < end) {
    if (*p == '\n' || *p == '\r') {
      ++p;
      continue;
    }
    out.append(prefix);
    first = true;
    p = split_record(p, end, scratch, [&](const char* b, const char* e) {
      if (!first) out.append(", ", 2);
      first = false;
      append_literal(out, b, e);
    });
    out.append(");\n", 3);
  }
  return 0;
}
