// SPDX-License-Identifier: MIT
// The Python module `lumo`: the `point` type and `build_lumo`, and the array
// interface (`decompose`, `SplitTree`, `Decomposition`). Conversions only;
// the geometry is in core/. Calls release the interpreter lock from the
// input checks to the end of the search, and stop with KeyboardInterrupt
// when a signal arrives meanwhile.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sched.h>

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <stdexcept>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "checks.h"
#include "decomposition.h"
#include "interrupt.h"
#include "point.h"

namespace py = pybind11;

namespace {

// Rows of the result handed to Python between two looks for signals.
constexpr std::size_t rows_between_polls = 1 << 16;

// Runs the Python signal handlers; true when one of them raised (the error
// stays set on this thread). For an interrupt made with the lock released.
bool signals_pending(void*) {
    py::gil_scoped_acquire gil;
    return PyErr_CheckSignals() != 0;
}

// Runs `work(stop)` with the interpreter lock released; a signal handler
// that raises (Ctrl-C) stops it, and its exception is raised here.
template <typename Work>
auto without_lock(Work&& work) {
    interrupt stop(&signals_pending, nullptr);
    try {
        py::gil_scoped_release release;
        return work(stop);
    } catch (const interrupted&) {
        if (PyErr_Occurred() != nullptr) throw py::error_already_set();
        throw;
    }
}

void poll_signals() {
    if (PyErr_CheckSignals() != 0) throw py::error_already_set();
}

// Pauses the cyclic collector while a result of many containers is made.
struct collector_pause {
    bool was_on = PyGC_Disable() != 0;
    collector_pause() = default;
    collector_pause(const collector_pause&) = delete;
    collector_pause& operator=(const collector_pause&) = delete;
    ~collector_pause() {
        if (was_on) PyGC_Enable();
    }
};

// The result of build_lumo as Python objects: a list of 2-tuples of int
// lists, one int object per point shared by every list holding it. The
// lists and tuples hold only ints and are made untracked by the cyclic
// collector, which would otherwise scan millions of them at every full
// collection while the result lives.
py::list result_list(const pair_list& result) {
    const collector_pause pause;
    std::vector<py::object> ints(result.pairs.empty() ? 0 : result.order.size());
    for (std::size_t i = 0; i < ints.size(); ++i) {
        ints[i] = py::reinterpret_steal<py::object>(PyLong_FromSsize_t(static_cast<Py_ssize_t>(i)));
        if (!ints[i]) throw py::error_already_set();
    }
    auto index_list = [&](const index_run& run) {
        py::list out(static_cast<std::size_t>(run.count));
        const int32_t* index = result.order.data() + run.start;
        for (int32_t j = 0; j < run.count; ++j)
            PyList_SET_ITEM(out.ptr(), j, ints[static_cast<std::size_t>(index[j])].inc_ref().ptr());
        PyObject_GC_UnTrack(out.ptr());
        return out;
    };
    py::list out(result.pairs.size());
    PyObject_GC_UnTrack(out.ptr());
    for (std::size_t k = 0; k < result.pairs.size(); ++k) {
        if (k % rows_between_polls == rows_between_polls - 1) poll_signals();
        py::tuple item(2);
        PyTuple_SET_ITEM(item.ptr(), 0, index_list(result.pairs[k].first).release().ptr());
        PyTuple_SET_ITEM(item.ptr(), 1, index_list(result.pairs[k].second).release().ptr());
        PyObject_GC_UnTrack(item.ptr());
        PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(k), item.release().ptr());
    }
    return out;
}

}  // namespace

namespace pybind11 {
namespace detail {

// A `point` made with point.__new__ and never initialised holds no record;
// pybind11's generic caster would hand out uninitialised storage for it.
// Refusing such an instance (and None) makes the argument not convert.
template <>
class type_caster<point> : public type_caster_base<point> {
public:
    bool load(handle src, bool convert) {
        return load_impl<type_caster<point>>(src, convert) && value != nullptr;
    }
    void load_value(value_and_holder&& v_h) {
        value = v_h.holder_constructed() ? v_h.value_ptr() : nullptr;
    }
};

template <>
class type_caster<pair_list> {
public:
    PYBIND11_TYPE_CASTER(pair_list, const_name("List[Tuple[List[int], List[int]]]"));

    bool load(handle, bool) { return false; }

    static handle cast(const pair_list& result, return_value_policy, handle) {
        return result_list(result).release();
    }
};

}  // namespace detail
}  // namespace pybind11

namespace {

// ---------------------------------------------------------------- input

// An (n, d) block of coordinates, row by row.
struct coordinates {
    int32_t n = 0;
    int32_t d = 0;
    raw_array<double> x;
};

std::string shape_text(const std::vector<Py_ssize_t>& shape) {
    std::string text = "(";
    for (std::size_t i = 0; i < shape.size(); ++i) {
        if (i > 0) text += ", ";
        text += std::to_string(shape[i]);
    }
    return text + (shape.size() == 1 ? ",)" : ")");
}

void check_shape(Py_ssize_t rows, Py_ssize_t cols, const std::string& given) {
    if (rows == 0 || cols == 0)
        throw py::value_error("points must hold at least one point of at least one coordinate; got " + given);
    if (rows > std::numeric_limits<int32_t>::max() || cols > std::numeric_limits<int32_t>::max())
        throw py::value_error("points has more rows or columns than 2147483647; got " + given);
}

std::string type_name(const py::handle& value) {
    return py::str(py::type::handle_of(value).attr("__name__"));
}

[[noreturn]] void refuse_type(const py::handle& points, const std::string& what) {
    throw py::type_error("points must hold real numbers; got " + what +
                         ". Pass an (n, d) array of floats or ints, or a sequence of equal-length "
                         "sequences of numbers (" + type_name(points) + " given)");
}

// One element of a buffer as a double, its bytes reversed first when the
// buffer has the other byte order.
template <typename T>
double read_as(const char* at, bool swap) {
    T value;
    if (swap) {
        char bytes[sizeof(T)];
        for (std::size_t i = 0; i < sizeof(T); ++i) bytes[i] = at[sizeof(T) - 1 - i];
        std::memcpy(&value, bytes, sizeof(T));
    } else {
        std::memcpy(&value, at, sizeof(T));
    }
    return static_cast<double>(value);
}

double half_to_double(uint16_t h) {
    const int exponent = (h >> 10) & 0x1f;
    const int fraction = h & 0x3ff;
    double value;
    if (exponent == 0) value = std::ldexp(fraction, -24);
    else if (exponent == 31) value = fraction == 0 ? std::numeric_limits<double>::infinity() : std::nan("");
    else value = std::ldexp(fraction + 1024, exponent - 25);
    return (h & 0x8000) != 0 ? -value : value;
}

using reader = double (*)(const char*, bool);

// The reader for a buffer format ("<d", ">i4" style codes as the struct
// module writes them), or null.
reader reader_for(std::string format, std::size_t itemsize, bool* swap) {
    char order = '@';
    if (!format.empty() && std::string("@=<>!").find(format[0]) != std::string::npos) {
        order = format[0];
        format.erase(0, 1);
    }
    // Native and standard orders are little-endian on the platforms built for.
    *swap = order == '>' || order == '!';
    if (format.size() != 1) return nullptr;
    switch (format[0]) {
        case 'd': return itemsize == 8 ? &read_as<double> : nullptr;
        case 'f': return itemsize == 4 ? &read_as<float> : nullptr;
        case 'e':
            return itemsize == 2 ? +[](const char* at, bool s) { return half_to_double(static_cast<uint16_t>(read_as<uint16_t>(at, s))); } : nullptr;
        case 'b': return &read_as<int8_t>;
        case 'B': return &read_as<uint8_t>;
        case '?': return &read_as<uint8_t>;
        case 'h': return &read_as<int16_t>;
        case 'H': return &read_as<uint16_t>;
        case 'i': case 'l': case 'q':
            return itemsize == 4 ? &read_as<int32_t> : itemsize == 8 ? &read_as<int64_t> : nullptr;
        case 'I': case 'L': case 'Q':
            return itemsize == 4 ? &read_as<uint32_t> : itemsize == 8 ? &read_as<uint64_t> : nullptr;
        default: return nullptr;
    }
}

coordinates from_buffer(const py::handle& points) {
    Py_buffer view;
    if (PyObject_GetBuffer(points.ptr(), &view, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
        // NumPy refuses to export some dtypes (datetime64, for one).
        PyErr_Clear();
        const std::string dtype = py::hasattr(points, "dtype") ? std::string(py::str(points.attr("dtype"))) : "?";
        refuse_type(points, "an array of dtype " + dtype);
    }
    std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, PyBuffer_Release);
    std::vector<Py_ssize_t> shape(view.shape, view.shape + view.ndim);
    const std::string format = view.format != nullptr ? view.format : "B";
    bool swap = false;
    const reader read = reader_for(format, static_cast<std::size_t>(view.itemsize), &swap);
    if (read == nullptr) {
        const std::string dtype =
            py::hasattr(points, "dtype") ? std::string(py::str(points.attr("dtype"))) : "format '" + format + "'";
        refuse_type(points, "an array of dtype " + dtype);
    }
    if (view.ndim != 2)
        throw py::value_error("points must be a 2-D array of shape (n, d); got an array of shape " +
                              shape_text(shape));
    check_shape(shape[0], shape[1], "an array of shape " + shape_text(shape));
    coordinates out;
    out.n = static_cast<int32_t>(shape[0]);
    out.d = static_cast<int32_t>(shape[1]);
    out.x.resize(static_cast<std::size_t>(shape[0]) * static_cast<std::size_t>(shape[1]));
    const char* base = static_cast<const char*>(view.buf);
    const bool plain_doubles = read == &read_as<double> && !swap && view.strides[1] == 8;
    double* to = out.x.data();
    for (Py_ssize_t i = 0; i < shape[0]; ++i) {
        const char* row = base + i * view.strides[0];
        if (plain_doubles) {
            std::memcpy(to, row, static_cast<std::size_t>(shape[1]) * sizeof(double));
            to += shape[1];
        } else {
            for (Py_ssize_t k = 0; k < shape[1]; ++k) *to++ = read(row + k * view.strides[1], swap);
        }
        if (i % 65536 == 65535) poll_signals();
    }
    return out;
}

double number(const py::handle& value, const py::handle& points) {
    if (PyFloat_Check(value.ptr())) return PyFloat_AS_DOUBLE(value.ptr());
    if (PyUnicode_Check(value.ptr()) || PyBytes_Check(value.ptr()) || PyComplex_Check(value.ptr()))
        refuse_type(points, "a value of type " + type_name(value));
    const double v = PyFloat_AsDouble(value.ptr());
    if (v == -1.0 && PyErr_Occurred() != nullptr) {
        if (PyErr_ExceptionMatches(PyExc_TypeError)) {
            PyErr_Clear();
            refuse_type(points, "a value of type " + type_name(value));
        }
        throw py::error_already_set();
    }
    return v;
}

coordinates from_sequence(const py::handle& points) {
    if (PyUnicode_Check(points.ptr()) || PyBytes_Check(points.ptr()) || !PySequence_Check(points.ptr()))
        refuse_type(points, "an object of type " + type_name(points));
    const py::sequence rows = py::reinterpret_borrow<py::sequence>(points);
    const Py_ssize_t n = PySequence_Size(points.ptr());
    if (n < 0) throw py::error_already_set();
    if (n == 0) check_shape(0, 0, "an empty sequence");
    coordinates out;
    Py_ssize_t d = -1;
    for (Py_ssize_t i = 0; i < n; ++i) {
        if (i % 65536 == 65535) poll_signals();
        const py::object row = rows[static_cast<std::size_t>(i)];
        if (py::isinstance<point>(row)) {
            py::detail::make_caster<point> caster;
            if (!caster.load(row, false))
                throw py::type_error("points holds a point that was never initialised (row " + std::to_string(i) +
                                     ")");
            const point& p = py::detail::cast_op<const point&>(caster);
            const auto count = static_cast<Py_ssize_t>(p.coord.size());
            if (d < 0) {
                d = count;
                check_shape(n, d, "points with " + std::to_string(d) + " coordinates");
                out.x.reserve(static_cast<std::size_t>(n) * static_cast<std::size_t>(d));
            } else if (count != d) {
                throw py::value_error("points must all have the same number of coordinates; point 0 has " +
                                      std::to_string(d) + " and point " + std::to_string(i) + " has " +
                                      std::to_string(count));
            }
            for (const double v : p.coord) out.x.push_back(v);
            continue;
        }
        if (PyUnicode_Check(row.ptr()) || PyBytes_Check(row.ptr()) || !PySequence_Check(row.ptr())) {
            if (i == 0 && (PyNumber_Check(row.ptr()) != 0))
                throw py::value_error("points must be a 2-D array of shape (n, d); got a 1-D sequence of " +
                                      std::to_string(n) + " numbers");
            refuse_type(points, "a row of type " + type_name(row));
        }
        const Py_ssize_t count = PySequence_Size(row.ptr());
        if (count < 0) throw py::error_already_set();
        if (d < 0) {
            d = count;
            check_shape(n, d, "a sequence of " + std::to_string(n) + " rows of " + std::to_string(d) + " values");
            out.x.reserve(static_cast<std::size_t>(n) * static_cast<std::size_t>(d));
        } else if (count != d) {
            throw py::value_error("points must be a 2-D array of shape (n, d); got a ragged sequence: row 0 has " +
                                  std::to_string(d) + " values and row " + std::to_string(i) + " has " +
                                  std::to_string(count));
        }
        const py::sequence values = py::reinterpret_borrow<py::sequence>(row);
        for (Py_ssize_t k = 0; k < count; ++k) out.x.push_back(number(values[static_cast<std::size_t>(k)], points));
    }
    out.n = static_cast<int32_t>(n);
    out.d = static_cast<int32_t>(d);
    return out;
}

coordinates read_points(const py::handle& points) {
    if (PyObject_CheckBuffer(points.ptr()) != 0 && !PyBytes_Check(points.ptr())) return from_buffer(points);
    // Array-likes of other libraries (data frames, tensors) hand over a
    // NumPy array.
    if (py::hasattr(points, "__array__")) {
        const py::object array = points.attr("__array__")();
        if (PyObject_CheckBuffer(array.ptr()) != 0) return from_buffer(array);
    }
    // An array-like that is not a buffer (NumPy datetime arrays, for one)
    // but carries a dtype: say what it holds.
    if (py::hasattr(points, "dtype") && py::hasattr(points, "shape")) return from_buffer(points);
    return from_sequence(points);
}

int worker_count(int workers) {
    if (workers == 0 || workers < -1)
        throw py::value_error("workers must be -1 (every core) or a positive count, got " + std::to_string(workers));
    cpu_set_t cpus;
    int available = sched_getaffinity(0, sizeof cpus, &cpus) == 0 ? CPU_COUNT(&cpus)
                                                                  : static_cast<int>(std::thread::hardware_concurrency());
    available = std::max(available, 1);
    // More threads than cores only cost; the result is the same.
    return workers == -1 ? available : std::min(workers, 4 * available);
}

// ---------------------------------------------------------------- types

// One array of a decomposition, exported through the buffer protocol.
struct index_array {
    std::shared_ptr<const pair_list> owner;  // keeps order and pairs alive
    raw_array<int32_t> own;                  // or an array of its own
    const int32_t* data = nullptr;
    std::vector<Py_ssize_t> shape;
};

py::memoryview view_of(index_array array) {
    py::object holder = py::cast(std::move(array));
    return py::memoryview(holder);
}

struct decomposition_object {
    std::shared_ptr<const pair_list> result;
    int32_t n = 0;
    int32_t d = 0;
    double s = 0.0;

    Py_ssize_t size() const { return static_cast<Py_ssize_t>(result->pairs.size()); }

    py::memoryview run_view(const index_run& run) const {
        return view_of(index_array{result, {}, result->order.data() + run.start, {run.count}});
    }
};

struct tree_object {
    std::shared_ptr<const split_tree> tree;
};

tree_object make_tree(const py::object& points, int workers) {
    coordinates input = read_points(points);
    const int threads = worker_count(workers);
    auto tree = without_lock([&](interrupt& stop) {
        return std::make_shared<const split_tree>(checked_tree(input.x, input.n, input.d, threads, stop));
    });
    return tree_object{std::move(tree)};
}

decomposition_object decompose_tree(const tree_object& self, double s, int workers) {
    const int threads = worker_count(workers);
    auto result = without_lock([&](interrupt& stop) {
        return std::make_shared<const pair_list>(decompose(*self.tree, s, threads, stop));
    });
    return decomposition_object{std::move(result), self.tree->n, self.tree->d, s};
}

std::string thousands(std::size_t value) {
    std::string digits = std::to_string(value);
    for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

// The specified entry point: every argument checked, then one worker.
pair_list checked_build_lumo(int32_t n, int32_t d, double s, std::vector<point>& points) {
    return without_lock([&](interrupt& stop) { return build_lumo(n, d, s, points, stop); });
}

const std::vector<double>& point_coord(const point& p) { return p.coord; }

constexpr const char* decompose_doc = R"(Well-separated pair decomposition of an (n, d) array of points.

Builds the fair split tree of the points and searches it for pairs of sets that are well
separated for s: two sets whose enclosing balls (centred on each set's bounding box, both of
radius r, the larger of the two half diagonals) have a gap larger than s*r. Every two distinct
points lie in exactly one pair, one in each set. Same as SplitTree(points, workers).decompose(s,
workers), and the pairs equal build_lumo(n, d, s, [point(row) for row in points]), in order.

Parameters
----------
points : array_like, shape (n, d)
    Real coordinates: a NumPy array of any real dtype, byte order and strides, any object with
    the buffer protocol, a sequence of equal-length sequences of numbers, or a list of point.
    Rows must be pairwise distinct and finite.
s : float, optional
    The separation factor (default 2.0).
workers : int, optional
    Threads to use: a positive count, or -1 for every core this process may use (default 1).
    The result does not depend on it.

Returns
-------
Decomposition
    The leaf order of the tree (`order`) and the pairs as runs of it (`pairs`).

Raises
------
ValueError
    For a shape that is not (n, d) with n, d >= 1, a ragged sequence, NaN or infinite values,
    coordinates whose squared distances overflow, two equal points, a non-finite s, or a bad
    workers count.
TypeError
    For values that are not real numbers (complex, str, object, datetime).
KeyboardInterrupt
    When Ctrl-C arrives during the call; nothing is kept.

Examples
--------
>>> import numpy as np, lumo
>>> pts = np.array([[0, 0], [0.1, 0], [0, 0.1], [10, 10], [10.1, 10], [10, 10.1]])
>>> dec = lumo.decompose(pts, s=2.0)
>>> len(dec), dec[0]
>>> edges = np.asarray(dec.representatives())   # one edge per pair: a spanner
)";

}  // namespace

PYBIND11_MODULE(lumo, m) {
    m.doc() = "Well-separated pair decomposition (LUMO) plugin";

    m.def("build_lumo", &checked_build_lumo,
          R"(The function that computes LUMO following the Callahan and Kosaraju O(n log(n)) algorithm)");

    py::class_<point>(m, "point")
        .def(py::init<std::vector<double>>())
        .def("coord", &point_coord);

    m.attr("__version__") = LUMO_VERSION;

    py::class_<index_array>(m, "_IndexArray", py::buffer_protocol(),
                            "An int32 array of a Decomposition, read through memoryview or numpy.asarray.")
        .def_buffer([](index_array& a) {
            std::vector<Py_ssize_t> strides(a.shape.size(), sizeof(int32_t));
            if (a.shape.size() == 2) strides[0] = a.shape[1] * static_cast<Py_ssize_t>(sizeof(int32_t));
            return py::buffer_info(const_cast<int32_t*>(a.data), sizeof(int32_t),
                                   py::format_descriptor<int32_t>::format(), static_cast<Py_ssize_t>(a.shape.size()),
                                   a.shape, strides, true);
        });

    py::class_<decomposition_object>(m, "Decomposition", R"(A well-separated pair decomposition.

Attributes
----------
order : memoryview of int32, shape (n,)
    The point indices (rows of the input) in the leaf order of the fair split tree.
pairs : memoryview of int32, shape (m, 4)
    One row per pair: start and count of the first set in `order`, then start and count of the
    second. Both views share the decomposition's memory: numpy.asarray(dec.pairs) copies nothing.
n, d, s : the number of points, their dimension and the separation factor.

len(dec) is the number of pairs; dec[k] gives the two index arrays of pair k, and iterating
gives those of every pair in order.

Examples
--------
>>> dec = lumo.decompose(np.random.default_rng(1).random((1000, 2)))
>>> pairs = np.asarray(dec.pairs); order = np.asarray(dec.order)
>>> first, second = dec[0]          # index arrays (memoryviews) of the first pair
>>> reps = np.asarray(dec.representatives())   # (m, 2): one point of each set
)")
        .def_property_readonly(
            "order",
            [](const decomposition_object& self) {
                return view_of(index_array{self.result, {}, self.result->order.data(), {self.n}});
            },
            "The point indices in the tree's leaf order (int32, shape (n,)).")
        .def_property_readonly(
            "pairs",
            [](const decomposition_object& self) {
                return view_of(index_array{self.result,
                                           {},
                                           reinterpret_cast<const int32_t*>(self.result->pairs.data()),
                                           {self.size(), 4}});
            },
            "Per pair: start and count of each set in `order` (int32, shape (m, 4)).")
        .def_readonly("n", &decomposition_object::n, "The number of points.")
        .def_readonly("d", &decomposition_object::d, "The dimension of the points.")
        .def_readonly("s", &decomposition_object::s, "The separation factor.")
        .def("__len__", &decomposition_object::size)
        .def(
            "__getitem__",
            [](const decomposition_object& self, Py_ssize_t k) {
                if (k < 0) k += self.size();
                if (k < 0 || k >= self.size()) throw py::index_error("pair index out of range");
                const separated_pair& pair = self.result->pairs[static_cast<std::size_t>(k)];
                return py::make_tuple(self.run_view(pair.first), self.run_view(pair.second));
            },
            py::arg("k"), "The two index arrays (int32 memoryviews) of pair k.")
        .def("__iter__",
             [](const py::object& self) {
                 const auto size = self.cast<const decomposition_object&>().size();
                 return py::iter(py::module_::import("builtins").attr("map")(self.attr("__getitem__"),
                                                                            py::module_::import("builtins").attr("range")(size)));
             })
        .def(
            "representatives",
            [](const decomposition_object& self) {
                const pair_list& r = *self.result;
                index_array out;
                out.own.resize(2 * r.pairs.size());
                for (std::size_t k = 0; k < r.pairs.size(); ++k) {
                    out.own[2 * k] = r.order[static_cast<std::size_t>(r.pairs[k].first.start)];
                    out.own[2 * k + 1] = r.order[static_cast<std::size_t>(r.pairs[k].second.start)];
                }
                out.data = out.own.data();
                out.shape = {self.size(), 2};
                return view_of(std::move(out));
            },
            R"(One point of each set of every pair (int32, shape (m, 2)).

For a t-spanner (s = 4(t + 1)/(t - 1)) these rows are its edges; for nearest-neighbour and
closest-pair uses, one representative per set is what the pair stands for.)")
        .def("to_list", [](const decomposition_object& self) { return result_list(*self.result); },
             R"(The pairs as build_lumo returns them: a list of (first, second) tuples of index lists.)")
        .def("__repr__", [](const decomposition_object& self) {
            return "<lumo.Decomposition: " + thousands(self.result->pairs.size()) + " pairs of " +
                   thousands(static_cast<std::size_t>(self.n)) + " points in " + std::to_string(self.d) +
                   "-D, s=" + std::string(py::str(py::float_(self.s))) + ">";
        });

    py::class_<tree_object>(m, "SplitTree", R"(The fair split tree of an (n, d) array of points, built once.

The tree does not depend on s: decompose(s) searches it for any number of separation factors
without building it again.

Examples
--------
>>> tree = lumo.SplitTree(np.random.default_rng(0).random((10000, 3)), workers=-1)
>>> coarse, fine = tree.decompose(1.0), tree.decompose(8.0)
>>> tree.n, tree.d
(10000, 3)
)")
        .def(py::init(&make_tree), py::arg("points"), py::arg("workers") = 1,
             "Builds the tree; points and workers as for lumo.decompose.")
        .def("decompose", &decompose_tree, py::arg("s") = 2.0, py::arg("workers") = 1,
             "The well-separated pair decomposition for s (see lumo.decompose).")
        .def_property_readonly("n", [](const tree_object& self) { return self.tree->n; }, "The number of points.")
        .def_property_readonly("d", [](const tree_object& self) { return self.tree->d; }, "The dimension of the points.")
        .def("__repr__", [](const tree_object& self) {
            return "<lumo.SplitTree: " + thousands(static_cast<std::size_t>(self.tree->n)) + " points in " +
                   std::to_string(self.tree->d) + "-D>";
        });

    m.def(
        "decompose",
        [](const py::object& points, double s, int workers) {
            // s first, so that a bad s costs no tree.
            check_separation(s);
            coordinates input = read_points(points);
            const int threads = worker_count(workers);
            auto result = without_lock([&](interrupt& stop) {
                return std::make_shared<const pair_list>(
                    decompose(checked_tree(input.x, input.n, input.d, threads, stop), s, threads, stop));
            });
            return decomposition_object{std::move(result), input.n, input.d, s};
        },
        py::arg("points"), py::arg("s") = 2.0, py::arg("workers") = 1, decompose_doc);

    // lumo.spanner: edges and lengths, two arrays over one spanner_graph.
    struct graph_array {
        std::shared_ptr<const spanner_graph> graph;
        bool lengths;  // the lengths, else the edges
    };
    py::class_<graph_array>(m, "_GraphArray", py::buffer_protocol(),
                            "An array of lumo.spanner's result, read through memoryview or numpy.asarray.")
        .def_buffer([](graph_array& a) {
            // An empty array still gets a valid address.
            static double none[2];
            const auto edge_count = static_cast<Py_ssize_t>(a.graph->size());
            if (a.lengths)
                return py::buffer_info(edge_count > 0 ? const_cast<double*>(a.graph->lengths.data()) : none,
                                       sizeof(double), py::format_descriptor<double>::format(), 1, {edge_count},
                                       {static_cast<Py_ssize_t>(sizeof(double))}, true);
            return py::buffer_info(edge_count > 0 ? const_cast<int64_t*>(a.graph->edges()) : reinterpret_cast<int64_t*>(none),
                                   sizeof(int64_t), py::format_descriptor<int64_t>::format(), 2, {edge_count, Py_ssize_t{2}},
                                   {static_cast<Py_ssize_t>(2 * sizeof(int64_t)), static_cast<Py_ssize_t>(sizeof(int64_t))},
                                   true);
        });
    m.def(
        "spanner",
        [](const py::object& points, double t, int workers) {
            spanner_separation(t);  // a bad t costs no tree
            coordinates input = read_points(points);
            const int threads = worker_count(workers);
            std::shared_ptr<const spanner_graph> graph = without_lock([&](interrupt& stop) {
                const split_tree tree = checked_tree(input.x, input.n, input.d, threads, stop);
                return std::make_shared<const spanner_graph>(spanner(tree, t, threads, stop));
            });
            return py::make_tuple(py::memoryview(py::cast(graph_array{graph, false})),
                                  py::memoryview(py::cast(graph_array{graph, true})));
        },
        py::arg("points"), py::arg("t"), py::arg("workers") = 1,
        R"(Geometric t-spanner of an (n, d) array of points: its edges and their lengths.

One edge per pair of the well-separated pair decomposition for s = 4(t + 1)/(t - 1), joining
the representatives of the pair's two sets: a set is represented by the first point of its run
in the tree's leaf order, the point that Decomposition.representatives() gives. In the graph of
these edges, every two points are joined by a path at most t times as long as their distance.
Every two points lie in exactly one pair, so the edges are distinct: no edge repeats, in
either direction, and none is a loop.

Parameters
----------
points : array_like, shape (n, d)
    As for lumo.decompose.
t : float
    The stretch, a finite number greater than 1.
workers : int, optional
    Threads to use, as for lumo.decompose (default 1). The result does not depend on it.

Returns
-------
edges : memoryview of int64, shape (m, 2)
    The rows of the two points of each edge, the smaller first.
lengths : memoryview of float64, shape (m,)
    Each edge's Euclidean length: the square root of the squared differences of the
    coordinates summed in order, in doubles.

Both views share one result, kept alive by either: numpy.asarray copies nothing.

Raises
------
ValueError
    For t not finite and greater than 1, and the inputs lumo.decompose refuses.
TypeError
    For values that are not real numbers.
KeyboardInterrupt
    When Ctrl-C arrives during the call; nothing is kept.

Examples
--------
>>> import numpy as np, lumo
>>> pts = np.array([[0.0, 0.0], [1.0, 0.0], [0.0, 1.0], [5.0, 5.0]])
>>> edges, lengths = lumo.spanner(pts, t=2.0)
>>> np.asarray(edges).tolist()
[[1, 3], [0, 3], [2, 3], [0, 1], [1, 2], [0, 2]]
>>> np.asarray(lengths).round(3).tolist()
[6.403, 7.071, 6.403, 1.0, 1.414, 1.0]
)");
}
