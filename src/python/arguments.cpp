#include "python/arguments.hpp"

#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <system_error>
#include <thread>

#include "convert/inputs.hpp"
#include "core/scan.hpp"
#include "python/errors.hpp"
#include "sql/dialect.hpp"

namespace morvel::python {
namespace {

using convert::OptionSpec;
using convert::ValueKind;

// Writes the UTF-8 form of the Latin-1 bytes [p, end) to `out`, which has room for twice as
// many, and returns the end of what it wrote. Never fails.
char* widen_latin1(const char* p, const char* end, char* out) noexcept {
  while (p < end) {
    const char* ascii_end = core::scan::find_non_ascii(p, end);
    std::memcpy(out, p, static_cast<std::size_t>(ascii_end - p));
    out += ascii_end - p;
    for (p = ascii_end; p < end && static_cast<unsigned char>(*p) >= 0x80; ++p) {
      const auto c = static_cast<unsigned char>(*p);
      *out++ = static_cast<char>(0xC0 | (c >> 6));
      *out++ = static_cast<char>(0x80 | (c & 0x3F));
    }
  }
  return out;
}

// Appends the contents of `bytes`, a bytes object. Never fails.
void append_bytes(PyObject* bytes, core::ByteBuffer& out) {
  out.append({PyBytes_AsString(bytes), static_cast<std::size_t>(PyBytes_Size(bytes))});
}

// Characters per slice of a str being encoded: the slice and its bytes stay in the cache and,
// being small, come from memory the allocator keeps rather than from fresh pages.
constexpr Py_ssize_t slice_characters = 16 * 1024;

// Maps in the pages of a buffer's free room on another thread while this one fills it: the
// encoding of a str runs on one thread, with the GIL held, and about half of its time went to
// faulting in the fresh pages it writes, one page at a time. Populating a page does not change
// what is in it, so the two threads may meet on the same page. Stops, at the latest when it goes
// out of scope, before the buffer may move. Kernels without MADV_POPULATE_WRITE refuse it and
// the pages fault as before.
class Prefault {
 public:
  // Maps in the pages of the next `bytes` bytes of room, at most the room there is.
  Prefault(core::ByteBuffer& buffer, std::size_t bytes)
      : begin_(buffer.data() + buffer.size()),
        end_(begin_ + std::min(bytes, buffer.capacity() - buffer.size())) {
    // Small inputs are done before a thread would have started.
    if (end_ - begin_ < min_bytes) return;
    try {
      thread_ = std::thread([this] { run(); });
    } catch (const std::system_error&) {
      // No thread to spare: the pages fault as the encoding reaches them.
    }
  }
  Prefault(const Prefault&) = delete;
  Prefault& operator=(const Prefault&) = delete;
  ~Prefault() { stop(); }

  void stop() noexcept {
    if (!thread_.joinable()) return;
    stopped_.store(true, std::memory_order_relaxed);
    thread_.join();
  }

 private:
  static constexpr std::ptrdiff_t min_bytes = 1024 * 1024;
  static constexpr std::size_t step_bytes = 2 * 1024 * 1024;

  void run() noexcept {
    const auto page = static_cast<std::uintptr_t>(::sysconf(_SC_PAGESIZE));
    auto at = (reinterpret_cast<std::uintptr_t>(begin_) + page - 1) & ~(page - 1);
    const auto end = reinterpret_cast<std::uintptr_t>(end_) & ~(page - 1);
    while (at < end && !stopped_.load(std::memory_order_relaxed)) {
      const std::size_t size = std::min<std::size_t>(step_bytes, end - at);
      if (::madvise(reinterpret_cast<void*>(at), size, MADV_POPULATE_WRITE) != 0) return;
      at += size;
    }
  }

  const char* begin_;
  const char* end_;
  std::atomic<bool> stopped_{false};
  std::thread thread_;
};

// Appends the UTF-8 form of `text`, a str, to `out`, a slice at a time. A slice within Latin-1,
// the usual case for text that is not ASCII, leaves the str as a plain copy of its bytes and is
// widened here, its ASCII runs copied whole; the str's own encoder goes a character at a time and
// builds a bytes object of the whole input, which took twice as long (measured on 217 MB). Other
// slices go through that encoder. A str without a UTF-8 form (a lone surrogate) raises the
// encoder's error for the whole str, positions counted from its start. Raises and returns false
// on failure.
bool encode_utf8(PyObject* text, core::ByteBuffer& out) {
  const Py_ssize_t length = PyUnicode_GetLength(text);
  if (length < 0) return false;
  out.reserve(static_cast<std::size_t>(length) + static_cast<std::size_t>(length) / 8);
  // Every character takes a byte at least: pages beyond that many may never be written.
  Prefault prefault(out, static_cast<std::size_t>(length));
  bool may_be_latin1 = true;
  for (Py_ssize_t at = 0; at < length; at += slice_characters) {
    Ref slice(PyUnicode_Substring(text, at, std::min(length, at + slice_characters)));
    if (!slice) return false;
    // The block may move when it grows: the pages ahead are left to fault one by one then.
    if (out.capacity() - out.size() < 4 * slice_characters) prefault.stop();
    if (may_be_latin1) {
      if (Ref latin1{PyUnicode_AsLatin1String(slice.get())}) {
        const char* bytes = PyBytes_AsString(latin1.get());
        const auto size = static_cast<std::size_t>(PyBytes_Size(latin1.get()));
        out.commit(widen_latin1(bytes, bytes + size, out.room(2 * size)));
        continue;
      }
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
      PyErr_Clear();
      may_be_latin1 = false;
    }
    Ref utf8(PyUnicode_AsUTF8String(slice.get()));
    if (!utf8) {
      if (!PyErr_ExceptionMatches(PyExc_UnicodeEncodeError)) return false;
      // Encoding the whole str raises the same error, placed by the str's own positions.
      PyErr_Clear();
      prefault.stop();
      Ref whole(PyUnicode_AsUTF8String(text));
      if (!whole) return false;
      out.clear();
      append_bytes(whole.get(), out);
      return true;
    }
    append_bytes(utf8.get(), out);
  }
  return true;
}

bool is_numpy_bool(PyObject* object) {
  PyObject* type = reinterpret_cast<PyObject*>(Py_TYPE(object));
  Ref module(PyObject_GetAttrString(type, "__module__"));
  Ref name(PyObject_GetAttrString(type, "__name__"));
  if (!module || !name) {
    PyErr_Clear();
    return false;
  }
  const char* module_text =
      PyUnicode_Check(module.get()) ? PyUnicode_AsUTF8AndSize(module.get(), nullptr) : nullptr;
  const char* name_text =
      PyUnicode_Check(name.get()) ? PyUnicode_AsUTF8AndSize(name.get(), nullptr) : nullptr;
  if (module_text == nullptr || name_text == nullptr) {
    PyErr_Clear();
    return false;
  }
  const std::string_view type_name = name_text;
  return std::string_view(module_text) == "numpy" && (type_name == "bool_" || type_name == "bool");
}

// True or False only (integers are refused), or a NumPy boolean read through its __bool__.
std::optional<bool> flag_argument(PyObject* object, std::string_view parameter) {
  if (object == Py_True) return true;
  if (object == Py_False) return false;
  if (is_numpy_bool(object)) {
    const int truth = PyObject_IsTrue(object);
    if (truth >= 0) return truth == 1;
  } else {
    raise_not_instance(object, "bool");
  }
  add_parameter_note(parameter);
  return std::nullopt;
}

// A whole number from 0 (True and False are refused, as they are for the text parameters).
std::optional<std::uint64_t> count_argument(PyObject* object, std::string_view parameter) {
  if (!PyLong_Check(object) || PyBool_Check(object)) {
    raise_not_instance(object, "int");
    add_parameter_note(parameter);
    return std::nullopt;
  }
  const unsigned long long value = PyLong_AsUnsignedLongLong(object);
  if (value == static_cast<unsigned long long>(-1) && PyErr_Occurred() != nullptr) {
    PyErr_Clear();
    refuse_value(core::invalid(concat({parameter, " must be a whole number from 0"})), parameter);
    return std::nullopt;
  }
  return value;
}

// A mapping of str to str, such as a dict, read in its own order; a sequence is not one.
std::optional<std::vector<convert::TextPair>> pairs_argument(PyObject* object,
                                                             std::string_view parameter) {
  if (!PyMapping_Check(object) || PySequence_Check(object)) {
    raise_not_instance(object, "Mapping[str, str]");
    add_parameter_note(parameter);
    return std::nullopt;
  }
  Ref items(PyMapping_Items(object));
  if (!items) return std::nullopt;
  std::vector<convert::TextPair> pairs;
  for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
    PyObject* item = PyList_GetItem(items.get(), i);
    const auto key = text_argument(PyTuple_GetItem(item, 0), parameter);
    if (!key) return std::nullopt;
    const auto value = text_argument(PyTuple_GetItem(item, 1), parameter);
    if (!value) return std::nullopt;
    pairs.emplace_back(std::string(*key), std::string(*value));
  }
  return pairs;
}

// Any other name still means PostgreSQL, as it always has, but says so: a misspelt "sqllite"
// would otherwise give the wrong SQL without a word. False when the warning was turned into an
// exception, which is then raised with the note.
bool bind_dialect(PyObject* value, const OptionSpec& option, convert::ConversionOptions& record) {
  const auto text = text_argument(value, option.key);
  if (!text) return false;
  if (auto known = option.set(record, *text)) return true;
  const std::string message =
      concat({"unknown dialect '", *text,
              "': writing PostgreSQL (accepted names: ", sql::Dialect::accepted_names(), ")"});
  if (PyErr_WarnEx(PyExc_UserWarning, message.c_str(), 1) == 0) return true;
  add_parameter_note(option.key);
  return false;
}

// Reads one argument as the option's kind asks and hands it to the option's check. None stands
// for an option without a default left out. Raises and returns false when it is refused.
bool bind_option(PyObject* value, const OptionSpec& option, convert::ConversionOptions& record) {
  if (option.key == "dialect") return bind_dialect(value, option, record);
  const bool may_be_none = option.default_of == nullptr && option.kind != ValueKind::Switch &&
                           option.kind != ValueKind::Words;
  if (may_be_none && value == Py_None) return true;
  core::Status set;
  switch (option.kind) {
    case ValueKind::Switch: {
      const auto flag = flag_argument(value, option.key);
      if (!flag) return false;
      set = option.set(record, *flag);
      break;
    }
    case ValueKind::Text: {
      const auto text = text_argument(value, option.key);
      if (!text) return false;
      set = option.set(record, *text);
      break;
    }
    case ValueKind::Count: {
      const auto count = count_argument(value, option.key);
      if (!count) return false;
      set = option.set(record, *count);
      break;
    }
    case ValueKind::Words: {
      const auto words = texts_argument(value, option.key);
      if (!words) return false;
      set = option.set(record, std::span<const std::string>(*words));
      break;
    }
    case ValueKind::Pairs: {
      const auto pairs = pairs_argument(value, option.key);
      if (!pairs) return false;
      set = option.set(record, std::span<const convert::TextPair>(*pairs));
      break;
    }
  }
  return set || refuse_value(set.error(), option.key);
}

// What a load takes from elsewhere or has no use for: the dialect is that of the URL's database,
// and the rows go in the engine's own way, in one transaction, not as a script's batches, COPY
// blocks or BEGIN ... COMMIT.
constexpr std::array<std::string_view, 4> script_options = {"dialect", "batch_size", "transaction",
                                                            "copy"};

bool is_offered(const Function& function, std::string_view key) {
  return !function.loads || std::ranges::find(script_options, key) == script_options.end();
}

// The default a signature shows for an option: False for a switch, () for words, None for an
// option that has no value unless given.
std::string python_default(const OptionSpec& option) {
  if (option.kind == ValueKind::Switch) return "False";
  if (option.kind == ValueKind::Words) return "()";
  const auto text = convert::default_text(option);
  return text ? python_literal(option.kind, *text) : "None";
}

}  // namespace

// A sequence of str, not a str itself (which would read as its characters).
std::optional<std::vector<std::string>> texts_argument(PyObject* object,
                                                       std::string_view parameter) {
  if (PyUnicode_Check(object) || !PySequence_Check(object)) {
    raise_not_instance(object, "Sequence[str]");
    add_parameter_note(parameter);
    return std::nullopt;
  }
  Ref items(PySequence_List(object));
  if (!items) return std::nullopt;
  std::vector<std::string> texts;
  for (Py_ssize_t i = 0; i < PyList_Size(items.get()); ++i) {
    const auto text = text_argument(PyList_GetItem(items.get(), i), parameter);
    if (!text) return std::nullopt;
    texts.emplace_back(*text);
  }
  return texts;
}

std::vector<const OptionSpec*> options_of(const Function& function) {
  std::vector<const OptionSpec*> options;
  for (const std::string_view key : positional_options) {
    if (is_offered(function, key)) options.push_back(convert::find_option(key));
  }
  for (const OptionSpec& option : convert::option_table()) {
    if (option.faces == convert::Faces::Both && is_offered(function, option.key) &&
        option.only_for.value_or(function.format) == function.format &&
        std::ranges::find(positional_options, option.key) == positional_options.end()) {
      options.push_back(&option);
    }
  }
  return options;
}

std::string input_doc(const Function& function) {
  std::string doc = function.from_file
                        ? "encoding names the file's encoding.\n"
                        : "encoding is for the file functions: a str is text already.\n";
  if (function.format == convert::Format::Json) {
    return doc +
           "json_path=\"data.items\" takes the records from the array at those keys,\n"
           "joined by dots, of the top-level object.\n\n";
  }
  if (function.from_file) {
    doc += "A path ending in .tsv or .tab is read as tab-separated unless delimiter is\ngiven. ";
  }
  return doc +
         "delimiter=\"whitespace\" splits at runs of spaces and tabs; quote (one byte)\n"
         "quotes fields either way.\n\n";
}

std::string signature(const Function& function) {
  std::string out = concat({"(", function.first});
  if (function.loads) out += concat({", ", url_parameter});
  const std::vector<const OptionSpec*> options = options_of(function);
  for (std::size_t i = 0; i < options.size(); ++i) {
    out += i + function.leading() == positional_count ? ", *, " : ", ";
    out += concat({options[i]->key, "=", python_default(*options[i])});
  }
  if (function.takes_output) out += concat({", ", output_parameter, "=None"});
  out += ')';
  return out;
}

std::string options_doc(const Function& function) {
  std::string doc;
  for (const OptionSpec* option : options_of(function)) {
    doc += concat(
        {option->key, " (--", option->long_name, ")\n    ", convert::help_line(*option), "\n"});
  }
  return doc;
}

bool bind_arguments(const Function& function, std::span<const OptionSpec* const> options,
                    PyObject* args, PyObject* kwargs, std::span<PyObject*> slots) {
  const std::string_view name = function.name;
  const Py_ssize_t given = PyTuple_Size(args);
  if (given < 0) return false;
  if (static_cast<std::size_t>(given) > positional_count) {
    raise_text(PyExc_TypeError,
               concat({name, "() takes from ", std::to_string(function.leading()), " to ",
                       std::to_string(positional_count), " positional arguments but ",
                       std::to_string(given), given == 1 ? " was" : " were", " given"}));
    return false;
  }
  for (Py_ssize_t i = 0; i < given; ++i) slots[i] = PyTuple_GetItem(args, i);
  PyObject* key = nullptr;
  PyObject* value = nullptr;
  Py_ssize_t position = 0;
  while (kwargs != nullptr && PyDict_Next(kwargs, &position, &key, &value)) {
    Py_ssize_t size = 0;
    const char* text = PyUnicode_Check(key) ? PyUnicode_AsUTF8AndSize(key, &size) : nullptr;
    if (text == nullptr) {
      PyErr_Clear();
      raise_text(PyExc_TypeError, concat({name, "() keywords must be strings"}));
      return false;
    }
    const std::string_view keyword(text, static_cast<std::size_t>(size));
    const auto named = std::ranges::find(options, keyword, &OptionSpec::key);
    std::size_t index = slots.size();  // none
    if (keyword == function.first) {
      index = 0;
    } else if (function.loads && keyword == url_parameter) {
      index = 1;
    } else if (named != options.end()) {
      index = static_cast<std::size_t>(named - options.begin()) + function.leading();
    } else if (function.takes_output && keyword == output_parameter) {
      index = slots.size() - 1;
    }
    if (index == slots.size()) {
      raise_text(PyExc_TypeError,
                 concat({name, "() got an unexpected keyword argument '", keyword, "'"}));
      return false;
    }
    if (slots[index] != nullptr) {
      raise_text(PyExc_TypeError,
                 concat({name, "() got multiple values for argument '", keyword, "'"}));
      return false;
    }
    slots[index] = value;
  }
  for (std::size_t i = 0; i < function.leading(); ++i) {
    if (slots[i] != nullptr) continue;
    raise_text(PyExc_TypeError, concat({name, "() missing 1 required positional argument: '",
                                        i == 0 ? function.first : url_parameter, "'"}));
    return false;
  }
  return true;
}

std::optional<std::string_view> text_argument(PyObject* object, std::string_view parameter) {
  if (!PyUnicode_Check(object)) {
    raise_not_instance(object, "str");
    add_parameter_note(parameter);
    return std::nullopt;
  }
  Py_ssize_t size = 0;
  const char* text = PyUnicode_AsUTF8AndSize(object, &size);
  if (text == nullptr) {
    add_parameter_note(parameter);
    return std::nullopt;
  }
  return std::string_view(text, static_cast<std::size_t>(size));
}

bool is_path(PyObject* object) {
  if (PyUnicode_Check(object) || PyBytes_Check(object)) return true;
  Ref method(PyObject_GetAttrString(reinterpret_cast<PyObject*>(Py_TYPE(object)), "__fspath__"));
  if (!method) PyErr_Clear();
  return static_cast<bool>(method);
}

std::optional<std::string_view> path_argument(PyObject* object, std::string_view parameter,
                                              Ref& holder) {
  if (!is_path(object)) {
    raise_not_instance(object, "str | bytes | os.PathLike");
    add_parameter_note(parameter);
    return std::nullopt;
  }
  Ref name(PyOS_FSPath(object));
  holder = Ref(!name                          ? nullptr
               : PyUnicode_Check(name.get()) ? PyUnicode_EncodeFSDefault(name.get())
                                             : Py_NewRef(name.get()));
  if (!holder) {
    add_parameter_note(parameter);
    return std::nullopt;
  }
  return std::string_view(PyBytes_AsString(holder.get()),
                          static_cast<std::size_t>(PyBytes_Size(holder.get())));
}

bool is_path_list(PyObject* object) { return PyList_Check(object) || PyTuple_Check(object); }

std::optional<std::vector<std::string>> path_list(PyObject* object, std::string_view parameter) {
  const Py_ssize_t count = PySequence_Size(object);
  if (count < 0) return std::nullopt;
  std::vector<std::string> inputs;
  inputs.reserve(static_cast<std::size_t>(count));
  for (Py_ssize_t i = 0; i < count; ++i) {
    Ref item(PySequence_GetItem(object, i));
    if (!item) return std::nullopt;
    Ref holder;
    const auto path = path_argument(item.get(), parameter, holder);
    if (!path) return std::nullopt;
    inputs.emplace_back(*path);
  }
  auto files = convert::input_files(inputs);
  if (!files) {
    raise_error(files.error(), nullptr);
    return std::nullopt;
  }
  return std::move(*files);
}

std::optional<std::string_view> data_argument(PyObject* object, std::string_view parameter,
                                              core::ByteBuffer& utf8) {
  if (!PyUnicode_Check(object)) return text_argument(object, parameter);
  Ref is_ascii(PyObject_CallMethod(object, "isascii", nullptr));
  if (!is_ascii) {
    add_parameter_note(parameter);
    return std::nullopt;
  }
  if (is_ascii.get() == Py_True) return text_argument(object, parameter);
  if (!encode_utf8(object, utf8)) {
    add_parameter_note(parameter);
    return std::nullopt;
  }
  return utf8.view();
}

std::optional<std::string_view> input_argument(const Function& function, PyObject* object,
                                               core::ByteBuffer& utf8, Ref& path_name) {
  return function.from_file ? path_argument(object, function.first, path_name)
                            : data_argument(object, function.first, utf8);
}

bool take_inputs(const Function& function, PyObject* object, Inputs& inputs) {
  if (function.from_file && is_path_list(object)) {
    inputs.files = path_list(object, function.first);
    return inputs.files.has_value();
  }
  const auto text = input_argument(function, object, inputs.utf8, inputs.path_name);
  if (!text) return false;
  inputs.text = *text;
  return true;
}

bool bind_options(const Function& function, std::span<const OptionSpec* const> options,
                  std::span<PyObject* const> slots, std::string_view input,
                  convert::ConversionOptions& record) {
  record.format = function.format;
  const std::size_t leading = function.leading();
  for (std::size_t i = 0; i < options.size(); ++i) {
    if (slots[i + leading] != nullptr && !bind_option(slots[i + leading], *options[i], record)) {
      return false;
    }
  }
  // A str is text already: there is nothing left to decode.
  if (!function.from_file && record.encoding) {
    return refuse_value(core::invalid("encoding is for the file functions: a str is already text"),
                        "encoding");
  }
  // A file named as tab-separated is read so, by every kind of function alike.
  if (function.from_file) convert::apply_input_name(record, input);
  return true;
}

}  // namespace morvel::python
