#include "core/encoding.hpp"

#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <string>
#include <utility>

#include "core/text.hpp"

namespace morvel::core {

namespace {

// An iconv conversion into UTF-8, closed when it goes.
class Converter {
 public:
  explicit Converter(const std::string& from) : handle_(::iconv_open("UTF-8", from.c_str())) {}
  Converter(const Converter&) = delete;  // one owner closes the handle
  Converter& operator=(const Converter&) = delete;
  ~Converter() {
    if (is_open()) ::iconv_close(handle_);
  }
  [[nodiscard]] bool is_open() const noexcept { return handle_ != reinterpret_cast<iconv_t>(-1); }

  // Converts from `in` into `out`, advancing both; -1 with errno as iconv sets it.
  std::size_t convert(const char*& in, std::size_t& in_left, char*& out, std::size_t& out_left) {
    char* in_at = const_cast<char*>(in);  // iconv's signature; it does not write the input
    const std::size_t done = ::iconv(handle_, &in_at, &in_left, &out, &out_left);
    in = in_at;
    return done;
  }

 private:
  iconv_t handle_;
};

constexpr std::size_t piece = 64 * 1024;

}  // namespace

Result<std::optional<Encoding>> Encoding::find(std::string_view name) {
  for (const std::string_view utf8 : {"utf-8", "utf8"}) {
    if (equals_ascii_folded(name, utf8)) return std::optional<Encoding>();
  }
  const std::string wanted(name);
  if (wanted.find('\0') != std::string::npos) return unknown(wanted);
  // iconv's own name, else Python's spellings of it: latin-1 for latin1, utf_16 for utf-16.
  std::string hyphens = wanted;
  std::replace(hyphens.begin(), hyphens.end(), '_', '-');
  std::string joined = hyphens;
  std::erase(joined, '-');
  for (const std::string& candidate : {wanted, hyphens, joined}) {
    if (Converter(candidate).is_open()) return std::optional<Encoding>(Encoding(wanted, candidate));
  }
  return unknown(wanted);
}

Result<std::optional<Encoding>> Encoding::unknown(const std::string& name) {
  return std::unexpected(invalid("unknown encoding '" + name +
                                 "' (for instance: utf-8, latin1, cp1252, utf-16, shift_jis, "
                                 "gb18030; `iconv -l` lists every name)"));
}

Result<Decoded> decode(std::string_view input, const Encoding& encoding) {
  Converter converter(encoding.iconv_name());
  if (!converter.is_open()) return std::unexpected(os_error(ErrorKind::Io, errno));
  Decoded decoded(input, encoding);
  const char* in = input.data();
  std::size_t in_left = input.size();
  while (in_left > 0) {
    // Most characters take at most four UTF-8 bytes per input byte; a few encodings write more
    // (E2BIG), and then the loop simply goes on with more room.
    const std::size_t take = std::min(in_left, piece);
    std::size_t piece_left = take;
    std::size_t out_left = 4 * take + 16;
    char* out = decoded.text_.room(out_left);
    const std::size_t done = converter.convert(in, piece_left, out, out_left);
    decoded.text_.commit(out);
    in_left -= take - piece_left;
    if (done != static_cast<std::size_t>(-1) || errno == E2BIG) continue;
    // A character cut by the end of the piece is taken whole with the next one.
    if (errno == EINVAL && in_left > piece_left) continue;
    decoded.invalid_at_ = static_cast<std::size_t>(in - input.data());
    decoded.ends_inside_ = errno == EINVAL;
    break;
  }
  return decoded;
}

std::size_t Decoded::input_offset(std::size_t offset) const {
  Converter converter(encoding_.iconv_name());
  const char* in = input_.data();
  std::size_t in_left = input_.size();
  std::string scratch(std::min(offset, piece), '\0');
  std::size_t produced = 0;
  // Output room that ends exactly at `offset` makes iconv stop there, having taken the input of
  // the characters before it and no more.
  while (produced < offset && in_left > 0) {
    std::size_t out_left = std::min(offset - produced, scratch.size());
    const std::size_t room = out_left;
    char* out = scratch.data();
    (void)converter.convert(in, in_left, out, out_left);
    if (out_left == room) break;  // nothing more comes: invalid or cut input
    produced += room - out_left;
  }
  return static_cast<std::size_t>(in - input_.data());
}

std::string Decoded::describe_invalid() const {
  const std::size_t at = invalid_at_.value_or(0);
  if (ends_inside_) {
    return "the input ends inside a " + encoding_.name() + " character at byte " +
           std::to_string(at);
  }
  static constexpr char digits[] = "0123456789ABCDEF";
  const auto byte = static_cast<unsigned char>(at < input_.size() ? input_[at] : 0);
  return std::string("byte 0x") + digits[byte >> 4] + digits[byte & 0xF] + " at byte " +
         std::to_string(at) + " is not valid " + encoding_.name();
}

Notice encoding_advice(std::string_view bytes) {
  EncodingClues clues;
  clues.feed(bytes);
  return clues.advice();
}

void EncodingClues::feed(std::string_view bytes) noexcept {
  for (const char c : bytes) {
    const auto byte = static_cast<unsigned char>(c);
    has_c1_ = has_c1_ || (byte >= 0x80 && byte <= 0x9F);
    // Windows-1252 leaves these five undefined; Shift JIS and GBK lead bytes often are.
    has_unassigned_ = has_unassigned_ || byte == 0x81 || byte == 0x8D || byte == 0x8F ||
                      byte == 0x90 || byte == 0x9D;
  }
}

Notice EncodingClues::advice() const {
  if (has_unassigned_) {
    return core::advice("the input is not UTF-8: name its encoding with ", {"encoding", "NAME"},
                        "");
  }
  if (has_c1_) {
    return core::advice("the input is not UTF-8; if it is Windows-1252, use ",
                        {"encoding", "cp1252"}, "");
  }
  return core::advice("the input is not UTF-8; if it is Latin-1, use ", {"encoding", "latin1"}, "");
}

}  // namespace morvel::core
