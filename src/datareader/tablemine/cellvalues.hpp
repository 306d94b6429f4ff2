// The Python values of a cell's text as openpyxl makes them: the text
// itself, int() and float().  Where Python would refuse the text, the native
// reader is unsure and the library reports it in its own words.
#pragma once

#include "common/pyutil.hpp"

#include <string>
#include <string_view>
#include <vector>

namespace mine {
namespace native {
class Book;
struct Cell;
}  // namespace native

using pyutil::handle;
using pyutil::object;

// The text as a str (UTF-8, strictly).
object text_of(std::string_view s);
// The digits of an integer as Python's int() takes them from `from` on,
// without the forms (spaces, underscores, other digits) left to int() itself.
bool plain_digits(const std::string &s, std::size_t from);
// int(text) of Python; native::Unsure where it fails.
object python_int(const std::string &text);
// float(text) of Python; native::Unsure where it fails.  The common forms
// are read by from_chars, correctly rounded as Python's float() is.
double python_float(const std::string &text);
// What openpyxl's two readings of a workbook (the read-only one pandas
// uses, and the full one of the toolkit's reader) make alike of its cells:
// the shared strings, dates from a serial number or an ISO text, and which
// cell styles are dates or durations.
class BookCells {
public:
    // Whether a duration style gives a duration: always in the full
    // reading; in the read-only one, as far as the installed openpyxl
    // passes the duration styles on (from 3.1 on).
    enum class Durations { Always, AsReadOnly };
    BookCells(const native::Book &book, Durations durations);

    // The value of a cell that holds one and is no number: a shared string
    // (Unsure for an odd or out-of-range index), a truth value, a date of
    // ISO text (Unsure where openpyxl refuses it), and the text itself for
    // "str", inline strings, error cells and types openpyxl keeps as text.
    object text_value(const native::Cell &cell);
    // openpyxl's from_excel of a serial number in the workbook's date
    // system; invalid where the serial is beyond the limits of dates.
    object serial_date(handle serial, bool duration);
    // openpyxl's warning for such a serial.
    static std::string beyond_dates(const native::Cell &cell, handle serial);
    // 0 for a cell without a date style, 1 for a date, 2 for a duration.
    char date_style(const native::Cell &cell) const;
    // The shared string a cell's index names, as text_value() takes it
    // (Unsure for an odd or out-of-range index).  Like date_style(), native:
    // callable without the GIL.
    std::string_view shared_text(const std::string &index) const;

private:
    const native::Book &m_book;
    object shared(const std::string &index);
    std::size_t shared_index(const std::string &index) const;
    object iso_date(const std::string &text);

    object m_from_excel, m_from_iso, m_epoch;
    std::vector<char> m_date_styles;  // by style index, as date_style()
    std::vector<object> m_shared;
};

}  // namespace mine
