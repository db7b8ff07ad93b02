#include <cmath>
#include <optional>
#include <string>

#include "python/dataset.hpp"
#include "python/model_params.hpp"
#include "python/numpy_api.hpp"

namespace mirvon::py {

namespace {

// A two-dimensional float64 array in native byte order: what the curve reader takes.
bool is_float64_table(PyObject* curve) {
    if (!PyArray_Check(curve)) return false;
    auto* array = reinterpret_cast<PyArrayObject*>(curve);
    return PyArray_NDIM(array) == 2 && PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array);
}

// The curve as the caller gave it, in the caller's terms: its type, or its
// dtype and shape.
std::string describe_curve(PyObject* curve) {
    if (!PyArray_Check(curve)) return std::string("a '") + Py_TYPE(curve)->tp_name + "'";
    auto* array = reinterpret_cast<PyArrayObject*>(curve);
    std::string dtype = "?";
    if (PyRef d = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(PyArray_DESCR(array)))))
        if (auto text = to_string(d.get())) dtype = *text;
    PyErr_Clear();
    std::string shape = "(";
    for (int i = 0; i < PyArray_NDIM(array); ++i)
        shape += (i ? ", " : "") + std::to_string(PyArray_DIM(array, i));
    shape += PyArray_NDIM(array) == 1 ? ",)" : ")";
    return "an array of dtype " + dtype + " and shape " + shape;
}

// A curve of the wrong kind of object is a type error of the caller's value;
// a float64 table without a point or without a value column is a plain message.
std::optional<PyParseError> curve_problem(const std::string& name, PyObject* curve) {
    const bool table = is_float64_table(curve);
    if (table) {
        auto* array = reinterpret_cast<PyArrayObject*>(curve);
        if (PyArray_DIM(array, 0) >= 1 && PyArray_DIM(array, 1) >= 2) return std::nullopt;
    }
    const std::string text = "Asset '" + name +
                             "' needs a curve given as a float64 array of at least one row and two columns "
                             "(times, values), got " +
                             describe_curve(curve);
    if (table) return PyParseError::message(text);
    PyRef message = PyRef::steal(PyUnicode_FromStringAndSize(text.data(), static_cast<Py_ssize_t>(text.size())));
    if (message) PyErr_SetObject(PyExc_TypeError, message.get());
    return PyParseError::fetch();
}

std::expected<AssetLogFwd, PyParseError> parse_asset(const std::string& name, PyObject* description,
                                                     const std::string& base) {
    if (!PyTuple_Check(description))
        return std::unexpected(PyParseError::WrongType{"n/a", type_check_detail(description, "tuple")});
    // Items are read in order, so a wrong type of item 0 is reported before a missing item 1.
    auto item = [description](Py_ssize_t i) -> std::expected<PyObject*, PyParseError> {
        if (i < PyTuple_GET_SIZE(description)) return PyTuple_GET_ITEM(description, i);
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return std::unexpected(PyParseError::fetch());
    };
    auto type_item = item(0);
    if (!type_item) return std::unexpected(std::move(type_item.error()));
    auto type = to_string(*type_item);
    if (!type) return std::unexpected(PyParseError::Python{std::move(type.error())});
    auto curve_item = item(1);
    if (!curve_item) return std::unexpected(std::move(curve_item.error()));
    PyObject* curve = *curve_item;
    if (auto problem = curve_problem(name, curve)) return std::unexpected(std::move(*problem));
    auto columns = get_2col_array(curve);
    if (!columns) return std::unexpected(std::move(columns.error()));
    Vec& times = columns->first;
    Vec& log_values = columns->second;
    if (*type == "ZERO_RATES") {
        for (std::size_t i = 0; i < times.size(); ++i) log_values[i] *= times[i];
    } else if (*type == "FORWARDS") {
        for (double& v : log_values) v = std::log(v);
    } else {
        return std::unexpected(PyParseError::message("Unknown asset type " + *type));
    }
    const ForwardKind kind = name == base ? ForwardKind::Base : ForwardKind::Forward;
    auto asset = AssetLogFwd::create(std::move(times), std::move(log_values), kind);
    if (!asset) return std::unexpected(PyParseError(std::move(asset.error())));
    return std::move(*asset);
}

}  // namespace

std::expected<Assets, PyParseError> create_assets(PyObject* dataset) {
    auto base = get_typed<std::string>(dataset, "BASE");
    if (!base) return std::unexpected(std::move(base.error()));
    auto assets = get_dict(dataset, "ASSETS");
    if (!assets) return std::unexpected(std::move(assets.error()));
    PyRef items = PyRef::steal(PyDict_Items(*assets));
    if (!items) return std::unexpected(PyParseError::fetch());
    std::unordered_map<std::string, AssetLogFwd> by_name;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        auto name = to_string(PyTuple_GET_ITEM(pair, 0));
        if (!name) return std::unexpected(PyParseError::Python{std::move(name.error())});
        auto asset = parse_asset(*name, PyTuple_GET_ITEM(pair, 1), *base);
        if (!asset) return std::unexpected(std::move(asset.error()));
        by_name.insert_or_assign(std::move(*name), std::move(*asset));
    }
    return Assets(std::move(*base), std::move(by_name));
}

}  // namespace mirvon::py
