// SPDX-License-Identifier: MIT
// The Python module `lumo`: the `point` type and `build_lumo`, and the array
// interface (`decompose`, `SplitTree`, `Decomposition`). Conversions only;
// the geometry is in core/. Calls release the interpreter lock from the
// input checks to the end of the search, and stop with KeyboardInterrupt
// when a signal arrives meanwhile.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>
#include <sched.h>

#include <cxxabi.h>

#include <algorithm>
#include <chrono>
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
#include "emst.h"

#include "interrupt.h"
#include "list_interface.h"

namespace py = pybind11;

namespace {

// Rows of the result handed to Python between two looks for signals.
constexpr std::size_t rows_between_polls = 1 << 16;

// The thread the interpreter finalises on (set at import).
unsigned long main_thread = 0;

// While the interpreter finalises, it ends any thread other than its own
// that takes the lock, with pthread_exit, whose unwinding aborts the process
// when it starts in a destructor or meets a frame that swallows it. A call on
// such a thread therefore stops its work and then waits in wait_for_exit for
// the process to exit, without ever asking for the lock again. (Calls made
// by the finalisation itself, from __del__ methods, run normally.)
bool thread_ends_at_exit() {
#if PY_VERSION_HEX >= 0x030D0000
    const bool finalizing = Py_IsFinalizing() != 0;
#else
    const bool finalizing = _Py_IsFinalizing() != 0;
#endif
    return finalizing && PyThread_get_thread_ident() != main_thread;
}

[[noreturn]] void wait_for_exit() {
    for (;;) std::this_thread::sleep_for(std::chrono::hours(1));
}

// Runs the Python signal handlers; true when one of them raised (the error
// stays set on this thread), or when the interpreter is finalising and
// would end this thread. The context is the thread state saved by
// without_lock. Signal handlers run on the main thread only: from any other
// thread, Ctrl-C never stops a call.
bool signals_pending(void* context) {
    auto* state = static_cast<PyThreadState**>(context);
    if (thread_ends_at_exit()) return true;
    // Taking the lock may still end the thread if finalisation began just
    // now; that unwinding passes through here and the core to without_lock.
    PyEval_RestoreThread(*state);
    const bool raised = PyErr_CheckSignals() != 0;
    *state = PyEval_SaveThread();
    return raised;
}

// Runs `work(stop)` with the interpreter lock released; a signal handler
// that raises (Ctrl-C) stops it, and its exception is raised here. The lock
// is taken back in plain code, never in a destructor (see wait_for_exit).
template <typename Work>
auto without_lock(Work&& work) {
    PyThreadState* state = PyEval_SaveThread();
    interrupt stop(&signals_pending, &state);
    auto relock = [&state] {
        if (thread_ends_at_exit()) wait_for_exit();
        PyEval_RestoreThread(state);
    };
    try {
        auto result = work(stop);
        relock();
        return result;
    } catch (const interrupted&) {
        relock();
        if (PyErr_Occurred() != nullptr) throw py::error_already_set();
        throw;
    } catch (abi::__forced_unwind&) {
        // The interpreter is ending this thread: the lock is not to be taken.
        throw;
    } catch (...) {
        relock();
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
// Pairs first .. first + count only, when given.
py::list result_list(const pair_list& result, std::size_t first = 0,
                     std::size_t count = std::numeric_limits<std::size_t>::max()) {
    const collector_pause pause;
    count = std::min(count, result.pairs.size() - first);
    std::vector<py::object> ints(count == 0 ? 0 : result.order.size());
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
    py::list out(count);
    PyObject_GC_UnTrack(out.ptr());
    for (std::size_t k = 0; k < count; ++k) {
        if (k % rows_between_polls == rows_between_polls - 1) poll_signals();
        py::tuple item(2);
        PyTuple_SET_ITEM(item.ptr(), 0, index_list(result.pairs[first + k].first).release().ptr());
        PyTuple_SET_ITEM(item.ptr(), 1, index_list(result.pairs[first + k].second).release().ptr());
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
    if (rows > max_points)
        throw py::value_error("points must hold at most 1073741824 (2**30) points; got " + given);
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

double read_bool(const char* at, bool) {
    return *at != 0 ? 1.0 : 0.0;
}

using reader = double (*)(const char*, bool);

// obj.name, or null when obj has no such attribute. Like Python's hasattr,
// only an Exception raised by a lazy attribute means "absent";
// KeyboardInterrupt and other BaseExceptions propagate.
py::object attribute(const py::handle& obj, const char* name) {
    PyObject* value = PyObject_GetAttrString(obj.ptr(), name);
    if (value != nullptr) return py::reinterpret_steal<py::object>(value);
    if (PyErr_ExceptionMatches(PyExc_Exception) == 0) throw py::error_already_set();
    PyErr_Clear();
    return py::object();
}

std::string dtype_text(const py::handle& points, const std::string& otherwise) {
    const py::object dtype = attribute(points, "dtype");
    return dtype ? std::string(py::str(dtype)) : otherwise;
}

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
        case 'b': return itemsize == 1 ? &read_as<int8_t> : nullptr;
        case 'B': return itemsize == 1 ? &read_as<uint8_t> : nullptr;
        // Any non-zero byte is true, as NumPy reads it.
        case '?': return itemsize == 1 ? &read_bool : nullptr;
        case 'h': return itemsize == 2 ? &read_as<int16_t> : nullptr;
        case 'H': return itemsize == 2 ? &read_as<uint16_t> : nullptr;
        case 'i': case 'l': case 'q': case 'n':
            return itemsize == 4 ? &read_as<int32_t> : itemsize == 8 ? &read_as<int64_t> : nullptr;
        case 'I': case 'L': case 'Q': case 'N':
            return itemsize == 4 ? &read_as<uint32_t> : itemsize == 8 ? &read_as<uint64_t> : nullptr;
        default: return nullptr;
    }
}

coordinates from_buffer(const py::handle& points) {
    Py_buffer view;
    if (PyObject_GetBuffer(points.ptr(), &view, PyBUF_STRIDES | PyBUF_FORMAT) != 0) {
        // NumPy refuses to export some dtypes (datetime64, for one).
        PyErr_Clear();
        refuse_type(points, "an array of dtype " + dtype_text(points, "?"));
    }
    std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, PyBuffer_Release);
    std::vector<Py_ssize_t> shape(view.shape, view.shape + view.ndim);
    const std::string format = view.format != nullptr ? view.format : "B";
    bool swap = false;
    const reader read = reader_for(format, static_cast<std::size_t>(view.itemsize), &swap);
    if (read == nullptr) refuse_type(points, "an array of dtype " + dtype_text(points, "format '" + format + "'"));
    if (view.ndim != 2)
        throw py::value_error("points must be a 2-D array of shape (n, d); got an array of shape " +
                              shape_text(shape));
    check_shape(shape[0], shape[1], "an array of shape " + shape_text(shape));
    // Exporters may leave out the strides of a C-contiguous array (ctypes does).
    const Py_ssize_t row_step = view.strides != nullptr ? view.strides[0] : shape[1] * view.itemsize;
    const Py_ssize_t column_step = view.strides != nullptr ? view.strides[1] : view.itemsize;
    coordinates out;
    out.n = static_cast<int32_t>(shape[0]);
    out.d = static_cast<int32_t>(shape[1]);
    out.x.resize(static_cast<std::size_t>(shape[0]) * static_cast<std::size_t>(shape[1]));
    const char* base = static_cast<const char*>(view.buf);
    const bool plain_doubles = read == &read_as<double> && !swap && column_step == 8;
    double* to = out.x.data();
    for (Py_ssize_t i = 0; i < shape[0]; ++i) {
        const char* row = base + i * row_step;
        if (plain_doubles) {
            std::memcpy(to, row, static_cast<std::size_t>(shape[1]) * sizeof(double));
            to += shape[1];
        } else {
            for (Py_ssize_t k = 0; k < shape[1]; ++k) *to++ = read(row + k * column_step, swap);
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
    if (const py::object to_array = attribute(points, "__array__")) {
        const py::object array = to_array();
        if (PyObject_CheckBuffer(array.ptr()) != 0) return from_buffer(array);
    }
    // An array-like that is not a buffer (NumPy datetime arrays, for one)
    // but carries a dtype: say what it holds.
    if (attribute(points, "dtype") && attribute(points, "shape")) return from_buffer(points);
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
    return workers == -1 ? available : std::min(workers, available);
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

// A decomposition, or a slice of its pairs sharing the same result.
struct decomposition_object {
    std::shared_ptr<const pair_list> result;
    int32_t n = 0;
    int32_t d = 0;
    double s = 0.0;
    std::size_t first = 0;  // the pairs are result->pairs[first .. first + count)
    std::size_t count = 0;
    // A view of the whole order, made on first use; the index arrays of
    // single pairs are slices of it, which cost one memoryview each.
    mutable py::object order_view;

    Py_ssize_t size() const { return static_cast<Py_ssize_t>(count); }
    const separated_pair* pairs() const { return result->pairs.data() + first; }
};

decomposition_object whole(std::shared_ptr<const pair_list> result, int32_t n, int32_t d, double s) {
    const std::size_t count = result->pairs.size();
    return decomposition_object{std::move(result), n, d, s, 0, count, py::object()};
}

struct tree_object {
    std::shared_ptr<const split_tree> tree;
};

}  // namespace

namespace pybind11 {
namespace detail {

// Instances made with T.__new__(T), whose __init__ or __setstate__ never
// ran, hold no record: they do not convert, so every method refuses them
// with a TypeError instead of reading uninitialised storage.
template <typename T>
class initialised_caster : public type_caster_base<T> {
public:
    bool load(handle src, bool convert) {
        return this->template load_impl<initialised_caster<T>>(src, convert) && this->value != nullptr;
    }
    void load_value(value_and_holder&& v_h) { this->value = v_h.holder_constructed() ? v_h.value_ptr() : nullptr; }
};

template <>
class type_caster<decomposition_object> : public initialised_caster<decomposition_object> {};
template <>
class type_caster<tree_object> : public initialised_caster<tree_object> {};

}  // namespace detail
}  // namespace pybind11

namespace {

// The record behind `self`, or TypeError when it was never initialised.
template <typename T>
const T& record_of(const py::handle& self) {
    py::detail::make_caster<T> caster;
    if (!caster.load(self, false))
        throw py::type_error(type_name(self) + " object was never initialised");
    return py::detail::cast_op<const T&>(caster);
}

const py::object& order_view(const decomposition_object& self) {
    if (!self.order_view) self.order_view = view_of(index_array{self.result, {}, self.result->order.data(), {self.n}});
    return self.order_view;
}

py::object run_view(const decomposition_object& self, const index_run& run) {
    PyObject* view = PySequence_GetSlice(order_view(self).ptr(), run.start, run.start + run.count);
    if (view == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(view);
}

py::memoryview pairs_view(const decomposition_object& self) {
    return view_of(index_array{self.result, {}, reinterpret_cast<const int32_t*>(self.pairs()), {self.size(), 4}});
}

py::object pair_or_slice(const decomposition_object& self, const py::handle& key) {
    if (PySlice_Check(key.ptr()) != 0) {
        Py_ssize_t start = 0, stop = 0, step = 0;
        if (PySlice_Unpack(key.ptr(), &start, &stop, &step) < 0) throw py::error_already_set();
        if (step != 1)
            throw py::value_error("a Decomposition is sliced with step 1 only; got step " + std::to_string(step));
        PySlice_AdjustIndices(self.size(), &start, &stop, step);
        decomposition_object part = self;
        part.first += static_cast<std::size_t>(start);
        part.count = static_cast<std::size_t>(std::max<Py_ssize_t>(stop - start, 0));
        return py::cast(std::move(part));
    }
    Py_ssize_t k = PyNumber_AsSsize_t(key.ptr(), PyExc_IndexError);
    if (k == -1 && PyErr_Occurred() != nullptr) {
        if (PyErr_ExceptionMatches(PyExc_IndexError) == 0) throw py::error_already_set();
        PyErr_Clear();
        k = std::numeric_limits<Py_ssize_t>::max();
    }
    if (k < 0) k += self.size();
    if (k < 0 || k >= self.size()) throw py::index_error("pair index out of range");
    const separated_pair& pair = self.pairs()[k];
    // Memoryviews cannot refer back to the tuple: the collector need not
    // follow it. (A memoryview itself must stay tracked: its deallocation
    // assumes so.)
    py::tuple both = py::make_tuple(run_view(self, pair.first), run_view(self, pair.second));
    PyObject_GC_UnTrack(both.ptr());
    return std::move(both);
}

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
    return whole(std::move(result), self.tree->n, self.tree->d, s);
}

std::pair<uint64_t, uint64_t> count_tree(const tree_object& self, double s, int workers) {
    const int threads = worker_count(workers);
    const pair_count count =
        without_lock([&](interrupt& stop) { return count_decomposition(*self.tree, s, threads, stop); });
    return {count.pairs, count.points};
}

std::string thousands(std::size_t value) {
    std::string digits = std::to_string(value);
    for (auto at = static_cast<std::ptrdiff_t>(digits.size()) - 3; at > 0; at -= 3)
        digits.insert(static_cast<std::size_t>(at), ",");
    return digits;
}

// ---------------------------------------------------------------- pickling
//
// A tree pickles its points and is built again on loading: the build is
// deterministic, and a corrupted state meets the input checks of any other
// points. A decomposition pickles its arrays, checked on loading in
// O(n + m). With protocol 5 the arrays travel as out-of-band buffers.

py::object state_buffer(const py::object& view, int protocol) {
    if (protocol >= 5) return py::module_::import("pickle").attr("PickleBuffer")(view);
    PyObject* bytes = PyBytes_FromObject(view.ptr());
    if (bytes == nullptr) throw py::error_already_set();
    return py::reinterpret_steal<py::object>(bytes);
}

// (copyreg.__newobj__, (type,), state): loading makes an instance with
// __new__ and hands the state to __setstate__.
py::tuple reduced(const py::handle& self, py::tuple state) {
    const py::object newobj = py::module_::import("copyreg").attr("__newobj__");
    return py::make_tuple(newobj, py::make_tuple(py::type::handle_of(self)), std::move(state));
}

int64_t state_int(const py::tuple& state, std::size_t k, int64_t low, int64_t high, const char* name) {
    const py::handle value = state[k];
    if (PyLong_Check(value.ptr()) == 0) throw py::type_error(std::string("pickled state: ") + name + " is not an int");
    const long long v = PyLong_AsLongLong(value.ptr());
    if (v == -1 && PyErr_Occurred() != nullptr) throw py::error_already_set();
    if (v < low || v > high) throw py::value_error(std::string("pickled state: ") + name + " is out of range");
    return v;
}

// The bytes of a contiguous buffer in the state, copied into `count` values.
template <typename T>
raw_array<T> state_array(const py::tuple& state, std::size_t k, std::size_t count, const char* name) {
    Py_buffer view;
    if (PyObject_GetBuffer(state[k].ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    std::unique_ptr<Py_buffer, void (*)(Py_buffer*)> release(&view, PyBuffer_Release);
    if (static_cast<std::size_t>(view.len) / sizeof(T) != count || static_cast<std::size_t>(view.len) % sizeof(T) != 0)
        throw py::value_error(std::string("pickled state: ") + name + " has the wrong length");
    raw_array<T> out(count);
    if (count > 0) std::memcpy(out.data(), view.buf, count * sizeof(T));
    return out;
}

std::size_t buffer_length(const py::handle& value) {
    Py_buffer view;
    if (PyObject_GetBuffer(value.ptr(), &view, PyBUF_SIMPLE) != 0) throw py::error_already_set();
    const auto length = static_cast<std::size_t>(view.len);
    PyBuffer_Release(&view);
    return length;
}

py::tuple tree_state(const tree_object& self, int protocol) {
    const split_tree& tree = *self.tree;
    const std::size_t row = static_cast<std::size_t>(tree.d) * sizeof(double);
    auto points = py::reinterpret_steal<py::bytes>(
        PyBytes_FromStringAndSize(nullptr, static_cast<Py_ssize_t>(row * static_cast<std::size_t>(tree.n))));
    if (!points) throw py::error_already_set();
    char* to = PyBytes_AS_STRING(points.ptr());
    // Each leaf's centre is its point; order names its row.
    for (int32_t i = 0; i < static_cast<int32_t>(tree.node_count()); ++i) {
        if (tree.node(i).left != -1) continue;
        const auto at = static_cast<std::size_t>(tree.order[static_cast<std::size_t>(tree.node(i).first_leaf)]);
        std::memcpy(to + at * row, tree.center(i), row);
    }
    return py::make_tuple(tree.n, tree.d, state_buffer(points, protocol));
}

tree_object tree_from_state(const py::tuple& state) {
    if (state.size() != 3) throw py::value_error("pickled state of a SplitTree must hold 3 items");
    const auto n = static_cast<int32_t>(state_int(state, 0, 1, max_points, "n"));
    const auto d = static_cast<int32_t>(state_int(state, 1, 1, std::numeric_limits<int32_t>::max(), "d"));
    // The length is checked before anything of size n * d is allocated.
    if (buffer_length(state[2]) / sizeof(double) / static_cast<std::size_t>(n) != static_cast<std::size_t>(d))
        throw py::value_error("pickled state: points has the wrong length");
    raw_array<double> x =
        state_array<double>(state, 2, static_cast<std::size_t>(n) * static_cast<std::size_t>(d), "points");
    auto tree = without_lock([&](interrupt& stop) { return std::make_shared<const split_tree>(checked_tree(x, n, d, 1, stop)); });
    return tree_object{std::move(tree)};
}

py::tuple decomposition_state(const decomposition_object& self, int protocol) {
    return py::make_tuple(self.n, self.d, self.s, state_buffer(order_view(self), protocol),
                          state_buffer(pairs_view(self), protocol));
}

decomposition_object decomposition_from_state(const py::tuple& state) {
    if (state.size() != 5) throw py::value_error("pickled state of a Decomposition must hold 5 items");
    const auto n = static_cast<int32_t>(state_int(state, 0, 1, max_points, "n"));
    const auto d = static_cast<int32_t>(state_int(state, 1, 1, std::numeric_limits<int32_t>::max(), "d"));
    if (PyFloat_Check(state[2].ptr()) == 0) throw py::type_error("pickled state: s is not a float");
    const double s = PyFloat_AS_DOUBLE(state[2].ptr());
    if (!std::isfinite(s)) throw py::value_error("pickled state: s is not finite");
    auto result = std::make_shared<pair_list>();
    result->order = state_array<int32_t>(state, 3, static_cast<std::size_t>(n), "order");
    const std::size_t m = buffer_length(state[4]) / sizeof(separated_pair);
    result->pairs = state_array<separated_pair>(state, 4, m, "pairs");
    std::vector<bool> seen(static_cast<std::size_t>(n));
    for (const int32_t i : result->order) {
        if (i < 0 || i >= n || seen[static_cast<std::size_t>(i)])
            throw py::value_error("pickled state: order is not a permutation of 0 .. n - 1");
        seen[static_cast<std::size_t>(i)] = true;
    }
    for (const separated_pair& pair : result->pairs)
        for (const index_run& run : {pair.first, pair.second})
            if (run.start < 0 || run.count < 1 || run.start > n - run.count)
                throw py::value_error("pickled state: a pair's run lies outside 0 .. n");
    return whole(std::move(result), n, d, s);
}

// ---------------------------------------------------------------- docstrings

// build_lumo: every argument checked, then one worker.
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

The separation test is evaluated in double precision, as computed: at an exact tie (a gap equal
to s*r in exact arithmetic, as on integer grids) a pair may be taken as separated or not, so the
guarantees built on it (a spanner's stretch, the exactness of nearest pairs) hold up to the
rounding of that test.

Parameters
----------
points : array_like, shape (n, d)
    Real coordinates: a NumPy array of any real dtype, byte order and strides, any object with
    the buffer protocol, a sequence of equal-length sequences of numbers, or a list of point.
    Rows must be pairwise distinct and finite; at most 2**30 of them.
s : float, optional
    The separation factor (default 2.0).
workers : int, optional
    Threads to use: a positive count, or -1 for every core this process may use (default 1).
    A count above the cores this process may use is lowered to that number. The result does
    not depend on it.

Returns
-------
Decomposition
    The leaf order of the tree (`order`) and the pairs as runs of it (`pairs`).

Raises
------
ValueError
    For a shape that is not (n, d) with 1 <= n <= 2**30 and d >= 1, a ragged sequence, NaN or
    infinite values, coordinates whose squared distances overflow, two equal points, a
    non-finite s, or a bad workers count.
TypeError
    For values that are not real numbers (complex, str, object, datetime).
KeyboardInterrupt
    When Ctrl-C arrives during a call made on the main thread; nothing is kept. Python runs
    signal handlers on the main thread only, so a call made on another thread runs to its end.

Examples
--------
>>> import numpy as np, lumo
>>> pts = np.array([[0, 0], [0.1, 0], [0, 0.1], [10, 10], [10.1, 10], [10, 10.1]])
>>> dec = lumo.decompose(pts, s=2.0)
>>> len(dec)
7
>>> [a.tolist() for a in dec[0]]          # the two sets of the first pair
[[5, 3, 4], [2, 0, 1]]
>>> np.asarray(dec.representatives())[0]  # one point of each set: an edge of a spanner
array([5, 2], dtype=int32)
)";

constexpr const char* decomposition_doc = R"(A well-separated pair decomposition.

Attributes
----------
order : memoryview of int32, shape (n,)
    The point indices (rows of the input) in the leaf order of the fair split tree.
pairs : memoryview of int32, shape (m, 4)
    One row per pair: start and count of the first set in `order`, then start and count of the
    second. Both views share the decomposition's memory: numpy.asarray(dec.pairs) copies nothing.
n, d, s : the number of points, their dimension and the separation factor.

len(dec) is the number of pairs; dec[k] gives the two index arrays (int32 memoryviews, slices
of `order`) of pair k, and iterating gives those of every pair in order, one pair at a time.
dec[a:b] is a Decomposition of pairs a to b - 1 sharing the same memory (step 1 only).
For a million pairs or more, take the arrays, np.asarray(dec.pairs) and np.asarray(dec.order),
or to_list(): a memoryview per set costs about 200 bytes.

Pickling keeps n, d, s, order and the pairs (protocol 5 sends the arrays out of band), and a
loaded decomposition checks them; copy.copy and copy.deepcopy go the same way.

Examples
--------
>>> dec = lumo.decompose(np.random.default_rng(1).random((1000, 2)))
>>> pairs, order = np.asarray(dec.pairs), np.asarray(dec.order)
>>> first, second = dec[0]           # index arrays (memoryviews) of the first pair
>>> int(pairs[0, 1]) == len(first), len(dec[:10])
(True, 10)
)";

constexpr const char* tree_doc = R"(The fair split tree of an (n, d) array of points, built once.

The tree does not depend on s: decompose(s) searches it for any number of separation factors
without building it again. A pickled tree holds its points and is built again when loaded,
giving the same decompositions.

Examples
--------
>>> tree = lumo.SplitTree(np.random.default_rng(0).random((10000, 3)), workers=-1)
>>> coarse, fine = tree.decompose(1.0), tree.decompose(8.0)
>>> tree.n, tree.d
(10000, 3)
>>> len(coarse) < len(fine)
True
)";

}  // namespace

namespace {

// ---------------------------------------------------------------- spanning tree

// An array the module made and hands over whole: int64 or float64 values,
// exported through the buffer protocol and freed with its Python object.
struct result_array {
    raw_array<int64_t> integers;
    raw_array<double> reals;
    bool real = false;
    std::vector<Py_ssize_t> shape;
};

py::buffer_info result_buffer(result_array& a) {
    // An empty array still needs an address.
    static double empty = 0.0;
    const auto itemsize = static_cast<Py_ssize_t>(a.real ? sizeof(double) : sizeof(int64_t));
    void* data = a.real ? static_cast<void*>(a.reals.data()) : static_cast<void*>(a.integers.data());
    std::vector<Py_ssize_t> strides(a.shape.size(), itemsize);
    if (a.shape.size() == 2) strides[0] = a.shape[1] * itemsize;
    return py::buffer_info(data != nullptr ? data : &empty, itemsize,
                           a.real ? py::format_descriptor<double>::format() : py::format_descriptor<int64_t>::format(),
                           static_cast<Py_ssize_t>(a.shape.size()), a.shape, strides, true);
}

py::memoryview view_of(result_array array) {
    py::object holder = py::cast(std::move(array));
    return py::memoryview(holder);
}

struct emst_arrays {
    result_array edges;
    result_array lengths;
};

emst_arrays widen(spanning_tree tree) {
    emst_arrays out;
    const auto count = static_cast<Py_ssize_t>(tree.lengths.size());
    out.edges.integers = std::move(tree.edges);
    out.edges.shape = {count, 2};
    out.lengths.reals = std::move(tree.lengths);
    out.lengths.real = true;
    out.lengths.shape = {count};
    return out;
}

std::pair<py::memoryview, py::memoryview> emst_views(emst_arrays arrays) {
    return {view_of(std::move(arrays.edges)), view_of(std::move(arrays.lengths))};
}

py::memoryview linkage_view(raw_array<double> z) {
    result_array out;
    out.shape = {static_cast<Py_ssize_t>(z.size() / 4), 4};
    out.reals = std::move(z);
    out.real = true;
    return view_of(std::move(out));
}

constexpr const char* emst_doc = R"(The exact Euclidean minimum spanning tree of an (n, d) array of points.

Borůvka's algorithm over a kd-tree cut from the fair split tree. Edges are compared by
(squared distance, smaller index, larger index), the squared distance as computed in doubles:
the sum over k = 0 .. d-1, in that order, of (x[i, k] - x[j, k])**2. Under that total order
the minimum tree is unique, so the result is the same for every `workers`. Equal rows are
allowed: each joins the smallest index of its group by an edge of length 0.

Parameters
----------
points : array_like, shape (n, d)
    As for lumo.decompose, n >= 1; rows need not be distinct.
workers : int, optional
    Threads to use: a positive count, or -1 for every core (default 1).

Returns
-------
edges : memoryview of int64, shape (n - 1, 2)
    Point indices, edges[k, 0] < edges[k, 1].
lengths : memoryview of float64, shape (n - 1,)
    Euclidean lengths. Edges ascend by (length, first index, second index).

Raises
------
ValueError
    For a bad shape, NaN or infinite values, coordinates whose squared distances overflow,
    or a bad workers count.
TypeError
    For values that are not real numbers.
KeyboardInterrupt
    When Ctrl-C arrives during the call.

Examples
--------
>>> import numpy as np, lumo
>>> edges, lengths = lumo.emst(np.array([[0.0, 0.0], [3.0, 4.0], [0.0, 1.0]]))
>>> np.asarray(edges).tolist(), np.asarray(lengths).tolist()
([[0, 2], [1, 2]], [1.0, 4.242640687119285])
)";

constexpr const char* single_linkage_doc = R"(Single-linkage clustering of an (n, d) array of points.

The dendrogram follows from the Euclidean minimum spanning tree (see lumo.emst; equal rows
merge at distance 0), without the n*n distance matrix, in SciPy's linkage format: row k
merges clusters Z[k, 0] < Z[k, 1] at distance Z[k, 2] into a cluster of Z[k, 3] points; point
i is cluster i and row k makes cluster n + k. scipy.cluster.hierarchy's fcluster, cophenet
and dendrogram take it as they take linkage(points, 'single').

Parameters
----------
points : array_like, shape (n, d)
    As for lumo.emst.
workers : int, optional
    Threads to use: a positive count, or -1 for every core (default 1).

Returns
-------
memoryview of float64, shape (n - 1, 4)

Raises
------
ValueError, TypeError, KeyboardInterrupt
    As lumo.emst.

Examples
--------
>>> import numpy as np, lumo
>>> from scipy.cluster.hierarchy import fcluster
>>> pts = np.array([[0.0], [1.0], [10.0], [11.0]])
>>> Z = np.asarray(lumo.single_linkage(pts))
>>> Z.tolist()
[[0.0, 1.0, 1.0, 2.0], [2.0, 3.0, 1.0, 2.0], [4.0, 5.0, 9.0, 4.0]]
>>> fcluster(Z, 2, 'maxclust').tolist()
[1, 1, 2, 2]
)";

void bind_spanning_tree(py::module_& m) {
    py::class_<result_array>(m, "_ResultArray", py::buffer_protocol(),
                             "An int64 or float64 array of lumo.emst or lumo.single_linkage, read through "
                             "memoryview or numpy.asarray.")
        .def_buffer(&result_buffer)
        // As for _IndexArray: only the module makes these.
        .attr("__new__") = py::staticmethod(py::cpp_function([](const py::args&, const py::kwargs&) -> py::object {
            throw py::type_error("lumo._ResultArray cannot be made from Python");
        }));

    m.def(
        "emst",
        [](const py::object& points, int workers) {
            coordinates input = read_points(points);
            const int threads = worker_count(workers);
            return emst_views(without_lock([&](interrupt& stop) {
                return widen(euclidean_mst(input.x.data(), input.n, input.d, threads, stop));
            }));
        },
        py::arg("points"), py::arg("workers") = 1, emst_doc);

    m.def(
        "single_linkage",
        [](const py::object& points, int workers) {
            coordinates input = read_points(points);
            const int threads = worker_count(workers);
            return linkage_view(without_lock([&](interrupt& stop) {
                return single_linkage(euclidean_mst(input.x.data(), input.n, input.d, threads, stop), input.n, stop);
            }));
        },
        py::arg("points"), py::arg("workers") = 1, single_linkage_doc);

    auto tree_class = py::reinterpret_borrow<py::class_<tree_object>>(m.attr("SplitTree"));
    tree_class.def(
        "emst",
        [](const tree_object& self, int workers) {
            const int threads = worker_count(workers);
            return emst_views(
                without_lock([&](interrupt& stop) { return widen(euclidean_mst(*self.tree, threads, stop)); }));
        },
        py::arg("workers") = 1,
        "The Euclidean minimum spanning tree of the tree's points: (edges, lengths) as lumo.emst gives them.");
    tree_class.def(
        "single_linkage",
        [](const tree_object& self, int workers) {
            const int threads = worker_count(workers);
            return linkage_view(without_lock([&](interrupt& stop) {
                return single_linkage(euclidean_mst(*self.tree, threads, stop), self.tree->n, stop);
            }));
        },
        py::arg("workers") = 1, "Single-linkage clustering of the tree's points, as lumo.single_linkage gives it.");
}

}  // namespace

PYBIND11_MODULE(lumo, m) {
    m.doc() = "Well-separated pair decomposition (LUMO) plugin";

    // A result that does not fit says how far the search got.
    py::register_exception_translator([](std::exception_ptr error) {
        try {
            if (error) std::rethrow_exception(error);
        } catch (const pairs_out_of_memory& e) {
            PyErr_SetString(PyExc_MemoryError, e.what());
        }
    });
    main_thread = py::module_::import("threading").attr("main_thread")().attr("ident").cast<unsigned long>();

    m.def("build_lumo", &checked_build_lumo,
          R"(The function that computes LUMO following the Callahan and Kosaraju O(n log(n)) algorithm)");

    py::class_<point>(m, "point")
        .def(py::init<std::vector<double>>())
        .def("coord", &point_coord);

    m.attr("__version__") = LUMO_VERSION;

    py::class_<index_array> index_class(m, "_IndexArray", py::buffer_protocol(),
                                        "An int32 array of a Decomposition, read through memoryview or numpy.asarray.");
    index_class.def_buffer([](index_array& a) {
        std::vector<Py_ssize_t> strides(a.shape.size(), sizeof(int32_t));
        if (a.shape.size() == 2) strides[0] = a.shape[1] * static_cast<Py_ssize_t>(sizeof(int32_t));
        return py::buffer_info(const_cast<int32_t*>(a.data), sizeof(int32_t), py::format_descriptor<int32_t>::format(),
                               static_cast<Py_ssize_t>(a.shape.size()), a.shape, strides, true);
    });
    // Only the module makes these: an instance from __new__ would export
    // uninitialised storage. The module's own instances come from tp_alloc.
    index_class.attr("__new__") = py::staticmethod(py::cpp_function([](const py::args&, const py::kwargs&) -> py::object {
        throw py::type_error("lumo._IndexArray cannot be made from Python");
    }));

    py::class_<decomposition_object>(m, "Decomposition", decomposition_doc)
        .def_property_readonly(
            "order",
            [](const decomposition_object& self) {
                return view_of(index_array{self.result, {}, self.result->order.data(), {self.n}});
            },
            "The point indices in the tree's leaf order (int32, shape (n,)).")
        .def_property_readonly("pairs", &pairs_view,
                               "Per pair: start and count of each set in `order` (int32, shape (m, 4)).")
        .def_readonly("n", &decomposition_object::n, "The number of points.")
        .def_readonly("d", &decomposition_object::d, "The dimension of the points.")
        .def_readonly("s", &decomposition_object::s, "The separation factor.")
        .def("__len__", &decomposition_object::size)
        .def("__getitem__", &pair_or_slice, py::arg("k"),
             "The two index arrays (int32 memoryviews) of pair k, or a Decomposition of a slice of the pairs.")
        .def("__iter__",
             [](const py::object& self) {
                 const py::module_ builtins = py::module_::import("builtins");
                 return py::iter(builtins.attr("map")(self.attr("__getitem__"), builtins.attr("range")(py::len(self))));
             })
        .def(
            "representatives",
            [](const decomposition_object& self) {
                const pair_list& r = *self.result;
                index_array out;
                out.own.resize(2 * self.count);
                for (std::size_t k = 0; k < self.count; ++k) {
                    out.own[2 * k] = r.order[static_cast<std::size_t>(self.pairs()[k].first.start)];
                    out.own[2 * k + 1] = r.order[static_cast<std::size_t>(self.pairs()[k].second.start)];
                }
                out.data = out.own.data();
                out.shape = {self.size(), 2};
                return view_of(std::move(out));
            },
            R"(One point of each set of every pair (int32, shape (m, 2)).

The point picked is the first of the set in `order`: row k is order[pairs[k, 0]] and
order[pairs[k, 2]]. For a t-spanner (s = 4(t + 1)/(t - 1)) these rows are its edges; they are
distinct, since every two points lie in one pair only. For nearest-neighbour and closest-pair
uses, one representative per set is what the pair stands for.)")
        .def(
            "to_list", [](const decomposition_object& self) { return result_list(*self.result, self.first, self.count); },
            R"(The pairs as build_lumo returns them: a list of (first, second) tuples of index lists.)")
        .def("__reduce_ex__",
             [](const py::object& self, int protocol) {
                 return reduced(self, decomposition_state(record_of<decomposition_object>(self), protocol));
             })
        .def(py::pickle([](const decomposition_object& self) { return decomposition_state(self, 4); },
                        &decomposition_from_state))
        .def("__repr__", [](const decomposition_object& self) {
            return "<lumo.Decomposition: " + thousands(self.count) + " pairs of " +
                   thousands(static_cast<std::size_t>(self.n)) + " points in " + std::to_string(self.d) +
                   "-D, s=" + std::string(py::str(py::float_(self.s))) + ">";
        });

    py::class_<tree_object>(m, "SplitTree", tree_doc)
        .def(py::init(&make_tree), py::arg("points"), py::arg("workers") = 1,
             "Builds the tree; points and workers as for lumo.decompose.")
        .def("decompose", &decompose_tree, py::arg("s") = 2.0, py::arg("workers") = 1,
             "The well-separated pair decomposition for s (see lumo.decompose).")
        .def("count", &count_tree, py::arg("s") = 2.0, py::arg("workers") = 1,
             R"(The size of decompose(s) without making it: (pairs, total set size).

The total set size is the sum over all pairs of the points in both sets, so that a result takes
16 bytes per pair (and 4 per point for the order). Same arguments and errors as decompose;
a fraction of its time and no memory for the pairs.)")
        .def_property_readonly("n", [](const tree_object& self) { return self.tree->n; }, "The number of points.")
        .def_property_readonly("d", [](const tree_object& self) { return self.tree->d; }, "The dimension of the points.")
        .def("__reduce_ex__",
             [](const py::object& self, int protocol) {
                 return reduced(self, tree_state(record_of<tree_object>(self), protocol));
             })
        .def(py::pickle([](const tree_object& self) { return tree_state(self, 4); }, &tree_from_state))
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
            return whole(std::move(result), input.n, input.d, s);
        },
        py::arg("points"), py::arg("s") = 2.0, py::arg("workers") = 1, decompose_doc);

    bind_spanning_tree(m);

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
        })
        // As for _IndexArray: only the module makes these.
        .attr("__new__") = py::staticmethod(py::cpp_function([](const py::args&, const py::kwargs&) -> py::object {
            throw py::type_error("lumo._GraphArray cannot be made from Python");
        }));
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
