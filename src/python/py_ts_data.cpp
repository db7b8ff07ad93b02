#include "python/py_ts_data.hpp"

#include "python/py_errors.hpp"

namespace mirvon::py {

std::expected<double, ModelError> TsDataPy::asset_value(const std::string& name, std::int64_t time) const {
    if (name == base_) return 1.0;
    auto failure = [] {
        return std::unexpected(ModelError(PyExecError{PyExecError::Method{"get_value", PyException::fetch()}}));
    };
    // The method name is made once; the call goes without a tuple or a bound method.
    if (!method_) method_ = PyRef::steal(PyUnicode_InternFromString("get_value"));
    if (!method_) return failure();
    PyRef py_name = PyRef::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!py_name) return failure();
    PyRef py_time = PyRef::steal(PyLong_FromLongLong(time));
    if (!py_time) return failure();
    PyObject* args[] = {source_.get(), py_name.get(), py_time.get()};
    PyRef result = PyRef::steal(
        PyObject_VectorcallMethod(method_.get(), args, 3 | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr));
    if (!result) return failure();
    const double value = PyFloat_AsDouble(result.get());
    if (value == -1.0 && PyErr_Occurred()) return failure();
    return value;
}

}  // namespace mirvon::py
