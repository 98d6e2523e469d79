// SPDX-License-Identifier: MIT
// Native phases of one decomposition against the sort floor: the input
// checks, the fair split tree and the pair search, each with 1 and 2 workers
// where it takes workers. Plain wall-clock timing: the phases of one case
// run round-robin, `--reps` times, and every figure is the median of its
// runs, so that drifting load on a shared machine hits all phases alike.
// Below 200000 points a sample averages 200000 / n runs back to back. A
// timed run includes freeing what the phase returned.
//
//   core_bench [--sets uniform,clusters,geoline] [--dims 2,3]
//              [--sizes 10000,100000,1000000] [--reps 5] [--s 2]
//              [--phases floor,checks,tree1,tree2,search1,search2] [--json]
//   core_bench --input coords.f64 --n N --d D [--name label] ...
//
// --input reads N * D row-major float64 values (x[i * d + k]) from a file,
// which is how bench/run_bench.py hands over the exact points its Python
// calls see; without it the points come from make_points below. --s takes
// a comma-separated list: search1 and search2 run once per value.
// --json prints one JSON object per case instead of the table.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <numeric>
#include <random>
#include <stdexcept>
#include <string>
#include <vector>

#include "checks.h"
#include "interrupt.h"
#include "pair_search.h"
#include "split_tree.h"

namespace {

using clock_type = std::chrono::steady_clock;

// The data sets of the benchmark, as in run_bench.make_coords (same kinds,
// not the same random streams): uniform in the unit cube; 32 Gaussian
// clusters of three spreads; a line along the first axis whose coordinates
// grow geometrically over 400 binary orders of magnitude.
std::vector<double> make_points(const std::string& set, int32_t n, int32_t d) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    const auto dims = static_cast<size_t>(d);
    std::vector<double> x(static_cast<size_t>(n) * dims, 0.0);
    if (set == "uniform") {
        for (auto& v : x) v = unit(rng);
    } else if (set == "clusters") {
        const double spread[] = {0.001, 0.01, 0.05};
        std::vector<double> centres(32 * dims);
        for (auto& v : centres) v = unit(rng);
        std::uniform_int_distribution<int> pick(0, 31);
        std::normal_distribution<double> g(0.0, 1.0);
        for (size_t i = 0; i < static_cast<size_t>(n); ++i) {
            const auto k = static_cast<size_t>(pick(rng));
            for (size_t t = 0; t < dims; ++t) x[i * dims + t] = centres[k * dims + t] + g(rng) * spread[k % 3];
        }
    } else if (set == "geoline") {
        std::vector<double> xs(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i)
            xs[static_cast<size_t>(i)] = std::exp2(400.0 * i / std::max<int32_t>(n - 1, 1));
        std::shuffle(xs.begin(), xs.end(), rng);
        for (size_t i = 0; i < xs.size(); ++i) x[i * dims] = xs[i];
    } else {
        throw std::invalid_argument("unknown data set " + set);
    }
    return x;
}

std::vector<double> read_points(const std::string& path, int32_t n, int32_t d) {
    std::vector<double> x(static_cast<size_t>(n) * static_cast<size_t>(d));
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) throw std::runtime_error("cannot open " + path);
    const size_t got = std::fread(x.data(), sizeof(double), x.size(), f);
    std::fclose(f);
    if (got != x.size()) throw std::runtime_error(path + " holds fewer than n * d values");
    return x;
}

// Seconds per run of `work`, run `inner` times back to back (small inputs
// take several runs per sample, so that one sample spans a few ms).
template <typename Work>
double seconds(int inner, Work&& work) {
    const auto t0 = clock_type::now();
    for (int i = 0; i < inner; ++i) work();
    return std::chrono::duration<double>(clock_type::now() - t0).count() / inner;
}

double median(std::vector<double> v) {
    if (v.empty()) return NAN;
    std::sort(v.begin(), v.end());
    const size_t h = v.size() / 2;
    return v.size() % 2 == 1 ? v[h] : 0.5 * (v[h - 1] + v[h]);
}

// d std::sort calls over n int32 indices, each compared by one coordinate
// of the flat row-major array.
void sort_floor(const double* x, int32_t n, int32_t d, std::vector<int32_t>& order) {
    order.resize(static_cast<size_t>(n));
    const auto dims = static_cast<size_t>(d);
    for (size_t k = 0; k < dims; ++k) {
        std::iota(order.begin(), order.end(), 0);
        std::sort(order.begin(), order.end(), [x, dims, k](int32_t a, int32_t b) {
            return x[static_cast<size_t>(a) * dims + k] < x[static_cast<size_t>(b) * dims + k];
        });
        benchmark::DoNotOptimize(order.data());
        benchmark::ClobberMemory();
    }
}

struct options {
    std::vector<std::string> sets{"uniform", "clusters", "geoline"};
    std::vector<int32_t> dims{2, 3};
    std::vector<int32_t> sizes{10000, 100000, 1000000};
    std::vector<double> s{2.0};
    std::vector<std::string> phases{"floor", "checks", "tree1", "tree2", "search1", "search2"};
    int reps = 5;
    bool json = false;
    std::string input;
    std::string name = "input";
    int32_t n = 0;
    int32_t d = 0;
};

std::vector<std::string> split(const std::string& text) {
    std::vector<std::string> out;
    size_t at = 0;
    while (at <= text.size()) {
        const size_t comma = std::min(text.find(',', at), text.size());
        if (comma > at) out.push_back(text.substr(at, comma - at));
        at = comma + 1;
    }
    return out;
}

options parse(int argc, char** argv) {
    options o;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        auto value = [&]() -> std::string {
            if (i + 1 >= argc) throw std::invalid_argument(arg + " needs a value");
            return argv[++i];
        };
        if (arg == "--sets") {
            o.sets = split(value());
        } else if (arg == "--dims") {
            o.dims.clear();
            for (const auto& v : split(value())) o.dims.push_back(static_cast<int32_t>(std::stol(v)));
        } else if (arg == "--sizes") {
            o.sizes.clear();
            for (const auto& v : split(value())) o.sizes.push_back(static_cast<int32_t>(std::stod(v)));
        } else if (arg == "--s") {
            o.s.clear();
            for (const auto& v : split(value())) o.s.push_back(std::stod(v));
        } else if (arg == "--phases") {
            o.phases = split(value());
        } else if (arg == "--reps") {
            o.reps = std::max(1, std::stoi(value()));
        } else if (arg == "--json") {
            o.json = true;
        } else if (arg == "--input") {
            o.input = value();
        } else if (arg == "--name") {
            o.name = value();
        } else if (arg == "--n") {
            o.n = static_cast<int32_t>(std::stod(value()));
        } else if (arg == "--d") {
            o.d = static_cast<int32_t>(std::stol(value()));
        } else {
            throw std::invalid_argument("unknown argument " + arg + " (see the comment atop core_bench.cpp)");
        }
    }
    if (!o.input.empty() && (o.n < 1 || o.d < 1)) throw std::invalid_argument("--input needs --n and --d");
    return o;
}

bool wants(const options& o, const char* phase) {
    return std::find(o.phases.begin(), o.phases.end(), phase) != o.phases.end();
}

std::string fixed(double v, int digits) {
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.*f", digits, v);
    return buffer;
}

std::string json_number(double v) {
    if (!std::isfinite(v)) return "null";
    char buffer[64];
    std::snprintf(buffer, sizeof buffer, "%.6g", v);
    return buffer;
}

std::string s_text(double s) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%g", s);
    return buffer;
}

// One data set: every phase `reps` times, round-robin. Times in seconds.
void run_case(const options& o, const std::string& set, const std::vector<double>& x, int32_t n, int32_t d) {
    interrupt never;
    std::map<std::string, std::vector<double>> runs;
    std::map<std::string, size_t> pairs;
    std::vector<int32_t> scratch;
    const bool searching = wants(o, "search1") || wants(o, "search2");
    // The tree the searches run on; its construction is timed as tree1.
    split_tree tree;
    if (searching) tree = build_split_tree(x.data(), n, d, 1, never);
    const int inner = std::max(1, 200000 / n);
    for (int rep = 0; rep < o.reps; ++rep) {
        if (wants(o, "floor")) runs["floor"].push_back(seconds(inner, [&] { sort_floor(x.data(), n, d, scratch); }));
        if (wants(o, "checks"))
            runs["checks"].push_back(seconds(inner, [&] { check_coordinates(x.data(), n, d, never); }));
        for (int w : {1, 2}) {
            const std::string phase = "tree" + std::to_string(w);
            if (!wants(o, phase.c_str())) continue;
            runs[phase].push_back(seconds(inner, [&] {
                split_tree built = build_split_tree(x.data(), n, d, w, never);
                benchmark::DoNotOptimize(built.order.data());
            }));
        }
        if (!searching) continue;
        for (double s : o.s) {
            for (int w : {1, 2}) {
                const std::string phase = "search" + std::to_string(w);
                if (!wants(o, phase.c_str())) continue;
                const std::string key = phase + "@" + s_text(s);
                size_t count = 0;
                runs[key].push_back(seconds(inner, [&] {
                    raw_array<separated_pair> found = search_pairs(tree, s, w, never);
                    count = found.size();
                }));
                if (pairs.count(s_text(s)) != 0 && pairs[s_text(s)] != count)
                    throw std::runtime_error("the pair count depends on the workers");
                pairs[s_text(s)] = count;
            }
        }
    }

    std::map<std::string, double> ms;
    for (const auto& [key, v] : runs) ms[key] = median(v) * 1e3;
    auto get = [&](const std::string& key) { return ms.count(key) != 0 ? ms[key] : NAN; };

    if (o.json) {
        std::string line = "{\"set\": \"" + set + "\", \"d\": " + std::to_string(d) + ", \"n\": " +
                           std::to_string(n) + ", \"reps\": " + std::to_string(o.reps);
        for (const auto& [key, v] : ms) line += ", \"" + key + "_ms\": " + json_number(v);
        for (const auto& [s, count] : pairs) line += ", \"pairs@" + s + "\": " + std::to_string(count);
        std::printf("%s}\n", line.c_str());
    } else {
        const std::string s0 = s_text(o.s.front());
        const double floor = get("floor");
        const double checks = get("checks");
        const double one = checks + get("tree1") + get("search1@" + s0);
        const double two = checks + get("tree2") + get("search2@" + s0);
        const double count = pairs.count(s0) != 0 ? static_cast<double>(pairs[s0]) : NAN;
        std::printf("%-9s %d %8d %9s %8s %9s %9s %10s %10s %8s %8s %10s %10s %9s\n", set.c_str(), d, n,
                    fixed(floor, 1).c_str(), fixed(checks, 2).c_str(), fixed(get("tree1"), 1).c_str(),
                    fixed(get("tree2"), 1).c_str(), fixed(get("search1@" + s0), 1).c_str(),
                    fixed(get("search2@" + s0), 1).c_str(), fixed(count / n, 2).c_str(),
                    fixed(get("search1@" + s0) * 1e6 / count, 1).c_str(), fixed(get("tree1") / floor, 2).c_str(),
                    fixed(two / floor, 2).c_str(), fixed(one / two, 2).c_str());
    }
    std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        const options o = parse(argc, argv);
        if (!o.json)
            std::printf("%-9s %s %8s %9s %8s %9s %9s %10s %10s %8s %8s %10s %10s %9s\n", "set", "d", "n", "floor ms",
                        "checks", "tree1 ms", "tree2 ms", "search1 ms", "search2 ms", "pairs/pt", "ns/pair",
                        "tree1/flr", "native2/flr", "speed-up");
        if (!o.input.empty()) {
            run_case(o, o.name, read_points(o.input, o.n, o.d), o.n, o.d);
            return 0;
        }
        for (const auto& set : o.sets)
            for (int32_t d : o.dims)
                for (int32_t n : o.sizes) run_case(o, set, make_points(set, n, d), n, d);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "core_bench: %s\n", e.what());
        return 2;
    }
}
