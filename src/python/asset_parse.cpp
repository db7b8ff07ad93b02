#include <cmath>
#include <optional>
#include <string>

#include "python/dataset.hpp"
#include "python/model_params.hpp"
#include "python/numpy_api.hpp"

namespace mirvon::py {

namespace {

// What is wrong with a curve that cannot be read as times and values, said in
// the caller's terms (its type, or its dtype and shape); nothing when it is usable.
std::optional<std::string> curve_shape_problem(PyObject* curve) {
    if (!PyArray_Check(curve)) return std::string("a '") + Py_TYPE(curve)->tp_name + "'";
    auto* array = reinterpret_cast<PyArrayObject*>(curve);
    if (PyArray_NDIM(array) == 2 && PyArray_TYPE(array) == NPY_DOUBLE && PyArray_ISNOTSWAPPED(array) &&
        PyArray_DIM(array, 0) >= 1 && PyArray_DIM(array, 1) >= 2)
        return std::nullopt;
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

std::expected<AssetLogFwd, PyParseError> parse_asset(const std::string& name, PyObject* description,
                                                     const std::string& base) {
    if (!PyTuple_Check(description))
        return std::unexpected(PyParseError::WrongType{"n/a", type_check_detail(description, "tuple")});
    if (PyTuple_GET_SIZE(description) < 2) {
        PyErr_SetString(PyExc_IndexError, "tuple index out of range");
        return std::unexpected(PyParseError::fetch());
    }
    auto type = to_string(PyTuple_GET_ITEM(description, 0));
    if (!type) return std::unexpected(PyParseError::Python{std::move(type.error())});
    PyObject* curve = PyTuple_GET_ITEM(description, 1);
    if (auto shape = curve_shape_problem(curve))
        return std::unexpected(PyParseError::message(
            "Asset '" + name +
            "' needs a curve given as a float64 array of at least one row and two columns "
            "(times, values), got " +
            *shape));
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
    PyRef items = PyRef::steal(PyDict_Items(assets->get()));
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
