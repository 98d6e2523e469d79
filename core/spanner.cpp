// SPDX-License-Identifier: MIT
#include "spanner.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <exception>
#include <mutex>
#include <stdexcept>
#include <thread>
#include <utility>
#include <vector>

#include "checks.h"
#include "run_workers.h"

namespace {

using std::size_t;

constexpr size_t edges_between_polls = size_t{1} << 16;

// The points in the tree's leaf order, d values each: a leaf's centre is its
// point. Neighbouring pairs of the search have sets close together in this
// order, so their points are read from nearby memory.
raw_array<double> points_in_leaf_order(const split_tree& tree) {
    const auto d = static_cast<size_t>(tree.d);
    raw_array<double> out(static_cast<size_t>(tree.n) * d);
    const size_t nodes = tree.node_count();
    for (size_t i = 0; i < nodes; ++i) {
        const split_node& node = tree.node(static_cast<int32_t>(i));
        if (node.size == 1)
            std::memcpy(out.data() + static_cast<size_t>(node.first_leaf) * d, tree.center(static_cast<int32_t>(i)),
                        d * sizeof(double));
    }
    return out;
}

// Turns pairs [begin, end) into edges in place and writes their lengths. D
// is the dimension when it is small and known, 0 otherwise; the arithmetic
// is the same either way. Pairs and edges are copied with memcpy because
// the same bytes are read as one record and written as the other.
template <int D>
void edges_of(char* block, double* lengths, const int32_t* order, const double* points, int32_t d, size_t begin,
              size_t end, interrupt& stop) {
    const size_t dim = D > 0 ? D : static_cast<size_t>(d);
    for (size_t k = begin; k < end; ++k) {
        if ((k - begin) % edges_between_polls == edges_between_polls - 1) stop.poll();
        separated_pair pair;
        std::memcpy(&pair, block + k * sizeof pair, sizeof pair);
        const double* x = points + static_cast<size_t>(pair.first.start) * dim;
        const double* y = points + static_cast<size_t>(pair.second.start) * dim;
        double sum = 0.0;
        for (size_t c = 0; c < dim; ++c) {
            const double diff = x[c] - y[c];
            sum = sum + diff * diff;
        }
        lengths[k] = std::sqrt(sum);
        const int64_t i = order[pair.first.start];
        const int64_t j = order[pair.second.start];
        const int64_t edge[2] = {i < j ? i : j, i < j ? j : i};
        std::memcpy(block + k * sizeof pair, edge, sizeof edge);
    }
}

// Runs body(begin, end) over `workers` equal ranges of [0, count), as
// run_workers runs its bodies.
template <typename Body>
void in_ranges(size_t count, int workers, const Body& body) {
    const size_t parts = workers > 1 && count >= edges_between_polls ? static_cast<size_t>(workers) : 1;
    run_workers(static_cast<int>(parts), [&](int w, const std::atomic<bool>&) {
        const auto part = static_cast<size_t>(w);
        body(count * part / parts, count * (part + 1) / parts);
    });
}

}  // namespace

double spanner_separation(double t) {
    if (!(t > 1.0) || !std::isfinite(t))
    {
        char text[96];
        std::snprintf(text, sizeof text, "t must be a finite number greater than 1, got %.15g", t);
        throw std::invalid_argument(text);
    }
    const double s = 4.0 * (t + 1.0) / (t - 1.0);
    // 4(t + 1) overflows for t above DBL_MAX / 4, where s is 4 all the same.
    return std::isfinite(s) ? s : 4.0 * ((t + 1.0) / (t - 1.0));
}

spanner_graph spanner(const split_tree& tree, double t, int workers, interrupt& stop) {
    const double s = spanner_separation(t);
    check_separation(s);
    return spanner_from_pairs(tree, search_pairs(tree, s, workers, stop), workers, stop);
}

spanner_graph spanner_from_pairs(const split_tree& tree, raw_array<separated_pair>&& pairs, int workers,
                                 interrupt& stop) {
    spanner_graph out;
    out.edge_block = std::move(pairs);
    const size_t m = out.edge_block.size();
    out.lengths.resize(m);
    const raw_array<double> points = points_in_leaf_order(tree);
    char* block = reinterpret_cast<char*>(out.edge_block.data());
    // Each range's lengths are first written by the thread that fills them,
    // so the pages of the fresh array are faulted in on all workers.
    in_ranges(m, workers, [&](size_t begin, size_t end) {
        const int32_t* order = tree.order.data();
        switch (tree.d) {
            case 2: edges_of<2>(block, out.lengths.data(), order, points.data(), 2, begin, end, stop); break;
            case 3: edges_of<3>(block, out.lengths.data(), order, points.data(), 3, begin, end, stop); break;
            default: edges_of<0>(block, out.lengths.data(), order, points.data(), tree.d, begin, end, stop);
        }
    });
    return out;
}
