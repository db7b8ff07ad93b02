#include "python/numpy_arrays.hpp"

#include <cstring>

#include "python/numpy_api.hpp"

namespace mirvon::py {

namespace {

template <class Container>
void destroy_vector(PyObject* capsule) {
    delete static_cast<Container*>(PyCapsule_GetPointer(capsule, "mirvon.vector"));
}

// The array's base object is a capsule owning the vector, so the buffer lives
// as long as the array (for a vector held inline, the capsule's copy of it).
template <class Container>
PyRef adopt_vector(Container&& values, int typenum) {
    auto* owned = new Container(std::move(values));
    PyRef capsule = PyRef::steal(PyCapsule_New(owned, "mirvon.vector", &destroy_vector<Container>));
    if (!capsule) {
        delete owned;
        return {};
    }
    npy_intp dims[1] = {static_cast<npy_intp>(owned->size())};
    PyRef array = PyRef::steal(PyArray_SimpleNewFromData(1, dims, typenum, owned->data()));
    if (!array) return {};
    if (PyArray_SetBaseObject(reinterpret_cast<PyArrayObject*>(array.get()), capsule.release()) != 0)
        return {};
    return array;
}

PyArrayObject* one_dimensional(PyObject* object) {
    if (!PyArray_Check(object)) return nullptr;
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    return PyArray_NDIM(array) == 1 ? array : nullptr;
}

template <class T, class F>
Vec strided_copy(PyArrayObject* array, F convert) {
    const npy_intp n = PyArray_DIM(array, 0);
    const npy_intp stride = PyArray_STRIDE(array, 0);
    const char* data = static_cast<const char*>(PyArray_DATA(array));
    Vec out(static_cast<std::size_t>(n));
    for (npy_intp i = 0; i < n; ++i) {
        T x;
        std::memcpy(&x, data + i * stride, sizeof(T));  // strided views need not be aligned
        out[static_cast<std::size_t>(i)] = convert(x);
    }
    return out;
}

}  // namespace

PyRef to_numpy(Vec&& values) { return adopt_vector(std::move(values), NPY_FLOAT64); }
PyRef to_numpy(std::vector<std::uint64_t>&& values) { return adopt_vector(std::move(values), NPY_UINT64); }

PyRef copy_to_numpy(const Vec& values) { return to_numpy(Vec(values)); }

std::optional<Vec> float64_vector(PyObject* object) {
    PyArrayObject* array = one_dimensional(object);
    if (array == nullptr) return std::nullopt;
    PyArray_Descr* f64 = PyArray_DescrFromType(NPY_FLOAT64);
    const bool same = PyArray_EquivTypes(PyArray_DESCR(array), f64);
    Py_DECREF(f64);
    if (!same) return std::nullopt;
    if (PyArray_STRIDE(array, 0) == static_cast<npy_intp>(sizeof(double)) && PyArray_ISALIGNED(array)) {
        const auto* first = static_cast<const double*>(PyArray_DATA(array));
        return Vec(first, first + PyArray_DIM(array, 0));
    }
    return strided_copy<double>(array, [](double x) { return x; });
}

std::optional<Vec> bool_vector(PyObject* object) {
    PyArrayObject* array = one_dimensional(object);
    if (array == nullptr || PyArray_TYPE(array) != NPY_BOOL) return std::nullopt;
    return strided_copy<npy_bool>(array, [](npy_bool b) { return b ? 1.0 : 0.0; });
}

}  // namespace mirvon::py
