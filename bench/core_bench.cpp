// SPDX-License-Identifier: MIT
// Native phases of one decomposition against the sort floor, on the data
// sets of bench/datasets (uniform, clusters, geoline), d = 2 and 3.
//   core_bench --benchmark_filter=...   (Google Benchmark flags)
#include <benchmark/benchmark.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "checks.h"
#include "pair_search.h"
#include "pool.h"
#include "sorted_lists.h"
#include "split_tree.h"

namespace {

enum data_set { uniform = 0, clusters = 1, geoline = 2 };
const char* const set_names[] = {"uniform", "clusters", "geoline"};

std::vector<point> make_points(int set, int32_t n, int32_t d) {
    std::mt19937_64 rng(12345);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<point> pts;
    pts.reserve(static_cast<size_t>(n));
    if (set == uniform) {
        for (int32_t i = 0; i < n; ++i) {
            std::vector<double> c(static_cast<size_t>(d));
            for (auto& v : c) v = unit(rng);
            pts.emplace_back(c);
        }
    } else if (set == clusters) {
        const double spread[] = {0.001, 0.01, 0.05};
        std::vector<std::vector<double>> centres(32, std::vector<double>(static_cast<size_t>(d)));
        for (auto& c : centres)
            for (auto& v : c) v = unit(rng);
        std::uniform_int_distribution<int> pick(0, 31);
        for (int32_t i = 0; i < n; ++i) {
            const int k = pick(rng);
            std::normal_distribution<double> g(0.0, spread[k % 3]);
            std::vector<double> c(static_cast<size_t>(d));
            for (size_t t = 0; t < c.size(); ++t) c[t] = centres[static_cast<size_t>(k)][t] + g(rng);
            pts.emplace_back(c);
        }
    } else {
        std::vector<double> xs(static_cast<size_t>(n));
        for (int32_t i = 0; i < n; ++i) xs[static_cast<size_t>(i)] = std::exp2(400.0 * i / (n - 1));
        std::shuffle(xs.begin(), xs.end(), rng);
        for (double x : xs) {
            std::vector<double> c(static_cast<size_t>(d), 0.0);
            c[0] = x;
            pts.emplace_back(c);
        }
    }
    for (size_t i = 0; i < pts.size(); ++i) pts[i].index = static_cast<int32_t>(i);
    return pts;
}

void add_args(benchmark::internal::Benchmark* b) {
    for (int set : {uniform, clusters, geoline})
        for (int d : {2, 3})
            for (int n : {10000, 100000, 1000000}) b->Args({set, d, n});
    b->Unit(benchmark::kMillisecond)->UseRealTime();
}

void label(benchmark::State& state) {
    state.SetLabel(std::string(set_names[state.range(0)]) + "/d" + std::to_string(state.range(1)));
}

// d std::sort calls over n indices compared by coordinate.
void sort_floor(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(2));
    const auto d = static_cast<int32_t>(state.range(1));
    const std::vector<point> pts = make_points(static_cast<int>(state.range(0)), n, d);
    std::vector<int32_t> order(static_cast<size_t>(n));
    for (auto _ : state) {
        for (int32_t t = 0; t < d; ++t) {
            std::iota(order.begin(), order.end(), 0);
            std::sort(order.begin(), order.end(), [&](int32_t a, int32_t b) {
                return pts[static_cast<size_t>(a)].coord[static_cast<size_t>(t)] <
                       pts[static_cast<size_t>(b)].coord[static_cast<size_t>(t)];
            });
        }
        benchmark::DoNotOptimize(order.data());
    }
    label(state);
}

// The driver's construction: the d sorted lists, then the fair split tree
// (which releases the lists and numbers the leaves into `order`). Adds the
// time the sorts took to *sort_seconds.
split_node* construct(std::vector<point>& pts, int32_t n, int32_t d, block_pool& pool,
                      std::vector<int32_t>& order, double* sort_seconds) {
    const auto t0 = std::chrono::steady_clock::now();
    list_set* lists = pool.take_array<sorted_list>(static_cast<size_t>(d));
    for (int32_t t = 0; t < d; ++t) lists[t] = build_sorted_list(pts.data(), n, t, pool);
    *sort_seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
    order.resize(static_cast<size_t>(n));
    return build_split_tree(lists, n, d, pool, order.data());
}

void sorts_and_tree(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(2));
    const auto d = static_cast<int32_t>(state.range(1));
    std::vector<point> pts = make_points(static_cast<int>(state.range(0)), n, d);
    std::vector<int32_t> order;
    double sort_s = 0.0;
    for (auto _ : state) {
        block_pool pool;
        split_node* root = construct(pts, n, d, pool, order, &sort_s);
        benchmark::DoNotOptimize(root);
        state.PauseTiming();
        release_tree(root, pool);
        state.ResumeTiming();
    }
    state.counters["sorts_ms"] = benchmark::Counter(sort_s * 1e3 / static_cast<double>(state.iterations()));
    state.counters["per_point"] = benchmark::Counter(
        static_cast<double>(n), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    label(state);
}

// Pair search at s = range(3). The builder numbers the leaves; the point sets
// are runs of that order, materialised only when the module builds the
// Python lists.
void search(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(2));
    const auto d = static_cast<int32_t>(state.range(1));
    const auto s = static_cast<double>(state.range(3));
    std::vector<point> pts = make_points(static_cast<int>(state.range(0)), n, d);
    block_pool pool;
    std::vector<int32_t> order;
    double sort_s = 0.0;
    split_node* root = construct(pts, n, d, pool, order, &sort_s);
    size_t pairs = 0;
    size_t sizes = 0;
    for (auto _ : state) {
        pair_list out;
        decompose_node(root, s, d, out);
        state.PauseTiming();
        pairs = out.pairs.size();
        sizes = 0;
        for (const auto& p : out.pairs)
            sizes += static_cast<size_t>(p.first.count) + static_cast<size_t>(p.second.count);
        { pair_list gone = std::move(out); }
        state.ResumeTiming();
    }
    release_tree(root, pool);
    state.counters["pairs_per_point"] = static_cast<double>(pairs) / n;
    state.counters["sizes_per_point"] = static_cast<double>(sizes) / n;
    state.counters["per_pair"] = benchmark::Counter(
        static_cast<double>(pairs), benchmark::Counter::kIsIterationInvariantRate | benchmark::Counter::kInvert);
    label(state);
}

// The input checks the module runs before the driver.
void checks(benchmark::State& state) {
    const auto n = static_cast<int32_t>(state.range(2));
    const auto d = static_cast<int32_t>(state.range(1));
    const std::vector<point> pts = make_points(static_cast<int>(state.range(0)), n, d);
    for (auto _ : state) check_input(n, d, 2.0, pts);
    label(state);
}

}  // namespace

BENCHMARK(checks)->Apply(add_args);
BENCHMARK(sort_floor)->Apply(add_args);
BENCHMARK(sorts_and_tree)->Apply(add_args);
BENCHMARK(search)->Apply([](benchmark::internal::Benchmark* b) {
    for (int set : {uniform, clusters, geoline})
        for (int d : {2, 3})
            for (int n : {10000, 100000, 1000000}) b->Args({set, d, n, 2});
    b->Args({uniform, 2, 1000000, 4});
    b->Unit(benchmark::kMillisecond)->UseRealTime();
});

BENCHMARK_MAIN();
