// Checks of the values a caller hands to the writer, made where they enter
// and before anything is written: a value of the wrong kind is a TypeError,
// an impossible value or layout a ValueError, each naming the argument or
// option attribute ("options.verbosexls", "frameList[1]"), what it got and
// what it expects.  What the writer would silently skip although the caller
// cannot have meant it gets a UserWarning.
//
// A check never reads more than the operation itself would, and never
// narrows what works: numpy's numbers count as numbers, bools as integers,
// any sequence as a sequence.
#pragma once

#include "common/pyutil.hpp"

#include <string>
#include <utility>
#include <vector>

namespace rb::checks {

using pyutil::handle;
using pyutil::object;

// The repr of a value, cut short; "str '2'": its type and repr.
std::string short_repr(handle value);
std::string describe(handle value);

// raise TypeError("{name} must be {expected}, not {describe(value)}")
[[noreturn]] void wrong_type(const std::string &name, handle value, const std::string &expected);
// raise ValueError(message)
[[noreturn]] void impossible(const std::string &message);
// warnings.warn(message, UserWarning)
void warn(const std::string &message);

// A real number as the writer compares and stores it: ints and bools,
// floats, numpy's numbers, fractions (numbers.Real); never text.
bool is_real(handle value);
void real(handle value, const std::string &name, const std::string &expected = "a number");
// operator.index(value), or a TypeError naming the value.
long long index(handle value, const std::string &name, const std::string &expected = "an integer");
// A sequence that is no text: a list, a tuple, a range, a numpy array...
bool is_sequence(handle value);
void sequence(handle value, const std::string &name, const std::string &expected);
// A mapping read with [key] and `in`: a dict, an OrderedDict, or any object
// with keys() and item access.
bool is_mapping(handle value);
void mapping(handle value, const std::string &name, const std::string &expected);

// The number of rows and of columns of a Frame (its shape), or a TypeError
// naming it.
std::pair<long long, long long> frame_shape(handle frame, const std::string &name);

// The elements of `list` when it has exactly `n`: the TypeError and
// ValueError of Python's unpacking, their message led by the name.
std::vector<object> unpack(handle list, size_t n, const std::string &name);

// A custom property entry: the pair (value, tag), and with `numbers` (the
// workbook stores it) a name that is text and a "number" holding a real
// number or None; or a TypeError / ValueError naming the entry.
void property_pair(handle key, handle pair, const std::string &mapping_name, bool numbers = true);

// A text stream the messages are written to: an object with a callable
// write() that is not closed (TypeError, ValueError).  Nothing is written.
void text_stream(handle stream, const std::string &name);
// An existing folder: a path (TypeError otherwise, as os.fspath gives)
// naming one, or FileNotFoundError / NotADirectoryError naming the argument.
void existing_folder(handle folder, const std::string &name);
// The folder a file of that path goes in exists (the current one for a bare
// name): the errors of existing_folder.
void folder_of_path_exists(handle path, const std::string &name);

// The number of levels of a Frame's index or columns (frame.<axis>; a
// MultiIndex has two or more); 1 for an axis that is missing or does not tell.
long long levels(handle frame, const char *axis);
// The first text in the column (a Series) and its position, or an invalid
// object: a numeric column has none, whatever its values.
std::pair<object, long long> first_text(handle column);

// A chartsheet of XlsxWriter (its is_chartsheet flag).
bool is_chartsheet(handle sheet);
// The worksheet of that name in the workbook, or None.
object worksheet(handle book, handle name);
// "F (5)": the column's letters and its number counted from 0.
std::string column_label(long long col);

// A workbook that is already closed takes no more writes: a writer that
// finishExcel finished once.  ValueError naming the argument.
void open_workbook(handle book, const std::string &name);

// The columns a chart plots, each (column, argument name): integers that
// hold data in rows 0 to datacount of the sheet of that name, when the
// workbook has a worksheet of that name; TypeError or ValueError otherwise.
void plotted_columns(handle Book, handle sheetname, handle datacount,
                     const std::vector<std::pair<handle, std::string>> &columns);

}  // namespace rb::checks
