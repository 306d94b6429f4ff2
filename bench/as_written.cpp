// The writer's as_written (a number as the file holds it, 16 significant
// digits) against the route through the text it replaces: printing the
// number and parsing it back.  Built and run by run.py; prints one JSON
// object.  The numbers are those a result sheet holds: errors, scores and
// averages of a few significant digits and of many, across magnitudes.
#include "formula/formula.hpp"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <random>
#include <vector>

namespace {

double by_text(double v) {
    char text[40];
    auto printed = std::to_chars(text, text + sizeof text, v, std::chars_format::scientific, 15);
    double back = v;
    std::from_chars(text, printed.ptr, back);
    return back;
}

template <typename F>
double ns_each(const std::vector<double> &values, F f, double &sink) {
    double best = 1e300;
    for (int run = 0; run < 5; ++run) {
        auto start = std::chrono::steady_clock::now();
        for (double v : values) sink += f(v);
        std::chrono::duration<double, std::nano> took = std::chrono::steady_clock::now() - start;
        best = std::min(best, took.count() / static_cast<double>(values.size()));
    }
    return best;
}

}  // namespace

int main() {
    std::mt19937_64 rng(3);
    std::normal_distribution<double> normal(0, 1);
    std::uniform_int_distribution<int> scale(-6, 6);
    std::vector<double> values(1000000);
    for (double &v : values) v = normal(rng) * std::pow(10.0, scale(rng));
    std::size_t differ = 0;
    for (double v : values) differ += formula::as_written(v) != by_text(v);
    double sink = 0;
    double fast = ns_each(values, [](double v) { return formula::as_written(v); }, sink);
    double text = ns_each(values, by_text, sink);
    std::printf("{\"values\": %zu, \"as_written_ns\": %.2f, \"by_text_ns\": %.2f, \"differ\": %zu, \"sink\": %g}\n",
                values.size(), fast, text, differ, sink);
    return 0;
}
