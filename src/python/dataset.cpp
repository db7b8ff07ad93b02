#include "python/dataset.hpp"

#include <cstring>
#include <limits>

#include "python/numpy_api.hpp"

namespace mirvon::py {

namespace {

std::unexpected<PyException> type_error(std::string message) {
    PyErr_SetString(PyExc_TypeError, message.c_str());
    return std::unexpected(PyException::fetch());
}

// An int, or any object with __index__ (a NumPy integer, for example), as an
// int; a float is refused even when it holds a whole number.
std::expected<PyRef, PyException> to_int(PyObject* value) {
    if (PyFloat_Check(value) || !PyIndex_Check(value))
        return type_error(std::string("'") + Py_TYPE(value)->tp_name +
                          "' object cannot be interpreted as an integer");
    PyRef index = PyRef::steal(PyNumber_Index(value));
    if (!index) return std::unexpected(PyException::fetch());
    return index;
}

std::expected<std::uint64_t, PyException> to_unsigned(PyObject* value, std::uint64_t max) {
    auto index = to_int(value);
    if (!index) return std::unexpected(std::move(index.error()));
    const unsigned long long v = PyLong_AsUnsignedLongLong(index->get());
    if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred())
        return std::unexpected(PyException::fetch());
    if (v > max) {
        PyErr_SetString(PyExc_OverflowError, "int too big to convert");
        return std::unexpected(PyException::fetch());
    }
    return v;
}

}  // namespace

std::expected<double, PyException> to_f64(PyObject* value) {
    const double v = PyFloat_AsDouble(value);
    if (v == -1.0 && PyErr_Occurred()) return std::unexpected(PyException::fetch());
    return v;
}

std::expected<std::uint64_t, PyException> to_u64(PyObject* value) {
    return to_unsigned(value, std::numeric_limits<std::uint64_t>::max());
}

std::expected<std::int64_t, PyException> to_i64(PyObject* value) {
    auto index = to_int(value);
    if (!index) return std::unexpected(std::move(index.error()));
    const long long v = PyLong_AsLongLong(index->get());
    if (v == -1 && PyErr_Occurred()) return std::unexpected(PyException::fetch());
    return v;
}

std::expected<std::string, PyException> to_string(PyObject* value) {
    if (!PyUnicode_Check(value)) return type_error(type_check_detail(value, "str"));
    Py_ssize_t size = 0;
    const char* utf8 = PyUnicode_AsUTF8AndSize(value, &size);
    if (utf8 == nullptr) return std::unexpected(PyException::fetch());
    return std::string(utf8, static_cast<std::size_t>(size));
}

std::expected<std::vector<std::string>, PyException> to_string_list(PyObject* value) {
    if (PyUnicode_Check(value) || !PySequence_Check(value))
        return type_error(type_check_detail(value, "list of str"));
    PyRef seq = PyRef::steal(PySequence_Fast(value, "expected a sequence"));
    if (!seq) return std::unexpected(PyException::fetch());
    const Py_ssize_t n = PySequence_Fast_GET_SIZE(seq.get());
    std::vector<std::string> out;
    out.reserve(static_cast<std::size_t>(n));
    for (Py_ssize_t i = 0; i < n; ++i) {
        auto s = to_string(PySequence_Fast_GET_ITEM(seq.get(), i));
        if (!s) return std::unexpected(std::move(s.error()));
        out.push_back(std::move(*s));
    }
    return out;
}

std::expected<PyRef, PyParseError> get_any(PyObject* dict, const char* key) {
    PyRef k = PyRef::steal(PyUnicode_FromString(key));
    if (!k) return std::unexpected(PyParseError::fetch());
    PyRef value = PyRef::borrow(PyDict_GetItemWithError(dict, k.get()));
    if (!value) {
        if (PyErr_Occurred()) return std::unexpected(PyParseError::fetch());
        return std::unexpected(PyParseError::MissingKey{key});
    }
    return value;
}

std::expected<PyRef, PyParseError> get_dict(PyObject* dict, const char* key) {
    auto value = get_any(dict, key);
    if (!value) return value;
    if (!PyDict_Check(value->get()))
        return std::unexpected(PyParseError::WrongType{key, type_check_detail(value->get(), "dict")});
    return value;
}

template <class T, class F>
std::expected<T, PyParseError> get_converted(PyObject* dict, const char* key, F convert) {
    auto value = get_any(dict, key);
    if (!value) return std::unexpected(std::move(value.error()));
    auto converted = convert(value->get());
    if (!converted) return std::unexpected(PyParseError::WrongType{key, converted.error().display});
    return std::move(*converted);
}

template <>
std::expected<double, PyParseError> get_typed<double>(PyObject* dict, const char* key) {
    return get_converted<double>(dict, key, to_f64);
}
template <>
std::expected<std::uint64_t, PyParseError> get_typed<std::uint64_t>(PyObject* dict, const char* key) {
    return get_converted<std::uint64_t>(dict, key, to_u64);
}
template <>
std::expected<std::int64_t, PyParseError> get_typed<std::int64_t>(PyObject* dict, const char* key) {
    return get_converted<std::int64_t>(dict, key, to_i64);
}
template <>
std::expected<std::string, PyParseError> get_typed<std::string>(PyObject* dict, const char* key) {
    return get_converted<std::string>(dict, key, to_string);
}
template <>
std::expected<std::vector<std::string>, PyParseError> get_typed<std::vector<std::string>>(
    PyObject* dict, const char* key) {
    return get_converted<std::vector<std::string>>(dict, key, to_string_list);
}

std::expected<std::uint32_t, PyParseError> get_flag(PyObject* section) {
    auto value = get_any(section, "FLAGS");
    if (!value) {
        if (std::holds_alternative<PyParseError::MissingKey>(value.error().v)) return 0u;
        return std::unexpected(std::move(value.error()));
    }
    auto flags = to_unsigned(value->get(), std::numeric_limits<std::uint32_t>::max());
    if (!flags) return std::unexpected(PyParseError::WrongType{"FLAGS", flags.error().display});
    if (*flags > 15) return std::unexpected(PyParseError::message("Invalid bits set in FLAG"));
    return static_cast<std::uint32_t>(*flags);
}

std::expected<TwoColumns, PyParseError> get_2col_array(PyObject* object) {
    if (!PyArray_Check(object) || PyArray_NDIM(reinterpret_cast<PyArrayObject*>(object)) != 2 ||
        PyArray_TYPE(reinterpret_cast<PyArrayObject*>(object)) != NPY_DOUBLE ||
        !PyArray_ISNOTSWAPPED(reinterpret_cast<PyArrayObject*>(object))) {
        PyErr_SetString(PyExc_TypeError,
                        type_check_detail(object, "2-dimensional float64 array").c_str());
        return std::unexpected(PyParseError::fetch());
    }
    auto* array = reinterpret_cast<PyArrayObject*>(object);
    const npy_intp rows = PyArray_DIM(array, 0);
    const npy_intp cols = PyArray_DIM(array, 1);
    if (cols < 2) {
        PyErr_SetString(PyExc_ValueError, ("expected at least two columns, got " + std::to_string(cols)).c_str());
        return std::unexpected(PyParseError::fetch());
    }
    const char* data = static_cast<const char*>(PyArray_DATA(array));
    const npy_intp rs = PyArray_STRIDE(array, 0), cs = PyArray_STRIDE(array, 1);
    TwoColumns out{Vec(static_cast<std::size_t>(rows)), Vec(static_cast<std::size_t>(rows))};
    for (npy_intp i = 0; i < rows; ++i) {
        // memcpy: a strided view need not be aligned.
        std::memcpy(&out.first[static_cast<std::size_t>(i)], data + i * rs, sizeof(double));
        std::memcpy(&out.second[static_cast<std::size_t>(i)], data + i * rs + cs, sizeof(double));
    }
    return out;
}

}  // namespace mirvon::py
