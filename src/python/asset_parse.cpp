#include <cmath>

#include "python/dataset.hpp"
#include "python/model_params.hpp"

namespace mirvon::py {

namespace {

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
    auto columns = get_2col_array(PyTuple_GET_ITEM(description, 1));
    if (!columns) return std::unexpected(std::move(columns.error()));
    // A curve needs at least one point; say which asset lacks it.
    if (columns->first.empty())
        return std::unexpected(PyParseError::message("Asset '" + name + "' has a curve without rows"));
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
