#pragma once

#include <array>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "convert/option_table.hpp"
#include "convert/options.hpp"
#include "core/io.hpp"
#include "python/ref.hpp"

namespace morvel::python {

// A conversion or load function: its name, its first parameter, the format it reads, whether
// its first argument is a path or the data itself, whether it takes output= after the options,
// and whether it loads into a database.
struct Function {
  const char* name;
  const char* first;
  convert::Format format;
  bool from_file;
  bool takes_output = false;
  // A load's second parameter, as required as the first, is the database's URL; the options
  // that shape a script are not its own.
  bool loads = false;

  // The parameters before the options. Never fails.
  [[nodiscard]] std::size_t leading() const noexcept { return loads ? 2 : 1; }
};

// The parameter, last of all, that sends the SQL to a file or a file object.
inline constexpr std::string_view output_parameter = "output";

// The name of a load function's second parameter.
inline constexpr std::string_view url_parameter = "url";

// The options of old, which keep their places after the leading parameters (but the dialect, in
// a load) and may be given by position as well as by keyword.
inline constexpr std::array<std::string_view, 5> positional_options = {
    "table_name", "create_table", "dialect", "primary_key", "auto_id"};
// A load drops the dialect and adds the URL, so both kinds take as many.
inline constexpr std::size_t positional_count = 1 + positional_options.size();

// The options a function takes after its leading parameters, in the order of its parameters:
// those of old, then every other option of the table that Python is offered, by keyword only, in
// the table's order; a load's without those it has no use for. Never fails but for memory.
[[nodiscard]] std::vector<const convert::OptionSpec*> options_of(const Function& function);

// The docstring's lines on how the function takes its input: the encoding, the options of one
// format, the name of a file. Never fails but for memory.
[[nodiscard]] std::string input_doc(const Function& function);

// The function's parameters as its text signature shows them, in parentheses, with their
// defaults. Never fails but for memory.
[[nodiscard]] std::string signature(const Function& function);

// The options of the function's documentation, a line with each parameter and the command's
// option beside it, then its help on a line of its own. Never fails but for memory.
[[nodiscard]] std::string options_doc(const Function& function);

// Binds a call's arguments to the parameters: the leading ones, then `options`, then output=
// when the function takes it. On success `slots` (one per parameter) holds borrowed references,
// null for an omitted parameter; otherwise a
// TypeError is raised and false returned.
bool bind_arguments(const Function& function, std::span<const convert::OptionSpec* const> options,
                    PyObject* args, PyObject* kwargs, std::span<PyObject*> slots);

// The UTF-8 text of a str argument. The view borrows the str's own UTF-8 form, which lives as
// long as the argument, so a large input is not copied. Raises (with the note naming
// `parameter`) and returns nothing on failure.
std::optional<std::string_view> text_argument(PyObject* object, std::string_view parameter);

// A sequence of str, not a str itself (which would read as its characters). Raises TypeError
// with a note naming `parameter` and returns nothing when it is none.
std::optional<std::vector<std::string>> texts_argument(PyObject* object, std::string_view parameter);

// The bytes of a path argument: a str (encoded as the file system's names are, so that a name
// os.listdir gave back with undecodable bytes still opens), bytes, or an os.PathLike giving
// either. The view borrows `holder`, which keeps the encoded bytes. Raises (with the note naming
// `parameter`) and returns nothing on failure.
std::optional<std::string_view> path_argument(PyObject* object, std::string_view parameter,
                                              Ref& holder);

// What the docstrings of the functions that take a list of paths say of it.
inline constexpr std::string_view path_list_doc =
    "path may be a list or tuple of paths: the files, a folder's regular files sorted\n"
    "by name (hidden ones left out), are read in order as one input into one table,\n"
    "with one schema (schema_from=\"all\": from every record of every file) and each\n"
    "CSV header equal to the first; a failure's note names the file.\n\n";

// Whether `object` is a file function's list of inputs: a list or a tuple. Never fails.
[[nodiscard]] bool is_path_list(PyObject* object);

// The files of a list of inputs (is_path_list), each a path argument, a folder standing for its
// files as on the command line (convert::input_files). Raises and returns nothing when an element
// is not a path, or the list leaves no file.
std::optional<std::vector<std::string>> path_list(PyObject* object, std::string_view parameter);

// Whether `object` is a path argument: a str, bytes, or an os.PathLike. Never fails.
[[nodiscard]] bool is_path(PyObject* object);

// The UTF-8 text of the data argument. An ASCII str lends its own bytes; any other is encoded
// into `utf8`, which the caller frees once the conversion is done: PyUnicode_AsUTF8AndSize would
// cache that copy in the str for as long as the str lives, an input's worth of memory held while
// the output is built into a str of its own. Raises and returns nothing on failure.
std::optional<std::string_view> data_argument(PyObject* object, std::string_view parameter,
                                              core::ByteBuffer& utf8);

// The function's first argument: the bytes of the path for a file function (held by
// `path_name`), else the UTF-8 of the data (made in `utf8` when it is not ASCII). Raises (with the
// note naming the parameter) and returns nothing on failure.
std::optional<std::string_view> input_argument(const Function& function, PyObject* object,
                                               core::ByteBuffer& utf8, Ref& path_name);

// A call's first argument: one input (the data, or a file's path), or the files of a list of
// paths, which a file function also takes.
struct Inputs {
  core::ByteBuffer utf8;  // the data's UTF-8 when it is not ASCII; freed once the call is done
  Ref path_name;          // holds the path's bytes
  std::optional<std::vector<std::string>> files;
  std::string_view text;  // the data, or the path; empty for a list
};

// Takes the first argument into `inputs`. Raises (with the note naming the parameter) and returns
// false on failure.
bool take_inputs(const Function& function, PyObject* object, Inputs& inputs);

// Checks the arguments of `options` (slots after the leading ones) and writes them into `record`
// through each option's own check, in parameter order; an omitted one keeps its default. The
// record takes the function's format, and a file function's `input`, its path, may choose the
// delimiter by its name. Raises (with the note naming the parameter) and returns false at the
// first that is refused.
bool bind_options(const Function& function, std::span<const convert::OptionSpec* const> options,
                  std::span<PyObject* const> slots, std::string_view input,
                  convert::ConversionOptions& record);

}  // namespace morvel::python
