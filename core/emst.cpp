// SPDX-License-Identifier: MIT
#include "emst.h"


#include <algorithm>
#include <atomic>
#include <cassert>
#include <cmath>
#include <cstddef>
#include <cstring>
#include <exception>
#include <limits>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

#include "checks.h"
#include "run_workers.h"

namespace {

using std::size_t;

// Positions (or nodes) a worker takes at a time.
constexpr int32_t chunk_size = 1024;
// From this many points on, the kd-tree grows on two threads.
constexpr int32_t parallel_min = 1 << 16;
// Points (or nodes) between two polls of the interrupt.
constexpr int32_t poll_every = 4096;

// How the work is cut in d dimensions, as measured on uniform and clustered
// points at n = 1e6. Sets of at most `bucket` points are buckets of the query
// tree: scanning a few points costs less than visiting their boxes. Each
// position lists its `neighbours` nearest positions once, for the rounds to
// take from: more cost more to list in more dimensions, fewer leave more
// searches to the rounds. Up to 4 dimensions the points of a bucket search
// together, pruned by their common box; from 5 on, that box is so much wider
// than the points' neighbourhoods that each point searches alone.
struct tuning {
    int32_t bucket;
    int32_t neighbours;
    bool alone;
};

tuning tuning_for(int32_t d) {
    if (d <= 2) return tuning{16, 8, false};
    if (d <= 4) return tuning{32, 6, false};
    return tuning{32, 5, true};
}

// ---------------------------------------------------------------- query tree

struct kd_node {
    int32_t first;  // the node's points are positions first .. first + count
    int32_t count;
    int32_t right;  // the right child; -1 in a bucket. The left child follows the node.
    int32_t comp;   // the component all its points are in, or -1
};

// The split tree cut down to buckets, with tight bounding boxes and the
// points copied into leaf order. `ids` orders positions for tie-breaks: it
// ascends with the index the caller reports for the position.
struct query_tree {
    int32_t m = 0;
    int32_t d = 0;
    int32_t bucket = 0;  // the most points in a bucket
    raw_array<double> points;  // d values per position
    raw_array<int32_t> ids;
    raw_array<kd_node> nodes;  // preorder
    raw_array<double> boxes;   // per node: d low values, then d high ones

    const double* point(int32_t p) const { return points.data() + static_cast<size_t>(p) * static_cast<size_t>(d); }
    const double* low(int32_t k) const { return boxes.data() + 2 * static_cast<size_t>(k) * static_cast<size_t>(d); }
};

void fit_boxes(query_tree& t, interrupt& stop) {
    const size_t dims = static_cast<size_t>(t.d);
    t.boxes.resize(2 * dims * t.nodes.size());
    for (size_t k = t.nodes.size(); k-- > 0;) {
        if (k % poll_every == 0) stop.poll();
        const kd_node& node = t.nodes[k];
        double* low = t.boxes.data() + 2 * k * dims;
        double* high = low + dims;
        if (node.right < 0) {
            std::memcpy(low, t.point(node.first), dims * sizeof(double));
            std::memcpy(high, t.point(node.first), dims * sizeof(double));
            for (int32_t p = node.first + 1; p < node.first + node.count; ++p) {
                const double* x = t.point(p);
                for (size_t j = 0; j < dims; ++j) {
                    low[j] = std::min(low[j], x[j]);
                    high[j] = std::max(high[j], x[j]);
                }
            }
        } else {
            const double* a = t.low(static_cast<int32_t>(k + 1));
            const double* b = t.low(node.right);
            for (size_t j = 0; j < dims; ++j) {
                low[j] = std::min(a[j], b[j]);
                high[j] = std::max(a[dims + j], b[dims + j]);
            }
        }
    }
}

query_tree derive_query_tree(const split_tree& tree, interrupt& stop) {
    query_tree t;
    t.m = tree.n;
    t.d = tree.d;
    t.bucket = tuning_for(tree.d).bucket;
    const size_t dims = static_cast<size_t>(tree.d);
    const auto nodes = static_cast<int32_t>(tree.node_count());
    t.points.resize(static_cast<size_t>(tree.n) * dims);
    t.ids.resize(static_cast<size_t>(tree.n));
    std::memcpy(t.ids.data(), tree.order.data(), t.ids.size() * sizeof(int32_t));
    // A leaf's centre is its point.
    for (int32_t i = 0; i < nodes; ++i) {
        if (i % poll_every == 0) stop.poll();
        const split_node& node = tree.node(i);
        if (node.left < 0)
            std::memcpy(t.points.data() + static_cast<size_t>(node.first_leaf) * dims, tree.center(i),
                        dims * sizeof(double));
    }
    // Preorder walk that skips the inside of small subtrees; an inner node
    // waits on the stack until its right subtree, which comes next once its
    // left subtree is done, gets its position.
    std::vector<std::pair<int32_t, int32_t>> waiting;  // (query node, split node of its right child)
    t.nodes.reserve(static_cast<size_t>(2 * (tree.n / t.bucket + 1)));
    for (int32_t q = 0; q < nodes;) {
        if (q % poll_every == 0) stop.poll();
        const split_node& node = tree.node(q);
        const auto k = static_cast<int32_t>(t.nodes.size());
        if (!waiting.empty() && waiting.back().second == q) {
            t.nodes[static_cast<size_t>(waiting.back().first)].right = k;
            waiting.pop_back();
        }
        if (node.size <= t.bucket) {
            t.nodes.push_back(kd_node{node.first_leaf, node.size, -1, -1});
            q += 2 * node.size - 1;
        } else {
            t.nodes.push_back(kd_node{node.first_leaf, node.size, 0, -1});
            waiting.emplace_back(k, node.right);
            q += 1;
        }
    }
    assert(waiting.empty());
    fit_boxes(t, stop);
    return t;
}

// Grows the subtree of positions first .. first + count of t (points and
// ids in place) into `nodes` and `boxes`, by the fair split rule cut off at
// buckets: a set of more than t.bucket points is cut across the longest
// side of its bounding box, through the middle. Sets come off a stack, left
// ones first, so that nodes land in preorder; positions of nodes count from
// the subtree's root. With `root_only`, stops after the root, whose `right`
// then holds the size of its left set. Returns false when more than
// t.bucket points are all equal: buckets of equal points would not end.
bool grow(query_tree& t, int32_t first, int32_t count, raw_array<kd_node>& nodes, raw_array<double>& boxes,
          bool root_only, interrupt& stop) {
    const size_t dims = static_cast<size_t>(t.d);
    struct task {
        int32_t first;
        int32_t count;
        int32_t parent;  // the node whose right child this set is, or -1
    };
    std::vector<task> tasks{task{first, count, -1}};
    std::vector<double> box(2 * dims);
    int64_t work = 0;
    while (!tasks.empty()) {
        const task set = tasks.back();
        tasks.pop_back();
        const auto k = static_cast<int32_t>(nodes.size());
        if (set.parent >= 0) nodes[static_cast<size_t>(set.parent)].right = k;
        double* low = box.data();
        double* high = low + dims;
        std::memcpy(low, t.point(set.first), dims * sizeof(double));
        std::memcpy(high, t.point(set.first), dims * sizeof(double));
        for (int32_t p = set.first + 1; p < set.first + set.count; ++p) {
            const double* v = t.point(p);
            for (size_t j = 0; j < dims; ++j) {
                low[j] = std::min(low[j], v[j]);
                high[j] = std::max(high[j], v[j]);
            }
        }
        work += set.count;
        if (work > poll_every * 16) {
            work = 0;
            stop.poll();
        }
        boxes.resize(boxes.size() + 2 * dims);
        std::memcpy(boxes.data() + boxes.size() - 2 * dims, box.data(), 2 * dims * sizeof(double));
        size_t cut = 0;
        for (size_t j = 1; j < dims; ++j)
            if (high[j] - low[j] > high[cut] - low[cut]) cut = j;
        if (set.count <= t.bucket) {
            nodes.push_back(kd_node{set.first, set.count, -1, -1});
            continue;
        }
        if (!(high[cut] > low[cut])) return false;
        // Points below the middle go left; if none is (the middle rounds
        // to the low end), those at the middle go too.
        const double middle = (low[cut] + high[cut]) / 2;
        const bool at_middle_left = !(middle > low[cut]);
        int32_t a = set.first;
        int32_t b = set.first + set.count - 1;
        double* pts = t.points.data();
        while (a <= b) {
            const double v = pts[static_cast<size_t>(a) * dims + cut];
            if (v < middle || (at_middle_left && v == middle)) {
                ++a;
                continue;
            }
            double* from = pts + static_cast<size_t>(a) * dims;
            double* to = pts + static_cast<size_t>(b) * dims;
            for (size_t j = 0; j < dims; ++j) std::swap(from[j], to[j]);
            std::swap(t.ids[static_cast<size_t>(a)], t.ids[static_cast<size_t>(b)]);
            --b;
        }
        const int32_t left = a - set.first;
        assert(left > 0 && left < set.count);
        nodes.push_back(kd_node{set.first, set.count, root_only ? left : 0, -1});
        if (root_only) return true;
        tasks.push_back(task{a, set.count - left, k});
        tasks.push_back(task{set.first, left, -1});
    }
    return true;
}

// The query tree straight from coordinates (see grow), the root's two
// subtrees on two threads when there are workers for it. Returns an empty
// tree when grow finds too many equal points.
query_tree bucket_tree(const double* x, int32_t n, int32_t d, int workers, interrupt& stop) {
    query_tree t;
    t.m = n;
    t.d = d;
    t.bucket = tuning_for(d).bucket;
    const size_t dims = static_cast<size_t>(d);
    t.points.resize(static_cast<size_t>(n) * dims);
    std::memcpy(t.points.data(), x, t.points.size() * sizeof(double));
    t.ids.resize(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) t.ids[static_cast<size_t>(i)] = i;
    const bool split = workers > 1 && n >= parallel_min;
    if (!grow(t, 0, n, t.nodes, t.boxes, split, stop)) return query_tree{};
    if (!split) return t;
    const int32_t left = t.nodes[0].right;
    raw_array<kd_node> nodes[2];
    raw_array<double> boxes[2];
    bool grown[2] = {false, false};
    run_workers(2, [&](int w, const std::atomic<bool>&) {
        grown[w] = w == 0 ? grow(t, 0, left, nodes[0], boxes[0], false, stop)
                          : grow(t, left, n - left, nodes[1], boxes[1], false, stop);
    });
    if (!grown[0] || !grown[1]) return query_tree{};
    for (int w = 0; w < 2; ++w) {
        const auto offset = static_cast<int32_t>(t.nodes.size());
        if (w == 1) t.nodes[0].right = offset;
        for (kd_node node : nodes[w]) {
            if (node.right >= 0) node.right += offset;
            t.nodes.push_back(node);
        }
        const size_t before = t.boxes.size();
        t.boxes.resize(before + boxes[w].size());
        std::memcpy(t.boxes.data() + before, boxes[w].data(), boxes[w].size() * sizeof(double));
    }
    return t;
}

// ---------------------------------------------------------------- Borůvka

// Nearest-neighbour searches in the query tree, distances summed in the
// order the edge order defines them.
template <int D>
class searcher {
public:
    searcher(const query_tree& t, const int32_t* comp) : t_(t), comp_(comp), d_(D > 0 ? D : t.d) {
        stack_.resize(64);
    }

    // For every position p of bucket `leaf`: the k positions nearest to p,
    // other than p, ascending by (squared distance, id), into
    // lists[p * k ..]; -1 fills the rest when there are fewer. The bucket's
    // points search together: one walk of the tree, pruned by box-to-box
    // distances against the largest of their k-th distances.
    void nearest_k(int32_t leaf, int32_t k, int32_t* lists) {
        const kd_node& mine = t_.nodes[static_cast<size_t>(leaf)];
        const int32_t first = mine.first;
        const int32_t count = mine.count;
        scratch_.assign(static_cast<size_t>(count) * static_cast<size_t>(k), std::numeric_limits<double>::infinity());
        for (int32_t i = 0; i < count * k; ++i) lists[static_cast<size_t>(first) * static_cast<size_t>(k) + static_cast<size_t>(i)] = -1;
        double worst = std::numeric_limits<double>::infinity();
        auto scan = [&](int32_t node) {
            const kd_node& other = t_.nodes[static_cast<size_t>(node)];
            for (int32_t a = 0; a < count; ++a) {
                const int32_t p = first + a;
                double* d2 = scratch_.data() + static_cast<size_t>(a) * static_cast<size_t>(k);
                int32_t* pos = lists + static_cast<size_t>(p) * static_cast<size_t>(k);
                const double* q = t_.point(p);
                if (node != leaf && box_distance(node, q) > d2[k - 1]) continue;
                for (int32_t r = other.first; r < other.first + other.count; ++r) {
                    if (r == p) continue;
                    const double dist = squared(q, t_.point(r));
                    if (dist <= d2[k - 1]) keep_nearest(r, dist, k, pos, d2);
                }
            }
            worst = 0.0;
            for (int32_t a = 0; a < count; ++a)
                worst = std::max(worst, scratch_[static_cast<size_t>(a) * static_cast<size_t>(k) + static_cast<size_t>(k - 1)]);
        };
        scan(leaf);
        const kd_node* nodes = t_.nodes.data();
        const double* box = t_.low(leaf);
        size_t top = 0;
        stack_[top++] = {0, 0.0};
        while (top > 0) {
            const entry e = stack_[--top];
            if (e.distance > worst || e.node == leaf) continue;
            const kd_node& node = nodes[e.node];
            if (node.right < 0) {
                scan(e.node);
                continue;
            }
            int32_t near = e.node + 1;
            int32_t far = node.right;
            double near_d = box_gap(near, box);
            double far_d = box_gap(far, box);
            if (far_d < near_d) {
                std::swap(near, far);
                std::swap(near_d, far_d);
            }
            if (top + 2 > stack_.size()) stack_.resize(2 * stack_.size());
            if (far_d <= worst) stack_[top++] = {far, far_d};
            if (near_d <= worst) stack_[top++] = {near, near_d};
        }
    }

    // The same lists, each point of the bucket searching alone, pruned by its
    // own k-th distance.
    void nearest_k_alone(int32_t leaf, int32_t k, int32_t* lists) {
        const kd_node& mine = t_.nodes[static_cast<size_t>(leaf)];
        scratch_.resize(static_cast<size_t>(k));
        double* d2 = scratch_.data();
        for (int32_t p = mine.first; p < mine.first + mine.count; ++p) {
            int32_t* pos = lists + static_cast<size_t>(p) * static_cast<size_t>(k);
            std::fill(pos, pos + k, -1);
            std::fill(d2, d2 + k, std::numeric_limits<double>::infinity());
            search(t_.point(p), [&](int32_t r, double dist) {
                if (r != p) keep_nearest(r, dist, k, pos, d2);
                return d2[k - 1];
            }, -1);
        }
    }

    // The position, in another component than p's, nearest to p among those
    // at squared distance at most `bound` (ties to the smaller id), or -1.
    int32_t nearest_foreign(int32_t p, double bound, double& found) {
        const int32_t c = comp_[p];
        const int32_t* ids = t_.ids.data();
        int32_t best = -1;
        int32_t best_id = std::numeric_limits<int32_t>::max();
        double best_d2 = bound;
        search(t_.point(p), [&](int32_t r, double dist) {
            if (comp_[r] != c && (dist < best_d2 || (dist == best_d2 && ids[r] < best_id))) {
                best = r;
                best_id = ids[r];
                best_d2 = dist;
            }
            return best_d2;
        }, c, bound);
        found = best_d2;
        return best;
    }

private:
    // Puts r, at squared distance `dist` (at most d2[k - 1]), into the k
    // positions `pos` ascending by (squared distance d2, id), if it belongs.
    void keep_nearest(int32_t r, double dist, int32_t k, int32_t* pos, double* d2) const {
        const int32_t* ids = t_.ids.data();
        const int32_t id = ids[r];
        int32_t i = k - 1;
        if (dist == d2[i] && pos[i] >= 0 && id > ids[pos[i]]) return;
        while (i > 0 && (dist < d2[i - 1] || (dist == d2[i - 1] && pos[i - 1] >= 0 && id < ids[pos[i - 1]]))) {
            pos[i] = pos[i - 1];
            d2[i] = d2[i - 1];
            --i;
        }
        pos[i] = r;
        d2[i] = dist;
    }

    double squared(const double* q, const double* x) const {
        double dist = 0.0;
        for (int32_t j = 0; j < d_; ++j) {
            const double diff = x[j] - q[j];
            dist += diff * diff;
        }
        return dist;
    }

    // Never more than the squared distance between a point of node k's box
    // and one of the box at `other` (d low values, then d high ones).
    double box_gap(int32_t k, const double* other) const {
        const double* low = t_.low(k);
        const double* high = low + d_;
        double sum = 0.0;
        for (int32_t j = 0; j < d_; ++j) {
            const double gap = std::max(low[j] - other[d_ + j], 0.0) + std::max(other[j] - high[j], 0.0);
            sum += gap * gap;
        }
        return sum;
    }

    // Never more than the squared distance from q to any point in node k's
    // box: each term is rounded from a difference no larger than the point's.
    double box_distance(int32_t k, const double* q) const {
        const double* low = t_.low(k);
        const double* high = low + d_;
        double sum = 0.0;
        for (int32_t j = 0; j < d_; ++j) {
            const double gap = std::max(low[j] - q[j], 0.0) + std::max(q[j] - high[j], 0.0);
            sum += gap * gap;
        }
        return sum;
    }

    // Offers every point of every node that may hold one within the bound
    // to `offer`, which returns the bound from then on; nodes all in
    // component `skip` are left out. Nearer children first.
    template <typename Offer>
    void search(const double* q, Offer&& offer, int32_t skip, double bound = std::numeric_limits<double>::infinity()) {
        const kd_node* nodes = t_.nodes.data();
        size_t top = 0;
        stack_[top++] = {0, 0.0};
        while (top > 0) {
            const entry e = stack_[--top];
            if (e.distance > bound) continue;
            const kd_node& node = nodes[e.node];
            if (node.right < 0) {
                const int32_t end = node.first + node.count;
                for (int32_t r = node.first; r < end; ++r) {
                    if (skip >= 0 && comp_[r] == skip) continue;
                    const double* x = t_.point(r);
                    double dist = 0.0;
                    for (int32_t j = 0; j < d_; ++j) {
                        const double diff = x[j] - q[j];
                        dist += diff * diff;
                    }
                    if (dist <= bound) bound = offer(r, dist);
                }
                continue;
            }
            int32_t near = e.node + 1;
            int32_t far = node.right;
            double near_d = box_distance(near, q);
            double far_d = box_distance(far, q);
            if (far_d < near_d) {
                std::swap(near, far);
                std::swap(near_d, far_d);
            }
            if (top + 2 > stack_.size()) stack_.resize(2 * stack_.size());
            if (far_d <= bound && (skip < 0 || nodes[far].comp != skip)) stack_[top++] = {far, far_d};
            if (near_d <= bound && (skip < 0 || nodes[near].comp != skip)) stack_[top++] = {near, near_d};
        }
    }

    struct entry {
        int32_t node;
        double distance;
    };

    const query_tree& t_;
    const int32_t* comp_;
    const int32_t d_;
    std::vector<entry> stack_;
    std::vector<double> scratch_;
};

// Non-negative doubles order as their bit patterns do.
uint64_t bits_of(double v) {
    uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    return bits;
}

double double_of(uint64_t bits) {
    double v;
    std::memcpy(&v, &bits, sizeof v);
    return v;
}

void lower_to(uint64_t* slot, double v) {
    const uint64_t want = bits_of(v);
    uint64_t seen = __atomic_load_n(slot, __ATOMIC_RELAXED);
    while (want < seen && !__atomic_compare_exchange_n(slot, &seen, want, true, __ATOMIC_RELAXED, __ATOMIC_RELAXED)) {
    }
}

int32_t find_root(int32_t* parent, int32_t p) {
    while (parent[p] != p) {
        parent[p] = parent[parent[p]];
        p = parent[p];
    }
    return p;
}

struct position_edge {
    double d2;
    int32_t a;
    int32_t b;
};

// Runs body(from, to) over the positions 0 .. m in chunks shared out to
// `workers` threads, polling `stop` between chunks.
template <typename Body>
void for_chunks(int32_t m, int workers, interrupt& stop, const Body& body) {
    std::atomic<int32_t> chunks{0};
    run_workers(workers, [&](int, const std::atomic<bool>& failed) {
        for (;;) {
            const int64_t from = int64_t{chunks.fetch_add(1, std::memory_order_relaxed)} * chunk_size;
            if (from >= m || failed.load(std::memory_order_relaxed)) return;
            stop.poll();
            body(static_cast<int32_t>(from), static_cast<int32_t>(std::min<int64_t>(m, from + chunk_size)));
        }
    });
}

// Borůvka's rounds: each component joins the least edge leaving it.
//
// Every position first gets its nearest positions (tuning::neighbours), once. In a
// round its nearest position in another component is the first of those
// not in its own component: components only grow, so a cursor into the list
// moves forward only. A position whose list is used up searches the tree,
// unless `reach`, a lower bound of its distance to any other component
// (its last neighbour's, or the bound of a search that found nothing),
// exceeds the best edge its component has so far. Found neighbours (`next`,
// at squared distance `reach`) stay valid while they stay foreign.
template <int D>
class boruvka_rounds {
public:
    boruvka_rounds(query_tree& t, int workers, interrupt& stop)
        : t_(t), workers_(workers), stop_(stop), m_(t.m), size_(static_cast<size_t>(t.m)),
          k_(std::min<int32_t>(tuning_for(t.d).neighbours, t.m - 1)), alone_(tuning_for(t.d).alone), parent_(size_), comp_(size_), next_(size_), pick_(size_),
          list_(size_ * static_cast<size_t>(k_)), cursor_(size_), reach_(size_), bound_(size_), roots_(size_) {
        for (int32_t p = 0; p < m_; ++p) {
            const auto at = static_cast<size_t>(p);
            parent_[at] = p;
            comp_[at] = p;
            next_[at] = -1;
            cursor_[at] = 0;
            roots_[at] = p;
        }
    }

    // The m - 1 edges between positions.
    raw_array<position_edge> run() {
        list_neighbours();
        edges_.reserve(size_ - 1);
        for (;;) {
            for (const int32_t c : roots_) {
                bound_[static_cast<size_t>(c)] = unbounded;
                pick_[static_cast<size_t>(c)] = -1;
            }
            take_listed();
            search_where_used_up();
            stop_.poll();
            join_picked();
            if (edges_.size() + 1 == size_) break;
            relabel();
        }
        return std::move(edges_);
    }

private:
    static constexpr uint64_t unbounded = 0x7ff0000000000000ULL;  // the bits of +infinity

    // Chunks of nodes; each bucket among them searches for its points.
    void list_neighbours() {
        for_chunks(static_cast<int32_t>(t_.nodes.size()), workers_, stop_, [&](int32_t from, int32_t to) {
            searcher<D> search(t_, comp_.data());
            for (int32_t i = from; i < to; ++i)
                if (t_.nodes[static_cast<size_t>(i)].right < 0) {
                    if (alone_) search.nearest_k_alone(i, k_, list_.data());
                    else search.nearest_k(i, k_, list_.data());
                }
        });
    }

    double squared(int32_t a, int32_t b) const {
        const double* x = t_.point(a);
        const double* y = t_.point(b);
        double sum = 0.0;
        for (int32_t j = 0; j < (D > 0 ? D : t_.d); ++j) {
            const double diff = y[j] - x[j];
            sum += diff * diff;
        }
        return sum;
    }

    // Whether the edge of p comes before that of r.
    bool less(int32_t p, int32_t r) const {
        const double dp = reach_[static_cast<size_t>(p)];
        const double dr = reach_[static_cast<size_t>(r)];
        if (dp != dr) return dp < dr;
        const int32_t* ids = t_.ids.data();
        const int32_t ip = ids[p], jp = ids[next_[static_cast<size_t>(p)]];
        const int32_t ir = ids[r], jr = ids[next_[static_cast<size_t>(r)]];
        const int32_t lp = std::min(ip, jp), lr = std::min(ir, jr);
        if (lp != lr) return lp < lr;
        return std::max(ip, jp) < std::max(ir, jr);
    }

    // Each position with a neighbour offers its edge to its component; the
    // least one stays. The slot is read only after the edge it names is
    // written.
    void offer(int32_t p) {
        int32_t* slot = &pick_[static_cast<size_t>(comp_[static_cast<size_t>(p)])];
        int32_t chosen = __atomic_load_n(slot, __ATOMIC_ACQUIRE);
        while (chosen < 0 || less(p, chosen))
            if (__atomic_compare_exchange_n(slot, &chosen, p, true, __ATOMIC_ACQ_REL, __ATOMIC_ACQUIRE)) return;
    }

    // Valid neighbours, and the next ones from the lists.
    void take_listed() {
        for_chunks(m_, workers_, stop_, [&](int32_t from, int32_t to) {
            for (int32_t p = from; p < to; ++p) {
                const auto at = static_cast<size_t>(p);
                const int32_t c = comp_[at];
                const int32_t r = next_[at];
                if (r >= 0 && comp_[static_cast<size_t>(r)] != c) {
                    lower_to(&bound_[static_cast<size_t>(c)], reach_[at]);
                    offer(p);
                    continue;
                }
                next_[at] = -1;
                const int32_t* mine = list_.data() + at * static_cast<size_t>(k_);
                int32_t i = cursor_[at];
                while (i < k_ && comp_[static_cast<size_t>(mine[i])] == c) ++i;
                if (i < k_) {
                    next_[at] = mine[i];
                    reach_[at] = squared(p, mine[i]);
                    lower_to(&bound_[static_cast<size_t>(c)], reach_[at]);
                    offer(p);
                } else if (cursor_[at] < k_) {
                    reach_[at] = squared(p, mine[k_ - 1]);
                }
                cursor_[at] = static_cast<uint8_t>(i);
            }
        });
    }

    // Searches where the lists are used up.
    void search_where_used_up() {
        for_chunks(m_, workers_, stop_, [&](int32_t from, int32_t to) {
            searcher<D> search(t_, comp_.data());
            for (int32_t p = from; p < to; ++p) {
                const auto at = static_cast<size_t>(p);
                if (next_[at] >= 0) continue;
                uint64_t* best = &bound_[static_cast<size_t>(comp_[at])];
                const double limit = double_of(__atomic_load_n(best, __ATOMIC_RELAXED));
                if (reach_[at] > limit) continue;
                double d2 = 0.0;
                const int32_t r = search.nearest_foreign(p, limit, d2);
                reach_[at] = d2;
                if (r >= 0) {
                    next_[at] = r;
                    lower_to(best, d2);
                    offer(p);
                }
            }
        });
    }

    void join_picked() {
        for (const int32_t c : roots_) {
            const int32_t p = pick_[static_cast<size_t>(c)];
            assert(p >= 0);
            const int32_t r = next_[static_cast<size_t>(p)];
            const int32_t a = find_root(parent_.data(), p);
            const int32_t b = find_root(parent_.data(), r);
            if (a == b) continue;  // the same edge, picked from both ends
            parent_[static_cast<size_t>(a)] = b;
            edges_.push_back(position_edge{reach_[static_cast<size_t>(p)], p, r});
        }
    }

    // Old roots to new ones, through `pick`; then every position's and
    // every node's component.
    void relabel() {
        size_t kept = 0;
        for (const int32_t c : roots_) {
            pick_[static_cast<size_t>(c)] = find_root(parent_.data(), c);
            if (parent_[static_cast<size_t>(c)] == c) roots_[kept++] = c;
        }
        roots_.resize(kept);
        for_chunks(m_, workers_, stop_, [&](int32_t from, int32_t to) {
            for (int32_t p = from; p < to; ++p)
                comp_[static_cast<size_t>(p)] = pick_[static_cast<size_t>(comp_[static_cast<size_t>(p)])];
        });
        for (size_t i = t_.nodes.size(); i-- > 0;) {
            kd_node& node = t_.nodes[i];
            if (node.right < 0) {
                int32_t c = comp_[static_cast<size_t>(node.first)];
                for (int32_t p = node.first + 1; p < node.first + node.count && c >= 0; ++p)
                    if (comp_[static_cast<size_t>(p)] != c) c = -1;
                node.comp = c;
            } else {
                const int32_t c = t_.nodes[i + 1].comp;
                node.comp = c == t_.nodes[static_cast<size_t>(node.right)].comp ? c : -1;
            }
        }
    }

    query_tree& t_;
    const int workers_;
    interrupt& stop_;
    const int32_t m_;
    const size_t size_;
    const int32_t k_;
    const bool alone_;
    raw_array<int32_t> parent_, comp_, next_, pick_, list_;
    raw_array<uint8_t> cursor_;
    raw_array<double> reach_;
    raw_array<uint64_t> bound_;  // per component root: its best edge so far
    std::vector<int32_t> roots_;  // of the components, ascending
    raw_array<position_edge> edges_;
};

template <int D>
raw_array<position_edge> boruvka(query_tree& t, int workers, interrupt& stop) {
    return boruvka_rounds<D>(t, workers, stop).run();
}

raw_array<position_edge> boruvka_any(query_tree& t, int workers, interrupt& stop) {
    switch (t.d) {
        case 1: return boruvka<1>(t, workers, stop);
        case 2: return boruvka<2>(t, workers, stop);
        case 3: return boruvka<3>(t, workers, stop);
        case 4: return boruvka<4>(t, workers, stop);
        case 5: return boruvka<5>(t, workers, stop);
        default: return boruvka<0>(t, workers, stop);
    }
}

// ---------------------------------------------------------------- output

struct output_edge {
    double length;
    int32_t i;
    int32_t j;
};

bool operator<(const output_edge& a, const output_edge& b) {
    if (a.length != b.length) return a.length < b.length;
    if (a.i != b.i) return a.i < b.i;
    return a.j < b.j;
}

// Sorts by (length, i, j): a stable radix sort on the bits of the lengths
// (non-negative doubles order as their bits do), then runs of equal length
// by (i, j).
void sort_edges(raw_array<output_edge>& all, interrupt& stop) {
    const size_t count = all.size();
    if (count < 4096) {
        std::sort(all.begin(), all.end());
        return;
    }
    raw_array<output_edge> spare(count);
    output_edge* from = all.data();
    output_edge* to = spare.data();
    std::vector<size_t> start(size_t{1} << 16);
    for (int shift = 0; shift < 64; shift += 16) {
        stop.poll();
        std::fill(start.begin(), start.end(), 0);
        for (size_t k = 0; k < count; ++k) ++start[(bits_of(from[k].length) >> shift) & 0xffff];
        if (start[(bits_of(from[0].length) >> shift) & 0xffff] == count) continue;
        size_t sum = 0;
        for (size_t& c : start) sum += std::exchange(c, sum);
        for (size_t k = 0; k < count; ++k) to[start[(bits_of(from[k].length) >> shift) & 0xffff]++] = from[k];
        std::swap(from, to);
    }
    if (from != all.data()) std::memcpy(all.data(), from, count * sizeof(output_edge));
    for (size_t k = 0; k < count;) {
        size_t end = k + 1;
        while (end < count && all[end].length == all[k].length) ++end;
        if (end - k > 1) std::sort(all.begin() + k, all.begin() + end);
        k = end;
    }
}

// The edges of the query tree's positions as indices: ids, or index[id] when
// `index` is given.
spanning_tree finish(const query_tree& t, const raw_array<position_edge>& found, const int32_t* index,
                     raw_array<output_edge> extra, interrupt& stop) {
    raw_array<output_edge> all(std::move(extra));
    const size_t before = all.size();
    all.resize(before + found.size());
    for (size_t k = 0; k < found.size(); ++k) {
        int32_t i = t.ids[static_cast<size_t>(found[k].a)];
        int32_t j = t.ids[static_cast<size_t>(found[k].b)];
        if (index != nullptr) {
            i = index[i];
            j = index[j];
        }
        all[before + k] = output_edge{std::sqrt(found[k].d2), std::min(i, j), std::max(i, j)};
    }
    sort_edges(all, stop);
    spanning_tree out;
    out.edges.resize(2 * all.size());
    out.lengths.resize(all.size());
    for (size_t k = 0; k < all.size(); ++k) {
        out.edges[2 * k] = all[k].i;
        out.edges[2 * k + 1] = all[k].j;
        out.lengths[k] = all[k].length;
    }
    return out;
}

// The distinct rows of x in order of first appearance: group[i] is row i's
// place among them, first[g] the first row of group g.
struct row_groups {
    raw_array<int32_t> group;
    raw_array<int32_t> first;
};

row_groups group_rows(const double* x, int32_t n, int32_t d, interrupt& stop) {
    const size_t dims = static_cast<size_t>(d);
    size_t slots = 16;
    while (slots < 2 * static_cast<size_t>(n)) slots *= 2;
    raw_array<int32_t> table(slots);  // group + 1; 0 is empty
    std::memset(table.data(), 0, slots * sizeof(int32_t));
    row_groups out;
    out.group.resize(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
        if (i % poll_every == 0) stop.poll();
        const double* row = x + static_cast<size_t>(i) * dims;
        const uint64_t h = row_hash(row, dims);
        for (size_t slot = static_cast<size_t>(h) & (slots - 1);; slot = (slot + 1) & (slots - 1)) {
            const int32_t g = table[slot] - 1;
            if (g < 0) {
                const auto fresh = static_cast<int32_t>(out.first.size());
                out.first.push_back(i);
                table[slot] = fresh + 1;
                out.group[static_cast<size_t>(i)] = fresh;
                break;
            }
            const double* other = x + static_cast<size_t>(out.first[static_cast<size_t>(g)]) * dims;
            size_t k = 0;
            while (k < dims && row[k] == other[k]) ++k;
            if (k == dims) {
                out.group[static_cast<size_t>(i)] = g;
                break;
            }
        }
    }
    return out;
}

}  // namespace

spanning_tree euclidean_mst(const split_tree& tree, int workers, interrupt& stop) {
    if (tree.n < 2) return spanning_tree{};
    query_tree t = derive_query_tree(tree, stop);
    const raw_array<position_edge> found = boruvka_any(t, workers, stop);
    return finish(t, found, nullptr, raw_array<output_edge>{}, stop);
}

spanning_tree euclidean_mst(const double* x, int32_t n, int32_t d, int workers, interrupt& stop) {
    check_coordinates(x, n, d, stop);
    if (n < 2) return spanning_tree{};
    const size_t dims = static_cast<size_t>(d);
    query_tree t = bucket_tree(x, n, d, workers, stop);
    if (t.m > 0) {
        const raw_array<position_edge> found = boruvka_any(t, workers, stop);
        return finish(t, found, nullptr, raw_array<output_edge>{}, stop);
    }
    // Many equal rows: the tree is built over the distinct ones, whose
    // places ascend with their first rows, so that ties break alike.
    const row_groups groups = group_rows(x, n, d, stop);
    const auto distinct = static_cast<int32_t>(groups.first.size());
    raw_array<output_edge> joins;
    joins.reserve(static_cast<size_t>(n - distinct));
    for (int32_t i = 0; i < n; ++i) {
        const int32_t first = groups.first[static_cast<size_t>(groups.group[static_cast<size_t>(i)])];
        if (first != i) joins.push_back(output_edge{0.0, first, i});
    }
    if (distinct == 1) return finish(t, raw_array<position_edge>{}, nullptr, std::move(joins), stop);
    raw_array<double> copy(static_cast<size_t>(distinct) * dims);
    for (int32_t g = 0; g < distinct; ++g)
        std::memcpy(copy.data() + static_cast<size_t>(g) * dims, x + static_cast<size_t>(groups.first[static_cast<size_t>(g)]) * dims,
                    dims * sizeof(double));
    t = bucket_tree(copy.data(), distinct, d, workers, stop);
    const raw_array<position_edge> found = boruvka_any(t, workers, stop);
    return finish(t, found, groups.first.data(), std::move(joins), stop);
}

raw_array<double> single_linkage(const spanning_tree& tree, int32_t n, interrupt& stop) {
    const size_t rows = tree.lengths.size();
    assert(rows + 1 == static_cast<size_t>(n) || (n <= 1 && rows == 0));
    std::vector<int32_t> parent(static_cast<size_t>(n)), cluster(static_cast<size_t>(n)), size(static_cast<size_t>(n));
    for (int32_t i = 0; i < n; ++i) {
        parent[static_cast<size_t>(i)] = i;
        cluster[static_cast<size_t>(i)] = i;
        size[static_cast<size_t>(i)] = 1;
    }
    raw_array<double> z(4 * rows);
    for (size_t k = 0; k < rows; ++k) {
        if (k % poll_every == 0) stop.poll();
        int32_t a = find_root(parent.data(), static_cast<int32_t>(tree.edges[2 * k]));
        int32_t b = find_root(parent.data(), static_cast<int32_t>(tree.edges[2 * k + 1]));
        const int32_t ca = cluster[static_cast<size_t>(a)];
        const int32_t cb = cluster[static_cast<size_t>(b)];
        if (size[static_cast<size_t>(a)] < size[static_cast<size_t>(b)]) std::swap(a, b);
        parent[static_cast<size_t>(b)] = a;
        size[static_cast<size_t>(a)] += size[static_cast<size_t>(b)];
        cluster[static_cast<size_t>(a)] = n + static_cast<int32_t>(k);
        z[4 * k] = std::min(ca, cb);
        z[4 * k + 1] = std::max(ca, cb);
        z[4 * k + 2] = tree.lengths[k];
        z[4 * k + 3] = size[static_cast<size_t>(a)];
    }
    return z;
}
