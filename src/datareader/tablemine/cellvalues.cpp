#include "datareader/tablemine/cellvalues.hpp"

#include "datareader/tablemine/native/errors.hpp"

#include <charconv>
#include <cstdlib>
#include <cstring>

namespace mine {

using native::Unsure;

object text_of(std::string_view s) {
    return pyutil::steal(PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
}

bool plain_digits(const std::string &s, std::size_t from) {
    if (from >= s.size()) return false;
    for (std::size_t i = from; i < s.size(); ++i)
        if (s[i] < '0' || s[i] > '9') return false;
    return true;
}

object python_int(const std::string &text) {
    std::size_t from = !text.empty() && text[0] == '-' ? 1 : 0;
    if (plain_digits(text, from) && text.size() - from <= 18)
        return nb::int_(std::strtoll(text.c_str(), nullptr, 10));
    object s = text_of(text);
    PyObject *v = PyLong_FromUnicodeObject(s.ptr(), 10);
    if (!v) {
        PyErr_Clear();
        throw Unsure("not an integer: " + text);
    }
    return nb::steal(v);
}

double python_float(const std::string &text) {
    double v = 0;
    const char *begin = text.data(), *end = begin + text.size();
    if (!text.empty() && text[0] != '+') {
        auto [stop, err] = std::from_chars(begin, end, v, std::chars_format::general);
        if (err == std::errc() && stop == end) return v;
    }
    object s = text_of(text);
    PyObject *f = PyFloat_FromString(s.ptr());
    if (!f) {
        PyErr_Clear();
        throw Unsure("not a number: " + text);
    }
    v = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return v;
}

bool native_only() {
    const char *v = std::getenv("TRELLIS_NATIVE_ONLY");
    return v && *v && std::strcmp(v, "0") != 0;
}

}  // namespace mine
