#include "python/py_ts_data.hpp"

#include "python/py_errors.hpp"

namespace mirvon::py {

std::expected<double, ModelError> TsDataPy::asset_value(const std::string& name, std::int64_t time) const {
    if (name == base_) return 1.0;
    auto failure = [] {
        return std::unexpected(ModelError(PyExecError{PyExecError::Method{"get_value", PyException::fetch()}}));
    };
    PyRef result = PyRef::steal(PyObject_CallMethod(source_.get(), "get_value", "s#L", name.data(),
                                                    static_cast<Py_ssize_t>(name.size()),
                                                    static_cast<long long>(time)));
    if (!result) return failure();
    const double value = PyFloat_AsDouble(result.get());
    if (value == -1.0 && PyErr_Occurred()) return failure();
    return value;
}

}  // namespace mirvon::py
