#include "python/py_mc_model.hpp"

#include "core/stop_check.hpp"
#include "python/numpy_arrays.hpp"
#include "python/pending_exception.hpp"
#include "python/py_errors.hpp"

namespace mirvon::py {

namespace {

std::expected<PyRef, ModelError> call_method(PyObject* self, const char* method, PyObject* arg) {
    PyRef name = PyRef::steal(PyUnicode_FromString(method));
    PyRef result = name ? PyRef::steal(PyObject_CallMethodOneArg(self, name.get(), arg)) : PyRef();
    if (!result) return std::unexpected(ModelError(PyExecError{PyExecError::Method{method, PyException::fetch()}}));
    return result;
}

// An array must have one element per path or a single one; anything else
// cannot be combined with the other vectors of the run.
std::expected<void, ModelError> check_length(const char* method, std::size_t got, std::size_t paths) {
    if (got == 1 || got == paths) return {};
    return std::unexpected(ModelError::message("Python method '" + std::string(method) +
                                               "' returned an array of length " + std::to_string(got) +
                                               ", expected 1 or " + std::to_string(paths)));
}

}  // namespace

std::expected<std::optional<Vec>, ModelError> MCPy::get_model_val_mc(const FwdModelStateGeneric&,
                                                                     const std::string& name) const {
    PyRef py_name = PyRef::steal(PyUnicode_FromStringAndSize(name.data(), static_cast<Py_ssize_t>(name.size())));
    if (!py_name)
        return std::unexpected(ModelError(PyExecError{PyExecError::Method{"get_value", PyException::fetch()}}));
    auto result = call_method(py_state_, "get_value", py_name.get());
    if (!result) return std::unexpected(std::move(result.error()));
    auto values = float64_vector(result->get());
    if (!values) return std::optional<Vec>{};
    if (auto ok = check_length("get_value", values->size(), params_.paths); !ok)
        return std::unexpected(std::move(ok.error()));
    return std::optional<Vec>(std::move(*values));
}

std::expected<void, ModelError> MCPy::advance(FwdModelStateGeneric& state, std::int64_t time) const {
    const double t = year_fraction(time, params_.pricing_ts);
    PyRef py_t = PyRef::steal(PyFloat_FromDouble(t));
    if (!py_t)
        return std::unexpected(ModelError(PyExecError{PyExecError::Method{"advance", PyException::fetch()}}));
    auto result = call_method(py_state_, "advance", py_t.get());
    if (!result) return std::unexpected(std::move(result.error()));
    if (auto factors = float64_vector(result->get())) {
        if (auto ok = check_length("advance", factors->size(), params_.paths); !ok) return ok;
        auto product = mul_assign(state.discount, *factors);
        if (!product) return std::unexpected(ModelError::message(product.error().text()));
        return {};
    }
    const double factor = PyFloat_AsDouble(result->get());
    if (!(factor == -1.0 && PyErr_Occurred())) {
        for (double& d : state.discount) d *= factor;
        return {};
    }
    // No usable answer: discount deterministically with the base curve.
    if (!clear_ordinary_exception()) return std::unexpected(stop_error());
    auto df = params_.assets.discount_factor(t);
    if (!df) return std::unexpected(ModelError(std::move(df.error())));
    state.discount.assign(1, *df);
    return {};
}

}  // namespace mirvon::py
