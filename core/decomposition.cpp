// SPDX-License-Identifier: MIT
#include "decomposition.h"

#include <cstddef>
#include <cstring>

#include "checks.h"

split_tree checked_tree(raw_array<double>& x, index_t n, int32_t d, int workers, interrupt& stop) {
    check_point_count(n);
    check_coordinates(x.data(), n, d, stop);
    try {
        return build_split_tree(x, n, d, workers, stop);
    } catch (const coincident_points&) {
        // The builder finds equal points for free; naming them takes a
        // search of its own (the builder has handed the values back).
        check_distinct(x.data(), n, d, stop);
        throw;
    }
}

split_tree checked_tree(const double* x, index_t n, int32_t d, int workers, interrupt& stop) {
    check_point_count(n);
    raw_array<double> copy(static_cast<std::size_t>(n) * static_cast<std::size_t>(d));
    std::memcpy(copy.data(), x, copy.size() * sizeof(double));
    return checked_tree(copy, n, d, workers, stop);
}

pair_list decompose(const split_tree& tree, double s, int workers, interrupt& stop) {
    check_separation(s);
    pair_list out;
    out.pairs = search_pairs(tree, s, workers, stop);
    out.order.resize(tree.order.size());
    std::memcpy(out.order.data(), tree.order.data(), tree.order.size() * sizeof(int32_t));
    return out;
}

pair_list decompose(split_tree&& tree, double s, int workers, interrupt& stop) {
    check_separation(s);
    pair_list out;
    out.pairs = search_pairs(tree, s, workers, stop);
    out.order = std::move(tree.order);
    return out;
}

pair_count count_decomposition(const split_tree& tree, double s, int workers, interrupt& stop) {
    check_separation(s);
    return count_pairs(tree, s, workers, stop);
}
