// SPDX-License-Identifier: MIT
// The Python module `lumo`: the `point` type over the core's point record and
// the `build_lumo` entry point. Conversions only; the geometry is in core/.
#include <pybind11/pybind11.h>
#include <pybind11/stl.h>

#include <cstddef>
#include <cstdint>
#include <vector>

#include "checks.h"
#include "pair_search.h"
#include "point.h"

namespace py = pybind11;

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

// The decomposition as a list of 2-tuples of int lists. Built with the
// C API: one int object per point index, shared by every list holding it,
// and the cyclic collector paused, since a result holds millions of new
// containers that it would otherwise scan again and again.
template <>
class type_caster<pair_list> {
public:
    PYBIND11_TYPE_CASTER(pair_list, const_name("List[Tuple[List[int], List[int]]]"));

    bool load(handle, bool) { return false; }

    static handle cast(const pair_list& pairs, return_value_policy, handle) {
        const collector_pause pause;
        int32_t top = -1;
        for (const auto& pair : pairs) {
            for (int32_t i : pair.first) top = i > top ? i : top;
            for (int32_t i : pair.second) top = i > top ? i : top;
        }
        std::vector<object> ints(static_cast<std::size_t>(top + 1));
        list result(pairs.size());
        for (std::size_t k = 0; k < pairs.size(); ++k) {
            object first = index_list(pairs[k].first, ints);
            if (!first) return handle();
            object second = index_list(pairs[k].second, ints);
            if (!second) return handle();
            tuple item(2);
            PyTuple_SET_ITEM(item.ptr(), 0, first.release().ptr());
            PyTuple_SET_ITEM(item.ptr(), 1, second.release().ptr());
            PyList_SET_ITEM(result.ptr(), static_cast<Py_ssize_t>(k), item.release().ptr());
        }
        return result.release();
    }

private:
    struct collector_pause {
        bool was_on = PyGC_Disable() != 0;
        collector_pause() = default;
        collector_pause(const collector_pause&) = delete;
        collector_pause& operator=(const collector_pause&) = delete;
        ~collector_pause() {
            if (was_on) PyGC_Enable();
        }
    };

    // A new list of the indices; a null object (with the Python error set)
    // if an int cannot be made.
    static object index_list(const std::vector<int32_t>& indices, std::vector<object>& ints) {
        list out(indices.size());
        for (std::size_t j = 0; j < indices.size(); ++j) {
            object& value = ints[static_cast<std::size_t>(indices[j])];
            if (!value) {
                value = reinterpret_steal<object>(PyLong_FromLong(indices[j]));
                if (!value) return object();
            }
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(j), value.inc_ref().ptr());
        }
        return std::move(out);
    }
};

}  // namespace detail
}  // namespace pybind11

namespace {

// The driver, with every precondition it assumes checked first.
pair_list checked_build_lumo(int32_t n, int32_t d, double s, std::vector<point>& points) {
    check_input(n, d, s, points);
    return build_lumo(n, d, s, points);
}

const std::vector<double>& point_coord(const point& p) { return p.coord; }

}  // namespace

PYBIND11_MODULE(lumo, m) {
    m.doc() = "Well-separated pair decomposition (LUMO) plugin";

    m.def("build_lumo", &checked_build_lumo,
          R"(The function that computes LUMO following the Callahan and Kosaraju O(n log(n)) algorithm)");

    py::class_<point>(m, "point")
        .def(py::init<std::vector<double>>())
        .def("coord", &point_coord);
}
