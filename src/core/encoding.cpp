#include "core/encoding.hpp"

#include <errno.h>
#include <iconv.h>

#include <algorithm>
#include <array>
#include <cstring>
#include <string>
#include <utility>


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

// The UTF-8 of each byte of an encoding that has one byte per character and no state, which
// decodes far faster by table than iconv does a byte at a time.
struct DecodingSource::ByteTable {
  std::array<std::array<char, 4>, 256> utf8{};
  std::array<std::uint8_t, 256> size{};  // 0 for a byte the encoding does not allow
  bool keeps_ascii = true;               // the bytes below 0x80 are themselves
};

// The table of the encoding that `converter` decodes, when each byte alone decodes from the
// starting state into one character of at most four UTF-8 bytes or is refused; else nothing: a
// byte that iconv keeps for what follows (a multi-byte lead, a shift, a base letter that may be
// composed with the next) decodes only in context.
std::unique_ptr<const DecodingSource::ByteTable> DecodingSource::byte_table(void* converter) {
  const auto handle = static_cast<iconv_t>(converter);
  auto table = std::make_unique<ByteTable>();
  for (unsigned byte = 0; byte < 256; ++byte) {
    (void)::iconv(handle, nullptr, nullptr, nullptr, nullptr);
    char in_byte = static_cast<char>(byte);
    char* in = &in_byte;
    std::size_t in_left = 1;
    std::array<char, 8> out_bytes{};
    char* out = out_bytes.data();
    std::size_t out_left = out_bytes.size();
    const std::size_t done = ::iconv(handle, &in, &in_left, &out, &out_left);
    const std::size_t size = out_bytes.size() - out_left;
    if (done == static_cast<std::size_t>(-1) && errno == EILSEQ && size == 0) continue;
    if (done == static_cast<std::size_t>(-1) || in_left != 0 || size == 0 || size > 4) {
      (void)::iconv(handle, nullptr, nullptr, nullptr, nullptr);
      return nullptr;
    }
    std::copy_n(out_bytes.data(), size, table->utf8[byte].data());
    table->size[byte] = static_cast<std::uint8_t>(size);
    if (byte < 0x80) {
      table->keeps_ascii = table->keeps_ascii && size == 1 && out_bytes[0] == in_byte;
    }
  }
  (void)::iconv(handle, nullptr, nullptr, nullptr, nullptr);
  return table;
}

DecodingSource::DecodingSource(ByteSource& inner, const Encoding& encoding, Monitor* monitor,
                               void* handle, std::unique_ptr<const ByteTable> table) noexcept
    : inner_(inner),
      encoding_(encoding),
      monitor_(monitor),
      handle_(handle),
      table_(std::move(table)) {}

Result<std::unique_ptr<DecodingSource>> DecodingSource::open(ByteSource& inner,
                                                            const Encoding& encoding,
                                                            Monitor* monitor) {
  const iconv_t handle = ::iconv_open("UTF-8", encoding.iconv_name().c_str());
  if (handle == reinterpret_cast<iconv_t>(-1)) {
    return std::unexpected(os_error(ErrorKind::Io, errno));
  }
  return std::unique_ptr<DecodingSource>(
      new DecodingSource(inner, encoding, monitor, handle, byte_table(handle)));
}

DecodingSource::~DecodingSource() { ::iconv_close(static_cast<iconv_t>(handle_)); }

Result<std::size_t> DecodingSource::read(std::span<char> buffer) {
  std::size_t delivered = 0;
  while (delivered < buffer.size()) {
    if (taken_ == text_.size()) {
      // A stream's text goes out as it comes, rather than wait for more to fill the buffer.
      if (delivered > 0 && (input_ended_ || is_refused_ || inner_.would_wait())) break;
      if (is_refused_) return std::unexpected(refusal());
      if (input_ended_ && input_at_ == input_.size()) break;
      if (auto more = decode_more(); !more) {
        if (delivered > 0) break;  // the failure comes again with the next read
        return std::unexpected(std::move(more.error()));
      }
      continue;
    }
    const std::size_t count = std::min(buffer.size() - delivered, text_.size() - taken_);
    std::copy_n(text_.data() + taken_, count, buffer.data() + delivered);
    taken_ += count;
    delivered += count;
  }
  return delivered;
}

// Decodes the next piece of the input into text_, which has all been delivered. A character cut
// by the end of the piece is taken whole with the next one.
Status DecodingSource::decode_more() {
  if (monitor_ != nullptr && input_read_ >= next_check_) {
    next_check_ = input_read_ + Checkpoints::interval;
    if (auto go_on = monitor_->check(); !go_on) return go_on;
  }
  text_.clear();
  taken_ = 0;
  if (!input_ended_) {
    input_.drop_front(input_at_);
    input_at_ = 0;
    auto got = read_some(inner_, input_, piece);
    if (!got) return std::unexpected(std::move(got.error()));
    input_ended_ = *got == 0;
  }
  const char* in = input_.data() + input_at_;
  std::size_t in_left = input_.size() - input_at_;
  int failure = table_ != nullptr ? decode_by_table(in, in_left) : 0;
  while (in_left > 0 && table_ == nullptr) {
    // Most characters take at most four UTF-8 bytes per input byte; a few encodings write more
    // (E2BIG), and then the loop simply goes on with more room.
    std::size_t out_left = 4 * in_left + 16;
    char* out = text_.room(out_left);
    char* in_at = const_cast<char*>(in);  // iconv's signature; it does not write the input
    const std::size_t done = ::iconv(static_cast<iconv_t>(handle_), &in_at, &in_left, &out,
                                     &out_left);
    const int error = errno;
    const char* fresh = text_.data() + text_.size();
    line_ends_.feed({fresh, static_cast<std::size_t>(out - fresh)});
    text_.commit(out);
    input_read_ += static_cast<std::uint64_t>(in_at - in);
    input_at_ += static_cast<std::size_t>(in_at - in);
    in = in_at;
    if (done != static_cast<std::size_t>(-1) || error == E2BIG) continue;
    if (error != EINVAL || input_ended_) failure = error;
    break;
  }
  if (failure != 0) {
    is_refused_ = true;
    ends_inside_ = failure == EINVAL;
    invalid_byte_ = static_cast<unsigned char>(*in);
  }
  return {};
}

// Decodes `in` by the table onto text_, advancing it up to a byte the encoding does not allow:
// EILSEQ then, else 0.
int DecodingSource::decode_by_table(const char*& in, std::size_t& in_left) {
  const ByteTable& table = *table_;
  char* out = text_.room(4 * in_left + 8);
  const char* const fresh = out;
  std::size_t at = 0;
  int failure = 0;
  while (at < in_left) {
    // Runs of ASCII go eight bytes at a time.
    if (table.keeps_ascii && in_left - at >= 8) {
      std::uint64_t word = 0;
      std::memcpy(&word, in + at, 8);
      if ((word & 0x8080808080808080U) == 0) {
        std::memcpy(out, in + at, 8);
        out += 8;
        at += 8;
        continue;
      }
    }
    const auto byte = static_cast<unsigned char>(in[at]);
    if (table.size[byte] == 0) {
      failure = EILSEQ;
      break;
    }
    std::memcpy(out, table.utf8[byte].data(), 4);
    out += table.size[byte];
    ++at;
  }
  line_ends_.feed({fresh, static_cast<std::size_t>(out - fresh)});
  text_.commit(out);
  input_read_ += at;
  input_at_ += at;
  in += at;
  in_left -= at;
  return failure;
}

bool DecodingSource::rewind() noexcept {
  if (!inner_.rewind()) return false;
  restart();
  return true;
}

void DecodingSource::restart() noexcept {
  (void)::iconv(static_cast<iconv_t>(handle_), nullptr, nullptr, nullptr, nullptr);
  input_.clear();
  input_at_ = 0;
  input_read_ = 0;
  text_.clear();
  taken_ = 0;
  line_ends_ = {};
  input_ended_ = false;
  is_refused_ = false;
  ends_inside_ = false;
  next_check_ = Checkpoints::interval;
}

Error DecodingSource::refusal() const {
  return refuse_ != nullptr ? refuse_(*this) : invalid(describe_invalid());
}

std::uint64_t DecodingSource::input_offset(std::uint64_t offset) {
  if (!inner_.rewind()) return offset;
  restart();
  std::string scratch(static_cast<std::size_t>(std::min<std::uint64_t>(offset, piece)), '\0');
  std::uint64_t produced = 0;
  // Output room that ends exactly at `offset` makes iconv stop there, having taken the input of
  // the characters before it and no more.
  bool wants_input = true;
  while (produced < offset) {
    if (!input_ended_ && wants_input) {
      input_.drop_front(input_at_);
      input_at_ = 0;
      auto got = read_some(inner_, input_, piece);
      input_ended_ = !got || *got == 0;
    }
    const char* in = input_.data() + input_at_;
    char* in_at = const_cast<char*>(in);
    std::size_t in_left = input_.size() - input_at_;
    std::size_t out_left = static_cast<std::size_t>(
        std::min<std::uint64_t>(offset - produced, scratch.size()));
    const std::size_t room = out_left;
    char* out = scratch.data();
    const std::size_t done =
        ::iconv(static_cast<iconv_t>(handle_), &in_at, &in_left, &out, &out_left);
    const int error = errno;
    input_at_ += static_cast<std::size_t>(in_at - in);
    input_read_ += static_cast<std::uint64_t>(in_at - in);
    produced += room - out_left;
    // More input serves when the piece was used up or ends inside a character; nothing more
    // comes of an invalid sequence or of an input that ended.
    wants_input = done != static_cast<std::size_t>(-1) || error == EINVAL;
    if (out_left == room && (!wants_input || input_ended_)) break;
  }
  const std::uint64_t found = input_read_;
  (void)rewind();
  return found;
}

std::string DecodingSource::describe_invalid() const {
  if (ends_inside_) {
    return "the input ends inside a " + encoding_.name() + " character at byte " +
           std::to_string(input_read_);
  }
  static constexpr char digits[] = "0123456789ABCDEF";
  return std::string("byte 0x") + digits[invalid_byte_ >> 4] + digits[invalid_byte_ & 0xF] +
         " at byte " + std::to_string(input_read_) + " is not valid " + encoding_.name();
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
