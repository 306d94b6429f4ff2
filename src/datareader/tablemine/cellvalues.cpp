#include "datareader/tablemine/cellvalues.hpp"

#include "datareader/tablemine/native/book.hpp"
#include "datareader/tablemine/native/errors.hpp"
#include "datareader/tablemine/native/sheet.hpp"

#include <atomic>
#include <charconv>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <unordered_map>

namespace mine {

using native::Unsure;

object text_of(std::string_view s) {
    return pyutil::steal(
        PyUnicode_DecodeUTF8(s.data(), static_cast<Py_ssize_t>(s.size()), "strict"));
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
        throw Unsure("not an integer: " + native::excerpt(text));
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
        throw Unsure("not a number: " + native::excerpt(text));
    }
    v = PyFloat_AS_DOUBLE(f);
    Py_DECREF(f);
    return v;
}

namespace {

// Whether openpyxl's read-only sheets pass the duration styles on: its own
// code tells, since that changed between its releases.  Asked once: an
// installed openpyxl does not change under a running process.
bool read_only_durations() {
    static std::atomic<int> known{-1};
    int answer = known.load(std::memory_order_relaxed);
    if (answer < 0) {
        object reader =
            nb::module_::import_("openpyxl.worksheet._read_only").attr("ReadOnlyWorksheet");
        object names = reader.attr("_cells_by_row").attr("__code__").attr("co_names");
        answer = pyutil::contains(names, pyutil::text("_timedelta_formats")) ? 1 : 0;
        known.store(answer, std::memory_order_relaxed);
    }
    return answer == 1;
}

// openpyxl's verdicts on number formats (a date? a duration?), kept for the
// formats seen: every read of a workbook asks them again for its styles, and
// each is a regular expression's match in Python.  The answer depends on the
// format's code alone (a built-in one by its id).  Bounded, so that books of
// many odd formats cannot grow it without end; under a lock, as a module
// without the GIL may be called from several threads at once.
class FormatVerdicts {
public:
    struct Verdict {
        bool date = false, duration = false;
    };

    Verdict of(const native::StyleFormat &f) {
        std::string key = f.custom ? "c" + *f.custom : "b" + std::to_string(f.id);
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            auto found = m_known.find(key);
            if (found != m_known.end()) return found->second;
        }
        Verdict v = ask(f);  // Python, outside the lock
        std::lock_guard<std::mutex> lock(m_mutex);
        if (m_known.size() < kMostKept) m_known.emplace(std::move(key), v);
        return v;
    }

private:
    static constexpr std::size_t kMostKept = 4096;

    static Verdict ask(const native::StyleFormat &f) {
        object numbers = nb::module_::import_("openpyxl.styles.numbers");
        object code = f.custom ? text_of(*f.custom)
                               : numbers.attr("BUILTIN_FORMATS").attr("get")(nb::int_(f.id));
        Verdict v;
        v.date = pyutil::truthy(numbers.attr("is_date_format")(code));
        v.duration = v.date && pyutil::truthy(numbers.attr("is_timedelta_format")(code));
        return v;
    }

    std::mutex m_mutex;
    std::unordered_map<std::string, Verdict> m_known;
};

FormatVerdicts &format_verdicts() {
    static auto *verdicts = new FormatVerdicts;  // never destroyed: used up to the end
    return *verdicts;
}

}  // namespace

BookCells::BookCells(const native::Book &book, Durations durations) : m_book(book) {
    object dates = nb::module_::import_("openpyxl.utils.datetime");
    m_from_excel = dates.attr("from_excel");
    m_from_iso = dates.attr("from_ISO8601");
    m_epoch = dates.attr(book.date1904() ? "CALENDAR_MAC_1904" : "WINDOWS_EPOCH");
    m_shared.resize(book.strings().size());
    // Which cell styles openpyxl takes for dates, and for durations: its own
    // tests, since they changed between its releases.
    const auto &formats = book.style_formats();
    if (formats.empty()) return;
    bool timedelta = durations == Durations::Always || read_only_durations();
    m_date_styles.reserve(formats.size());
    for (const native::StyleFormat &f : formats) {
        auto v = format_verdicts().of(f);
        m_date_styles.push_back(!v.date ? 0 : timedelta && v.duration ? 2 : 1);
    }
}

object BookCells::text_value(const native::Cell &cell) {
    switch (cell.type) {
    case native::CellType::Shared:
        return shared(cell.value);
    case native::CellType::Bool:
        return nb::bool_(pyutil::truthy(python_int(cell.value)));
    case native::CellType::Date:
        return iso_date(cell.value);
    default:
        return text_of(cell.value);
    }
}

// The shared string at an index, taken as openpyxl takes a list index.
std::size_t BookCells::shared_index(const std::string &index) const {
    std::size_t from = !index.empty() && index[0] == '-' ? 1 : 0;
    if (!plain_digits(index, from) || index.size() - from > 18)
        throw Unsure("odd string index " + native::excerpt(index));
    long long i = std::strtoll(index.c_str(), nullptr, 10);
    long long n = static_cast<long long>(m_shared.size());
    if (i < 0) i += n;  // a list index, as openpyxl uses it
    if (i < 0 || i >= n) throw Unsure("string index out of range");
    return static_cast<std::size_t>(i);
}

std::string_view BookCells::shared_text(const std::string &index) const {
    return m_book.strings()[shared_index(index)];
}

object BookCells::shared(const std::string &index) {
    std::size_t i = shared_index(index);
    object &s = m_shared[i];
    if (!s.is_valid()) s = text_of(m_book.strings()[i]);
    return s;
}

object BookCells::iso_date(const std::string &text) {
    // where openpyxl fails on the cell, it raises
    PyObject *v = PyObject_CallOneArg(m_from_iso.ptr(), text_of(text).ptr());
    if (!v) {
        PyErr_Clear();
        throw Unsure("openpyxl refuses a cell");
    }
    return nb::steal(v);
}

object BookCells::serial_date(handle serial, bool duration) {
    nb::dict kw;
    kw["timedelta"] = duration;
    PyObject *v =
        PyObject_Call(m_from_excel.ptr(), nb::make_tuple(serial, m_epoch).ptr(), kw.ptr());
    if (v) return nb::steal(v);
    if (!PyErr_ExceptionMatches(PyExc_OverflowError) && !PyErr_ExceptionMatches(PyExc_ValueError))
        pyutil::raise_pending();
    PyErr_Clear();
    return object();
}

std::string BookCells::beyond_dates(const native::Cell &cell, handle serial) {
    return "Cell " + (cell.ref.empty() ? std::string("None") : cell.ref) +
           " is marked as a date but the serial value " + pyutil::utf8(serial) +
           " is outside the limits for dates. The cell will be treated as an error.";
}

char BookCells::date_style(const native::Cell &cell) const {
    if (cell.style < 0 || static_cast<unsigned long long>(cell.style) >= m_date_styles.size())
        return 0;
    return m_date_styles[static_cast<std::size_t>(cell.style)];
}

}  // namespace mine
