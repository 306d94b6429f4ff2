// Unit tests of the formula core, run on every platform the package is built
// for: the results must be the same digits everywhere, whatever the width of
// long double or the presence of fused multiply-add.
#include "formula/formula.hpp"

#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <string>
#include <vector>

using namespace formula;

namespace {

int failures = 0;

void check(bool ok, const std::string &what) {
    if (!ok) {
        ++failures;
        std::printf("FAIL: %s\n", what.c_str());
    }
}

std::string show(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", v);
    return text;
}

void check_number(const Result &r, double want, const std::string &what) {
    check(r.is_number() && r.value() == want, what + ": got " +
                                                  (r.is_number()  ? show(r.value())
                                                   : r.is_error() ? r.code()
                                                                  : "unknown") +
                                                  ", want " + show(want));
}

void check_error(const Result &r, const char *code, const std::string &what) {
    check(r.is_error() && std::strcmp(r.code(), code) == 0, what + ": want " + code);
}

Range numbers(const std::vector<double> &values) {
    Range r = Range::sized(static_cast<Index>(values.size()), 1);
    for (std::size_t i = 0; i < values.size(); ++i) r.set(i, Range::kNumber, as_written(values[i]));
    return r;
}

// A column of cells: a number, or "" (blank), "t" (text), "T"/"F"
// (booleans), "?" (unknown value), or an error code.
struct C {
    double number = 0.0;
    const char *other = nullptr;
    C(double v) : number(v) {}  // NOLINT
    C(const char *o) : other(o) {}  // NOLINT
};

Range cells(const std::vector<C> &column) {
    Range r = Range::sized(static_cast<Index>(column.size()), 1);
    for (std::size_t i = 0; i < column.size(); ++i) {
        const char *o = column[i].other;
        if (!o)
            r.set(i, Range::kNumber, as_written(column[i].number));
        else if (!*o)
            r.set(i, Range::kEmpty, 0.0);
        else if (!std::strcmp(o, "t"))
            r.set(i, Range::kText, 0.0);
        else if (!std::strcmp(o, "T") || !std::strcmp(o, "F"))
            r.set(i, Range::kBoolean, *o == 'T');
        else if (!std::strcmp(o, "?"))
            r.set(i, Range::kUnknown, 0.0);
        else
            r.set(i, Range::kError, error_index(o));
    }
    return r;
}

// The C library's "%.16G" and strtod, both correctly rounded in glibc: an
// independent way to the text the file holds and the double read back.
double reference_written(double v) {
    char text[64];
    std::snprintf(text, sizeof text, "%.16G", v);
    return std::strtod(text, nullptr);
}

void test_numbers_are_kept_as_the_file_holds_them() {
    check(as_written(0.1 + 0.2) == 0.3, "0.1 + 0.2 is held as 0.3");
    // Exact decimal ties at the 17th digit round half to even, as Python's
    // formatting does: ...456.5 down, ...457.5 up.
    check(as_written(1234567890123456.5) == 1234567890123456.0, "tie rounds to even (down)");
    check(as_written(1234567890123457.5) == 1234567890123458.0, "tie rounds to even (up)");
    check(as_written(-1234567890123457.5) == -1234567890123458.0, "negative tie");
    check(as_written(5e-324) == reference_written(5e-324), "smallest subnormal");
    check(as_written(1.7976931348623157e308) == reference_written(1.7976931348623157e308),
          "largest double");
    check(as_written(0.0) == 0.0 && std::signbit(as_written(-0.0)), "zeros");
    check(std::isnan(as_written(NAN)) && as_written(INFINITY) == INFINITY,
          "non-finite pass through");

    // Doubles of every magnitude, random in their bits: the same as the C
    // library everywhere (an extended-precision shortcut misses some of them
    // in the 16th digit).
    std::mt19937_64 bits(20261208);
    int differ = 0;
    for (int i = 0; i < 200000; ++i) {
        std::uint64_t b = bits();
        double v;
        std::memcpy(&v, &b, sizeof v);
        if (!std::isfinite(v)) continue;
        if (as_written(v) != reference_written(v) && ++differ <= 5)
            check(false, "as_written(" + show(v) + ") = " + show(as_written(v)) + ", C library " +
                             show(reference_written(v)));
    }
    check(differ == 0, std::to_string(differ) + " random doubles held differently");

    // Values of everyday magnitude, which take the short way without text:
    // every decade from 1e-9 to 1e40, integers, and 17-digit values whose
    // 17th digit is a 5 (within a rounding step of a decimal tie).
    std::uniform_real_distribution<double> unit(1.0, 10.0);
    differ = 0;
    for (int decade = -9; decade <= 40; ++decade)
        for (int i = 0; i < 20000; ++i) {
            double v = unit(bits) * std::pow(10.0, decade) * (i % 2 ? -1 : 1);
            if (i % 5 == 0) v = std::nearbyint(v);
            if (i % 7 == 0)
                v = std::strtod(
                    ("1.23456789012345" + std::to_string(i % 10) + "5e" + std::to_string(decade))
                        .c_str(),
                    nullptr);
            if (as_written(v) != reference_written(v) && ++differ <= 5)
                check(false, "as_written(" + show(v) + ") = " + show(as_written(v)) +
                                 ", C library " + show(reference_written(v)));
        }
    check(differ == 0, std::to_string(differ) + " everyday values held differently");
}

void test_sums_are_correctly_rounded() {
    // 130 times 0.1 is 13.0000000000000007216...: 13 once rounded, while a
    // running double sum ends at 13.000000000000002.
    check_number(SUM(numbers(std::vector<double>(130, 0.1))), 13.0, "sum of 130 x 0.1");
    check_number(SUM(numbers({1e16, 1.0, -1e16})), 1.0, "sum across cancellation");
    check_number(SUM(numbers({0.1 + 0.2, -0.3})), 0.0, "sum of numbers as the file holds them");
    check(SUM(Range()).is_unknown(), "sum of unreadable cells is unknown");
    // Sum of squared differences: the differences are exact.
    check_number(SUMXMY2(numbers({1e8 + 1, 3.0}), numbers({1e8, 1.0})), 5.0, "sumxmy2");
}

// What Excel and LibreOffice both give for blanks, texts, booleans and
// errors in a reference; unknown where they differ.
void test_cells_that_are_not_numbers() {
    check_number(SUM(cells({1, "", "t", 4})), 5.0, "sum skips blanks and texts");
    check_number(SUM(cells({"", ""})), 0.0, "sum of blanks");
    check(SUM(cells({1, "T", 4})).is_unknown(), "a boolean: counted by one application only");
    check(SUM(cells({1, "?"})).is_unknown(), "a cell of unknown value");
    check_error(SUM(cells({1, "#N/A", "t"})), "#N/A", "an error is the sum");
    check(SUM(cells({"#N/A", "#DIV/0!"})).is_unknown(), "which of two errors comes first");
    check_number(MIN(cells({"t", 3, "", 2})), 2.0, "min skips blanks and texts");
    check_number(MAX(cells({"t", "", "t"})), 0.0, "max of no number");
    check(MIN(cells({1, "F"})).is_unknown(), "min over a boolean");
    check_number(COUNTA(cells({1, "", "t", "#NUM!", "?", "T"})), 5.0,
                 "counta counts every filled cell");
    check_number(COUNTA(cells({"", ""})), 0.0, "count of empty cells");

    check_number(PEARSON(cells({1, "", 2, "t", 3, 4, 5}), cells({1, 9, 3, 1, 2, 5, 4})), 0.8,
                 "pearson drops the pairs with a blank or a text");
    check_error(PEARSON(cells({"", 2, ""}), cells({1, 2, 3})), kDiv0, "one pair left");
    check(PEARSON(cells({"", ""}), cells({1, 2})).is_unknown(), "no pair left: #N/A or #VALUE!");
    check(PEARSON(cells({1, "T", 3}), cells({1, 2, 3})).is_unknown(), "pearson over a boolean");

    check_number(SUMXMY2(cells({1, "", 0.0, ""}), cells({2, "", "", 0.0})), 1.0,
                 "a blank paired with a blank or a 0 adds nothing");
    check(SUMXMY2(cells({1, ""}), cells({2, 3})).is_unknown(), "a blank paired with a number");
    check(SUMXMY2(cells({1, "t"}), cells({2, 3})).is_unknown(),
          "a text: #VALUE! in one application");
    check(SUMXMY2(cells({"", ""}), cells({"", ""})).is_unknown(), "no pair of numbers");
    check_error(SUMXMY2(cells({1, "#DIV/0!"}), cells({2, 3})), kDiv0, "an error in sumxmy2");
    check(SUMXMY2(numbers({1.0}), numbers({1.0, 2.0})).is_unknown(), "sumxmy2 of unequal sizes");

    check_number(REF(cells({""})), 0.0, "a reference to a blank is 0");
    check(REF(cells({"t"})).is_unknown(), "a reference to a text");
}

void test_pearson() {
    check_number(PEARSON(numbers({1, 2, 3, 4}), numbers({2, 4, 6, 8})), 1.0, "perfect correlation");
    check_number(PEARSON(numbers({1, 2, 3, 4}), numbers({8, 6, 4, 2})), -1.0,
                 "perfect anticorrelation");
    check_error(PEARSON(numbers({0.1, 0.1, 0.1}), numbers({1, 2, 3})), kDiv0, "constant column");
    check_error(PEARSON(numbers({1.0}), numbers({2.0})), kDiv0, "one pair");
    // x = 1..5, y = (1, 3, 2, 5, 4): r = 0.8 exactly, correctly rounded.
    check_number(PEARSON(numbers({1, 2, 3, 4, 5}), numbers({1, 3, 2, 5, 4})), 0.8, "r = 0.8");
    // Shifting both columns far from 0 does not cost the digits.
    check_number(
        PEARSON(numbers({1e9 + 1, 1e9 + 2, 1e9 + 3, 1e9 + 4, 1e9 + 5}), numbers({1, 3, 2, 5, 4})),
        0.8, "r = 0.8 far from 0");
}

void test_running_statistics() {
    std::vector<Result> avg = running_average(numbers({0.1, 0.1, 0.1}));
    std::vector<Result> dev = running_stdeva(numbers({0.1, 0.1, 0.1}));
    for (int k = 0; k < 3; ++k) check_number(avg[k], 0.1, "running average of equal values");
    check_error(dev[0], kDiv0, "deviation of one value");
    check_number(dev[1], 0.0, "deviation of equal values");
    check_number(dev[2], 0.0, "deviation of equal values");

    // 1, 2, 3, 4: averages 1, 1.5, 2, 2.5; deviations sqrt(0.5), 1, sqrt(5/3).
    avg = running_average(numbers({1, 2, 3, 4}));
    dev = running_stdeva(numbers({1, 2, 3, 4}));
    check_number(avg[3], 2.5, "average of 1..4");
    check_number(dev[1], std::sqrt(0.5), "deviation of 1, 2");
    check_number(dev[2], 1.0, "deviation of 1..3");
    check_number(dev[3], std::sqrt(5.0 / 3.0), "deviation of 1..4");

    std::vector<Result> holes = running_average(cells({"", 2, "t", 4, "T", 1}));
    check_error(holes[0], kDiv0, "average of a blank");
    check_number(holes[1], 2.0, "average past a blank");
    check_number(holes[3], 3.0, "average past a text");
    check(holes[4].is_unknown() && holes[5].is_unknown(), "average from a boolean on");
    holes = running_stdeva(cells({1, "", 3, "t", 5}));
    check_error(holes[1], kDiv0, "deviation of one number and a blank");
    check_number(holes[2], std::sqrt(2.0), "deviation past a blank");
    check(holes[3].is_unknown() && holes[4].is_unknown(), "deviation from a text on");
    holes = running_average(cells({1, "#NUM!", 2}));
    check(holes[0].is_number() && holes[2].is_error(), "an error carried to every later part");
}

void test_arithmetic_and_errors() {
    Result one = Result::number(1.0), zero = Result::number(0.0);
    check_error(one / zero, kDiv0, "division by zero");
    check_error(SQRT(Result::number(-1.0)), kNum, "root of a negative");
    check_error(Result::error(kDiv0) + one, kDiv0, "an error travels");
    check((Result::error(kDiv0) + Result::error(kNum)).is_unknown(), "two different errors");
    check((Result::unknown() * one).is_unknown(), "unknown stays unknown");
    check(Result::number(INFINITY).is_unknown(), "overflow is left to the application");
    check_number(MIN(numbers({3, -2, 5})), -2.0, "min");
    check_number(MAX(numbers({3, -2, 5})), 5.0, "max");
    check_number(REF(numbers({7.5})), 7.5, "one cell");
    check(REF(numbers({1, 2})).is_unknown(), "a range is no single cell");
}

// A formula's text groups its operations as its result computed them, for
// shapes no sheet writes yet: the operators group from the left.
void test_formula_texts_compute_their_results() {
    const Range x = numbers({1, 2, 3});
    const Ref column{"A1:A3", x};
    const Formula a = Formula::number(Index{8}), b = Formula::number("2.5"),
                  c = Formula::number(Index{2});
    const Formula held = Formula::cell("$C$7", SUM(column));
    struct Case {
        Formula f;
        const char *text;
        double value;
    } cases[] = {
        {a - (b - c), "8-(2.5-2)", 7.5},
        {a - b - c, "8-2.5-2", 3.5},
        {a / (c * c), "8/(2*2)", 2.0},
        {a / c * c, "8/2*2", 8.0},
        {(a - b) * c + a, "(8-2.5)*2+8", 19.0},
        {a - b * SQRT(c * c), "8-2.5*SQRT(2*2)", 3.0},
        {held * held - MIN(column), "$C$7*$C$7-MIN(A1:A3)", 35.0},
        {SQRT(SUMXMY2(column, column) / COUNTA(column)), "SQRT(SUMXMY2(A1:A3,A1:A3)/COUNTA(A1:A3))",
         0.0},
    };
    for (const Case &k : cases) {
        check(k.f.text() == k.text, "text " + k.f.text() + ", want " + k.text);
        check_number(k.f.result(), k.value, k.text);
    }
}

}  // namespace

int main() {
    test_numbers_are_kept_as_the_file_holds_them();
    test_sums_are_correctly_rounded();
    test_cells_that_are_not_numbers();
    test_pearson();
    test_running_statistics();
    test_arithmetic_and_errors();
    test_formula_texts_compute_their_results();
    if (failures) {
        std::printf("%d formula check(s) failed\n", failures);
        return 1;
    }
    std::printf("formula core: all checks passed\n");
    return 0;
}
