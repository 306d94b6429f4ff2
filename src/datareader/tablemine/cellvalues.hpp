// The Python values of a cell's text as openpyxl makes them: the text
// itself, int() and float().  Where Python would refuse the text, the native
// reader is unsure and the library reports it in its own words.
#pragma once

#include "common/pyutil.hpp"

#include <string>
#include <string_view>

namespace mine {

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
// TRELLIS_NATIVE_ONLY is set: a fallback to a library is an error.
bool native_only();

}  // namespace mine
