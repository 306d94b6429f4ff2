#include "formula/formula.hpp"

#include "formula/ddouble.hpp"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstring>

namespace formula {

const char *const kDiv0 = "#DIV/0!";
const char *const kNum = "#NUM!";

// --- results ---------------------------------------------------------------

Result Result::number(double v) {
    // An overflow is the spreadsheet's #NUM!, but whether a step on the way
    // overflows there as well is not certain: leave it to the application.
    return std::isfinite(v) ? Result(kNumber, v, "") : Result();
}

namespace {

// The result of an operator on two operands that are not both numbers.
Result propagate(const Result &a, const Result &b) {
    if (a.is_unknown() || b.is_unknown()) return Result::unknown();
    if (a.is_error() && b.is_error() && std::strcmp(a.code(), b.code()) != 0)
        return Result::unknown();  // which of two errors wins is the application's choice
    return a.is_error() ? a : b;
}

}  // namespace

Result operator+(const Result &a, const Result &b) {
    if (!a.is_number() || !b.is_number()) return propagate(a, b);
    return Result::number(a.value() + b.value());
}

Result operator-(const Result &a, const Result &b) {
    if (!a.is_number() || !b.is_number()) return propagate(a, b);
    return Result::number(a.value() - b.value());
}

Result operator*(const Result &a, const Result &b) {
    if (!a.is_number() || !b.is_number()) return propagate(a, b);
    return Result::number(a.value() * b.value());
}

Result operator/(const Result &a, const Result &b) {
    if (!a.is_number() || !b.is_number()) return propagate(a, b);
    if (b.value() == 0.0) return Result::error(kDiv0);
    return Result::number(a.value() / b.value());
}

Result SQRT(const Result &a) {
    if (!a.is_number()) return a;
    if (a.value() < 0.0) return Result::error(kNum);
    return Result::number(std::sqrt(a.value()));
}

// --- ranges ------------------------------------------------------------------

Range Range::sized(Index rows, Index cols) {
    Range r;
    r.readable = true;
    r.rows = rows;
    r.cols = cols;
    const auto n = static_cast<std::size_t>(rows * cols);
    r.kinds.assign(n, kOther);
    r.values.assign(n, 0.0);
    return r;
}

Range Range::empty_column(Index rows) {
    Range r = sized(rows, 1);
    std::fill(r.kinds.begin(), r.kinds.end(), kEmpty);
    r.empties = r.size();
    return r;
}

void Range::set(std::size_t i, Cell kind, double value) {
    if (kinds[i] == kNumber) --numbers;
    if (kinds[i] == kEmpty) --empties;
    kinds[i] = kind;
    values[i] = value;
    if (kind == kNumber) ++numbers;
    if (kind == kEmpty) ++empties;
}

void Range::push(Cell kind, double value) {
    kinds.push_back(kind);
    values.push_back(value);
    if (kind == kNumber) ++numbers;
    if (kind == kEmpty) ++empties;
}

// --- functions -------------------------------------------------------------
// Each gives a result only over cells that are all numbers, or all empty
// where the function's definition settles that case; otherwise unknown.

namespace {

bool same_size(const Range &x, const Range &y) { return x.size() == y.size(); }

DD sum_of(const std::vector<double> &values) {
    DD s;
    for (double v : values) s = dd::add(s, v);
    return s;
}

DD mean_of(const std::vector<double> &values) {
    return dd::div(sum_of(values), DD(static_cast<double>(values.size())));
}

bool all_equal(const std::vector<double> &values) {
    return std::all_of(values.begin(), values.end(), [&](double v) { return v == values[0]; });
}

}  // namespace

Result SUM(const Range &r) {
    if (r.all_empty()) return Result::number(0.0);
    if (!r.all_numbers()) return Result::unknown();
    return Result::number(sum_of(r.values).value());
}

Result SUMXMY2(const Range &x, const Range &y) {
    if (!x.readable || !y.readable || !same_size(x, y)) return Result::unknown();
    // Pairs with an empty cell on either side do not count: none is left.
    if ((x.all_empty() && (y.all_numbers() || y.all_empty())) || (y.all_empty() && x.all_numbers()))
        return Result::number(0.0);
    if (!x.all_numbers() || !y.all_numbers()) return Result::unknown();
    DD s;
    for (std::size_t i = 0; i < x.size(); ++i) {
        DD d = dd::two_sum(x.values[i], -y.values[i]);
        s = dd::add(s, dd::mul(d, d));
    }
    return Result::number(s.value());
}

Result PEARSON(const Range &x, const Range &y) {
    if (!x.all_numbers() || !y.all_numbers() || !same_size(x, y) || x.size() == 0)
        return Result::unknown();
    // A constant column has no spread: the correlation divides by zero.  It
    // is tested on the values themselves, since a computed mean of equal
    // values can miss them by a rounding step.
    if (all_equal(x.values) || all_equal(y.values)) return Result::error(kDiv0);
    const DD mx = mean_of(x.values), my = mean_of(y.values);
    DD sxy, sxx, syy;
    for (std::size_t i = 0; i < x.size(); ++i) {
        DD dx = dd::sub(DD(x.values[i]), mx), dy = dd::sub(DD(y.values[i]), my);
        sxy = dd::add(sxy, dd::mul(dx, dy));
        sxx = dd::add(sxx, dd::mul(dx, dx));
        syy = dd::add(syy, dd::mul(dy, dy));
    }
    const DD den = dd::sqrt(dd::mul(sxx, syy));
    if (!(den.hi > 0.0)) return Result::error(kDiv0);
    return Result::number(dd::div(sxy, den).value());
}

Result COUNTA(const Range &r) {
    if (r.all_empty()) return Result::number(0.0);
    if (!r.all_numbers()) return Result::unknown();
    return Result::number(static_cast<double>(r.size()));
}

Result MIN(const Range &r) {
    if (r.all_empty()) return Result::number(0.0);
    if (!r.all_numbers()) return Result::unknown();
    return Result::number(*std::min_element(r.values.begin(), r.values.end()));
}

Result MAX(const Range &r) {
    if (r.all_empty()) return Result::number(0.0);
    if (!r.all_numbers()) return Result::unknown();
    return Result::number(*std::max_element(r.values.begin(), r.values.end()));
}

Result REF(const Range &r) {
    if (r.size() != 1 || !r.all_numbers()) return Result::unknown();
    return Result::number(r.values[0]);
}

namespace {

// The results of a function over every leading part of a one-column range:
// `add` takes each number in turn, `value(n)` gives the result of a leading
// part of n numbers.  A part of empty cells only, or of fewer than `least`
// numbers, is #DIV/0!; a part holding anything else is left to the
// application.
template <class Add, class Value>
std::vector<Result> running(const Range &r, std::size_t least, Add add, Value value) {
    std::vector<Result> out;
    out.reserve(r.size());
    std::size_t numbers = 0, empties = 0;
    for (std::size_t k = 0; k < r.size(); ++k) {
        if (!r.readable) {
            out.push_back(Result::unknown());
            continue;
        }
        if (r.kinds[k] == Range::kNumber) {
            ++numbers;
            add(r.values[k], numbers);
        } else if (r.kinds[k] == Range::kEmpty) {
            ++empties;
        }
        if (empties == k + 1 || (numbers == k + 1 && numbers < least))
            out.push_back(Result::error(kDiv0));
        else if (numbers == k + 1)
            out.push_back(Result::number(value(numbers)));
        else
            out.push_back(Result::unknown());
    }
    return out;
}

double as_double(std::size_t n) { return static_cast<double>(n); }

}  // namespace

std::vector<Result> running_average(const Range &r) {
    DD s;
    return running(
        r, 1, [&](double v, std::size_t) { s = dd::add(s, v); },
        [&](std::size_t n) { return dd::div(s, DD(as_double(n))).value(); });
}

std::vector<Result> running_stdeva(const Range &r) {
    // Welford's update: the spread of every leading part in one pass.  A run
    // of equal values leaves the sum of squares at exactly 0.
    DD mean, m2;
    return running(
        r, 2,
        [&](double v, std::size_t n) {
            DD delta = dd::sub(DD(v), mean);
            mean = dd::add(mean, dd::div(delta, DD(as_double(n))));
            m2 = dd::add(m2, dd::mul(delta, dd::sub(DD(v), mean)));
        },
        [&](std::size_t n) {
            DD variance = dd::div(m2, DD(as_double(n - 1)));
            return dd::sqrt(variance.hi < 0.0 ? DD(0.0) : variance).value();
        });
}

double as_written(double v) {
    if (v == 0.0 || !std::isfinite(v)) return v;
    // Sixteen significant digits, as "%.16G" prints them: correctly rounded,
    // ties to even, in every C++17 library; the text is then parsed back to
    // the nearest double, as an application reading the file does.
    char text[40];
    auto printed = std::to_chars(text, text + sizeof text, v, std::chars_format::scientific, 15);
    if (printed.ec != std::errc()) return v;
    double back = v;
    // Rounded up past the largest double, the text reads as an overflow.
    if (std::from_chars(text, printed.ptr, back).ec == std::errc::result_out_of_range)
        return std::copysign(HUGE_VAL, v);
    return back;
}

}  // namespace formula
