// SPDX-License-Identifier: MIT
#include "test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstring>
#include <numeric>
#include <random>
#include <set>
#include <sstream>

namespace {

using std::size_t;

inline size_t at(int32_t i) { return static_cast<size_t>(i); }

// Uniform in [0, 1) from the top 53 bits: the same on every platform,
// unlike the standard distributions.
double unit(std::mt19937_64& rng) { return static_cast<double>(rng() >> 11) * 0x1.0p-53; }

int32_t below(std::mt19937_64& rng, int32_t bound) {
    return static_cast<int32_t>(rng() % static_cast<uint64_t>(bound));
}

double value(const point_set& set, int32_t i, size_t k) { return set.x[at(i) * at(set.d) + k]; }

template <typename Fill>
point_set random_set(int32_t n, int32_t d, Fill fill) {
    point_set set{n, d, std::vector<double>(at(n) * at(d))};
    for (int32_t i = 0; i < n; ++i) fill(&set.x[at(i) * at(d)]);
    return without_duplicates(set);
}

void shuffle_rows(point_set& set, uint64_t seed) {
    std::mt19937_64 rng(seed);
    const size_t d = at(set.d);
    for (size_t i = at(set.n); i > 1; --i)
        std::swap_ranges(set.x.begin() + static_cast<std::ptrdiff_t>((i - 1) * d),
                         set.x.begin() + static_cast<std::ptrdiff_t>(i * d),
                         set.x.begin() + static_cast<std::ptrdiff_t>((rng() % i) * d));
}

std::string set_text(const std::vector<int32_t>& set) {
    std::ostringstream out;
    out << '[';
    for (size_t i = 0; i < set.size() && i < 8; ++i) out << (i ? ", " : "") << set[i];
    if (set.size() > 8) out << ", ... (" << set.size() << ")";
    return out.str() + "]";
}

// Failures of one kind: the count and the first few, so that a broken
// decomposition of thousands of points reports in a few lines.
struct failure_log {
    explicit failure_log(const char* kind) : what(kind) {}
    const char* what;
    int64_t count = 0;
    std::string examples;
    void add(const std::string& message) {
        if (count++ < 3) examples += "\n  " + message;
    }
    void report() const {
        if (count > 0) ADD_FAILURE() << count << " x " << what << ", e.g." << examples;
    }
};

// The box of a set from its coordinates, in the builder's arithmetic:
// centre (low + high) * 0.5, radius summed in dimension order, so that
// results compare bit for bit.
void box_of(const point_set& set, const int32_t* points, size_t count, std::vector<double>& center, double& radius) {
    center.assign(at(set.d), 0.0);
    double sum = 0.0;
    for (size_t k = 0; k < at(set.d); ++k) {
        double lo = value(set, points[0], k);
        double hi = lo;
        for (size_t j = 1; j < count; ++j) {
            lo = std::min(lo, value(set, points[j], k));
            hi = std::max(hi, value(set, points[j], k));
        }
        center[k] = (lo + hi) * 0.5;
        const double h = (hi - lo) * 0.5;
        sum = sum + h * h;
    }
    radius = std::sqrt(sum);
}

double distance(const std::vector<double>& a, const std::vector<double>& b) {
    double sum = 0.0;
    for (size_t k = 0; k < a.size(); ++k) {
        const double diff = a[k] - b[k];
        sum = sum + diff * diff;
    }
    return std::sqrt(sum);
}

}  // namespace

point_set make_set(const std::vector<std::vector<double>>& rows) {
    point_set set{static_cast<int32_t>(rows.size()), static_cast<int32_t>(rows.at(0).size()), {}};
    for (const auto& row : rows) set.x.insert(set.x.end(), row.begin(), row.end());
    return set;
}

std::vector<point> as_points(const point_set& set) {
    std::vector<point> pts;
    for (int32_t i = 0; i < set.n; ++i) {
        const auto begin = set.x.begin() + static_cast<std::ptrdiff_t>(at(i) * at(set.d));
        pts.emplace_back(std::vector<double>(begin, begin + set.d));
    }
    return pts;
}

point_set uniform_points(int32_t n, int32_t d, uint64_t seed, double lo, double hi) {
    std::mt19937_64 rng(seed);
    return random_set(n, d, [&](double* row) {
        for (int32_t k = 0; k < d; ++k) row[k] = lo + (hi - lo) * unit(rng);
    });
}

point_set grid_points(int32_t n, int32_t d, uint64_t seed, int32_t side) {
    std::mt19937_64 rng(seed);
    return random_set(n, d, [&](double* row) {
        for (int32_t k = 0; k < d; ++k) row[k] = below(rng, side);
    });
}

point_set cluster_points(int32_t n, int32_t d, uint64_t seed, int32_t clusters, double spread) {
    std::mt19937_64 rng(seed);
    std::vector<double> centres(at(clusters) * at(d));
    for (double& c : centres) c = 100.0 * unit(rng);
    return random_set(n, d, [&](double* row) {
        const double* centre = &centres[at(below(rng, clusters)) * at(d)];
        for (int32_t k = 0; k < d; ++k) row[k] = centre[k] + spread * (2.0 * unit(rng) - 1.0);
    });
}

point_set geometric_line(int32_t lo_exp, int32_t hi_exp, int32_t d, uint64_t seed) {
    point_set set{hi_exp - lo_exp + 1, d, {}};
    set.x.assign(at(set.n) * at(d), 0.0);
    for (int32_t e = lo_exp; e <= hi_exp; ++e) set.x[at(e - lo_exp) * at(d)] = std::ldexp(1.0, e);
    if (seed != 0) shuffle_rows(set, seed);
    return set;
}

point_set geoline_points(int32_t n, int32_t d, uint64_t seed) {
    point_set set{n, d, std::vector<double>(at(n) * at(d), 0.0)};
    for (int32_t i = 0; i < n; ++i) set.x[at(i) * at(d)] = std::exp2(400.0 * i / (n - 1));
    shuffle_rows(set, seed);
    return set;
}

point_set without_duplicates(const point_set& set) {
    point_set out{0, set.d, {}};
    std::set<std::vector<double>> seen;
    for (int32_t i = 0; i < set.n; ++i) {
        const auto row = set.x.begin() + static_cast<std::ptrdiff_t>(at(i) * at(set.d));
        if (!seen.emplace(row, row + set.d).second) continue;
        out.x.insert(out.x.end(), row, row + set.d);
        ++out.n;
    }
    return out;
}

const char* kind_name(data_kind kind) {
    static const char* const names[] = {"uniform", "grid", "clusters", "geoline", "tailed"};
    return names[static_cast<int>(kind)];
}

// Seeds and sizes are the caller's; every kind is reproducible from them.
point_set sample(data_kind kind, int32_t n, int32_t d, uint64_t seed) {
    switch (kind) {
        case data_kind::uniform: return uniform_points(n, d, seed, -1.0, 1.0);
        case data_kind::grid: {
            // About n cells in all, so that ties are everywhere but
            // duplicates do not eat the set.
            const auto side = static_cast<int32_t>(std::ceil(std::pow(3.0 * n, 1.0 / d)));
            return grid_points(n, d, seed, std::max(side, 2));
        }
        case data_kind::clusters: return cluster_points(n, d, seed, 7, 0.5);
        case data_kind::geoline: return geoline_points(n, d, seed);
        case data_kind::tailed: {
            // Each tail point is twice as far as the one before, so every
            // cut near the top peels one or two points.
            point_set set = uniform_points(n - 40, d, seed);
            for (int32_t j = 1; j <= 40; ++j) {
                std::vector<double> row(at(d), 0.5);
                row[0] = std::ldexp(1.0, j);
                set.x.insert(set.x.end(), row.begin(), row.end());
                ++set.n;
            }
            shuffle_rows(set, seed + 1);
            return set;
        }
    }
    return {};
}

split_tree build_tree(const point_set& set, int workers) {
    interrupt never;
    return build_split_tree(set.x.data(), set.n, set.d, workers, never);
}

ref_tree reference_tree(const point_set& set) {
    ref_tree tree;
    tree.nodes.emplace_back();
    tree.nodes[0].points.resize(at(set.n));
    std::iota(tree.nodes[0].points.begin(), tree.nodes[0].points.end(), 0);
    std::vector<int32_t> work{0};
    while (!work.empty()) {
        const int32_t id = work.back();
        work.pop_back();
        const std::vector<int32_t> points = tree.nodes[at(id)].points;
        ref_node& x = tree.nodes[at(id)];
        if (points.size() == 1) {
            const auto begin = set.x.begin() + static_cast<std::ptrdiff_t>(at(points[0]) * at(set.d));
            x.center.assign(begin, begin + set.d);
            continue;
        }
        box_of(set, points.data(), points.size(), x.center, x.radius);
        // First longest side; mid = extent * 0.5 + low; peel the smaller of
        // the two sides that include points on mid, the low one on a tie.
        double best = -1.0;
        size_t dim = 0;
        double low_of_best = 0.0;
        for (size_t k = 0; k < at(set.d); ++k) {
            double lo = value(set, points[0], k);
            double hi = lo;
            for (int32_t i : points) {
                lo = std::min(lo, value(set, i, k));
                hi = std::max(hi, value(set, i, k));
            }
            if (hi - lo > best) {
                best = hi - lo;
                dim = k;
                low_of_best = lo;
            }
        }
        const double mid = best * 0.5 + low_of_best;
        size_t at_or_below = 0;
        size_t at_or_above = 0;
        for (int32_t i : points) {
            at_or_below += value(set, i, dim) <= mid;
            at_or_above += value(set, i, dim) >= mid;
        }
        const bool peel_low = at_or_below <= at_or_above;
        ref_node peeled;
        ref_node rest;
        for (int32_t i : points) {
            const double v = value(set, i, dim);
            (peel_low ? v <= mid : v >= mid) ? peeled.points.push_back(i) : rest.points.push_back(i);
        }
        if (peeled.points.empty() || rest.points.empty()) {
            ADD_FAILURE() << "reference tree: a cut of " << set_text(points) << " left one side empty";
            return tree;
        }
        const auto right = static_cast<int32_t>(tree.nodes.size());
        x.right = right;
        x.left = right + 1;
        tree.nodes.push_back(std::move(peeled));
        tree.nodes.push_back(std::move(rest));
        work.push_back(right);
        work.push_back(right + 1);
    }
    // Leaf positions: a node's points are the run from first_leaf.
    int32_t next_leaf = 0;
    for (std::vector<int32_t> stack{0}; !stack.empty();) {
        ref_node& x = tree.nodes[at(stack.back())];
        stack.pop_back();
        x.first_leaf = next_leaf;
        if (x.left < 0) {
            ++next_leaf;
        } else {
            stack.push_back(x.right);
            stack.push_back(x.left);
        }
    }
    return tree;
}

std::vector<int32_t> leaf_order(const ref_tree& ref) {
    std::vector<int32_t> order;
    for (std::vector<int32_t> stack{0}; !stack.empty();) {
        const ref_node& x = ref.nodes[at(stack.back())];
        stack.pop_back();
        if (x.left < 0) {
            order.push_back(x.points[0]);
        } else {
            stack.push_back(x.right);
            stack.push_back(x.left);
        }
    }
    return order;
}

void expect_tree_matches_reference(const split_tree& tree, const ref_tree& ref) {
    const int32_t n = static_cast<int32_t>(ref.nodes[0].points.size());
    ASSERT_EQ(tree.n, n);
    ASSERT_EQ(tree.node_count(), 2 * at(n) - 1);
    ASSERT_EQ(tree.records.size(), tree.node_count() * tree.node_stride());
    ASSERT_EQ(tree.order.size(), at(n));
    ASSERT_EQ(std::vector<int32_t>(tree.order.begin(), tree.order.end()), leaf_order(ref));
    // Reference nodes in preorder, left first, are the tree's positions.
    int32_t position = 0;
    for (std::vector<int32_t> stack{0}; !stack.empty(); ++position) {
        const ref_node& r = ref.nodes[at(stack.back())];
        stack.pop_back();
        const split_node& x = tree.node(position);
        const auto size = static_cast<int32_t>(r.points.size());
        const std::string where = "node " + std::to_string(position) + " over " + set_text(r.points);
        ASSERT_EQ(x.size, size) << where;
        ASSERT_EQ(x.first_leaf, r.first_leaf) << where;
        if (r.left < 0) {
            ASSERT_TRUE(x.left == -1 && x.right == -1) << where;
            ASSERT_EQ(tree.order[at(x.first_leaf)], r.points[0]) << where;
        } else {
            const auto left_size = static_cast<int32_t>(ref.nodes[at(r.left)].points.size());
            ASSERT_EQ(x.left, position + 1) << where;
            ASSERT_EQ(x.right, position + 2 * left_size) << where;
            stack.push_back(r.right);
            stack.push_back(r.left);
        }
        const double* c = tree.center(position);
        ASSERT_EQ(std::memcmp(c, r.center.data(), at(tree.d) * sizeof(double)), 0) << "centre of " << where;
        ASSERT_EQ(std::memcmp(&x.radius, &r.radius, sizeof(double)), 0)
            << "radius of " << where << ": " << x.radius << " vs " << r.radius;
    }
}

std::string tree_shape(const split_tree& tree) {
    std::string out;
    // Each entry: a node, or -1 for a closing parenthesis.
    for (std::vector<int32_t> stack{0}; !stack.empty();) {
        const int32_t id = stack.back();
        stack.pop_back();
        if (id < 0) {
            out += ")";
            continue;
        }
        if (!out.empty() && out.back() != '(') out += " ";
        const split_node& x = tree.node(id);
        if (x.left < 0) {
            out += std::to_string(tree.order[at(x.first_leaf)]);
        } else {
            out += "(";
            stack.insert(stack.end(), {-1, x.right, x.left});
        }
    }
    return out;
}

namespace {

// Plain recursion, depth about twice the tree's: fine for the few thousand
// points the suites compare.
struct reference_search {
    const ref_tree& ref;
    double s;
    int32_t d;
    std::vector<separated_pair> out;

    const ref_node& node(int32_t id) const { return ref.nodes[at(id)]; }
    bool leaf(int32_t id) const { return node(id).left < 0; }
    index_run run(int32_t id) const {
        return index_run{node(id).first_leaf, static_cast<int32_t>(node(id).points.size())};
    }

    bool separated(int32_t u, int32_t v) const {
        const double r = std::max(node(u).radius, node(v).radius);
        if (r < std::sqrt(DBL_MIN)) return false;
        return distance(node(u).center, node(v).center) - (r + r) > r * s;
    }

    void find(int32_t u, int32_t v) {
        if ((leaf(u) && leaf(v)) || separated(u, v)) {
            out.push_back(separated_pair{run(u), run(v)});
        } else if (leaf(v) || (!leaf(u) && node(u).radius > node(v).radius)) {
            find(node(u).right, v);
            find(node(u).left, v);
        } else {
            find(u, node(v).right);
            find(u, node(v).left);
        }
    }

    void decompose(int32_t id) {
        if (leaf(id)) return;
        find(node(id).left, node(id).right);
        decompose(node(id).right);
        decompose(node(id).left);
    }
};

}  // namespace

std::vector<separated_pair> reference_pairs(const ref_tree& ref, double s, int32_t d) {
    reference_search search{ref, s, d, {}};
    search.decompose(0);
    return std::move(search.out);
}

void expect_same_pairs(const raw_array<separated_pair>& got, const std::vector<separated_pair>& want) {
    ASSERT_EQ(got.size(), want.size());
    for (size_t p = 0; p < got.size(); ++p) {
        const separated_pair& a = got[p];
        const separated_pair& b = want[p];
        ASSERT_TRUE(a.first.start == b.first.start && a.first.count == b.first.count &&
                    a.second.start == b.second.start && a.second.count == b.second.count)
            << "pair " << p << ": (" << a.first.start << "+" << a.first.count << ", " << a.second.start << "+"
            << a.second.count << ") instead of (" << b.first.start << "+" << b.first.count << ", "
            << b.second.start << "+" << b.second.count << ")";
    }
}

namespace {

// Centre and radius of a set's bounding box in long double.
void wide_box(const point_set& set, const std::vector<int32_t>& points, std::vector<long double>& center,
              long double& radius) {
    const auto d = static_cast<size_t>(set.d);
    center.assign(d, 0.0L);
    long double square = 0.0L;
    for (size_t k = 0; k < d; ++k) {
        long double low = set.x[static_cast<size_t>(points[0]) * d + k];
        long double high = low;
        for (int32_t i : points) {
            const long double v = set.x[static_cast<size_t>(i) * d + k];
            low = std::min(low, v);
            high = std::max(high, v);
        }
        center[k] = (low + high) / 2.0L;
        square += (high - low) * (high - low) / 4.0L;
    }
    radius = std::sqrt(square);
}

}  // namespace

void expect_valid_decomposition(const point_set& set, double s, const raw_array<int32_t>& order,
                                const raw_array<separated_pair>& pairs) {
    const int32_t n = set.n;
    ASSERT_EQ(order.size(), at(n)) << "leaf order length";
    std::vector<char> seen(at(n), 0);
    for (int32_t i : order) {
        ASSERT_TRUE(i >= 0 && i < n) << "index " << i << " in the leaf order";
        ASSERT_EQ(seen[at(i)]++, 0) << "index " << i << " twice in the leaf order";
    }
    failure_log bad_run("runs outside the leaf order or empty");
    failure_log shared("pairs with an index in both sets");
    failure_log not_separated("pairs that are not well separated");
    failure_log twice("index pairs covered more than once");
    failure_log missing("index pairs not covered");

    // One bit per unordered pair, a < b, so that the check stays cheap for
    // tens of thousands of points; runs are checked before they are read.
    const auto count = static_cast<uint64_t>(n);
    std::vector<uint64_t> covered((count * count / 2 + 64) / 64, 0);
    auto bit = [&](uint64_t a, uint64_t b) { return a * count - a * (a + 1) / 2 + (b - a - 1); };
    std::vector<size_t> stamp(at(n), 0);
    std::vector<long double> wa;
    std::vector<long double> wb;
    for (size_t p = 0; p < pairs.size(); ++p) {
        const index_run one = pairs[p].first;
        const index_run two = pairs[p].second;
        bool inside = true;
        for (const index_run& run : {one, two}) inside = inside && run.start >= 0 && run.count >= 1 && run.start <= n - run.count;
        if (!inside) {
            bad_run.add("pair " + std::to_string(p));
            continue;
        }
        const std::vector<int32_t> first = set_indices(order, one);
        const std::vector<int32_t> second = set_indices(order, two);
        auto where = [&] { return "pair " + std::to_string(p) + " " + set_text(first) + " / " + set_text(second); };
        for (int32_t a : first) stamp[at(a)] = p + 1;
        for (int32_t b : second)
            if (stamp[at(b)] == p + 1) shared.add(where());
        for (int32_t a : first)
            for (int32_t b : second) {
                if (a == b) continue;
                const uint64_t k = bit(static_cast<uint64_t>(std::min(a, b)), static_cast<uint64_t>(std::max(a, b)));
                if (covered[k / 64] >> (k % 64) & 1) twice.add(std::to_string(a) + " and " + std::to_string(b));
                covered[k / 64] |= uint64_t{1} << (k % 64);
            }
        // Two single points are a pair whatever their distance; a tiny
        // larger radius is never separated by the search, so such a pair
        // can only be two leaves.
        if (first.size() == 1 && second.size() == 1) continue;
        // Recomputed in long double, whose wider range neither overflows nor
        // underflows where doubles do, so that this check does not share the
        // search's arithmetic; with a relative slack of 1e-9, since on exact
        // ties (grids: dist - 2r = s r = sqrt(3) / 2) either side's roundings
        // may tip the test.
        long double ra = 0.0L;
        long double rb = 0.0L;
        wide_box(set, first, wa, ra);
        wide_box(set, second, wb, rb);
        const long double r = std::max(ra, rb);
        if (r < std::sqrt(static_cast<long double>(DBL_MIN)) * (1.0L - 1e-9L)) continue;
        long double square = 0.0L;
        for (size_t k = 0; k < wa.size(); ++k) square += (wa[k] - wb[k]) * (wa[k] - wb[k]);
        const long double gap = std::sqrt(square) - 2.0L * r;
        const long double slack = 1e-9L * (std::sqrt(square) + std::fabs(static_cast<long double>(s)) * r);
        if (!(gap > static_cast<long double>(s) * r - slack)) {
            std::ostringstream message;
            message.precision(17);
            message << where() << ": dist " << static_cast<double>(std::sqrt(square)) << ", r " << static_cast<double>(r);
            not_separated.add(message.str());
        }
    }
    for (uint64_t a = 0; a < count; ++a)
        for (uint64_t b = a + 1; b < count; ++b) {
            const uint64_t k = bit(a, b);
            if (!(covered[k / 64] >> (k % 64) & 1)) missing.add(std::to_string(a) + " and " + std::to_string(b));
        }
    for (const failure_log* log : {&bad_run, &shared, &not_separated, &twice, &missing}) log->report();
}

std::vector<int32_t> set_indices(const raw_array<int32_t>& order, const index_run& run) {
    const int32_t* begin = order.data() + run.start;
    return std::vector<int32_t>(begin, begin + run.count);
}

index_pairs expand_pairs(const raw_array<int32_t>& order, const raw_array<separated_pair>& pairs) {
    index_pairs out;
    for (const separated_pair& pair : pairs) out.emplace_back(set_indices(order, pair.first), set_indices(order, pair.second));
    return out;
}

std::string text(const index_pairs& pairs) {
    std::string out = "[";
    for (const auto& [first, second] : pairs) out += " " + set_text(first) + "|" + set_text(second);
    return out + " ]";
}

void expect_identical_trees(const split_tree& a, const split_tree& b) {
    ASSERT_EQ(a.n, b.n);
    ASSERT_EQ(a.d, b.d);
    ASSERT_EQ(a.records.size(), b.records.size());
    ASSERT_EQ(a.order.size(), b.order.size());
    EXPECT_EQ(std::memcmp(a.records.data(), b.records.data(), a.records.size() * sizeof(double)), 0) << "nodes";
    EXPECT_EQ(std::memcmp(a.order.data(), b.order.data(), a.order.size() * sizeof(int32_t)), 0) << "order";
}
