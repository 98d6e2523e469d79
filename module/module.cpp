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

// The decomposition as a list of 2-tuples of int lists, built with the C API
// straight from the runs of the leaf order: one int object per point index,
// shared by every list holding it, and the cyclic collector paused, since a
// result holds millions of new containers that it would otherwise scan
// again and again.
template <>
class type_caster<pair_list> {
public:
    PYBIND11_TYPE_CASTER(pair_list, const_name("List[Tuple[List[int], List[int]]]"));

    bool load(handle, bool) { return false; }

    static handle cast(const pair_list& result, return_value_policy, handle) {
        const collector_pause pause;
        // Every index lies in the leaf order; make its int object once.
        std::vector<object> ints(result.pairs.empty() ? 0 : result.order.size());
        for (std::size_t i = 0; i < ints.size(); ++i) {
            ints[i] = reinterpret_steal<object>(PyLong_FromSsize_t(static_cast<Py_ssize_t>(i)));
            if (!ints[i]) return handle();
        }
        list out(result.pairs.size());
        for (std::size_t k = 0; k < result.pairs.size(); ++k) {
            tuple item(2);
            PyTuple_SET_ITEM(item.ptr(), 0, index_list(result, result.pairs[k].first, ints).release().ptr());
            PyTuple_SET_ITEM(item.ptr(), 1, index_list(result, result.pairs[k].second, ints).release().ptr());
            PyList_SET_ITEM(out.ptr(), static_cast<Py_ssize_t>(k), item.release().ptr());
        }
        return out.release();
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

    static list index_list(const pair_list& result, const index_run& run, const std::vector<object>& ints) {
        list out(static_cast<std::size_t>(run.count));
        const int32_t* index = result.order.data() + run.start;
        for (int32_t j = 0; j < run.count; ++j)
            PyList_SET_ITEM(out.ptr(), j, ints[static_cast<std::size_t>(index[j])].inc_ref().ptr());
        return out;
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
