#include "python/py_phrase.hpp"

#include "python/numpy_arrays.hpp"
#include "python/pending_exception.hpp"

namespace mirvon::py {

std::expected<Vec, PyExecError> to_array1(PyObject* object) {
    if (auto v = float64_vector(object)) return std::move(*v);
    if (auto v = bool_vector(object)) return std::move(*v);
    const double x = PyFloat_AsDouble(object);
    if (!(x == -1.0 && PyErr_Occurred())) return Vec{x};
    // The call fails either way; an exception that must reach the caller waits for the boundary.
    clear_ordinary_exception();
    PyRef type_text = PyRef::steal(PyObject_Str(reinterpret_cast<PyObject*>(Py_TYPE(object))));
    const char* utf8 = type_text ? PyUnicode_AsUTF8(type_text.get()) : nullptr;
    if (utf8 == nullptr) clear_ordinary_exception();
    return std::unexpected(PyExecError{PyExecError::Execution{
        std::string("Expected float or array, received ") + (utf8 ? utf8 : "<unknown type>")}});
}

std::expected<std::vector<Vec>, ExprError> PyPhrase::eval(std::vector<Vec> inputs) const {
    PyRef list = PyRef::steal(PyList_New(static_cast<Py_ssize_t>(inputs.size())));
    if (!list) return std::unexpected(ExprError(PyExecError{PyExecError::Python{PyException::fetch()}}));
    for (std::size_t i = 0; i < inputs.size(); ++i) {
        PyRef array = to_numpy(std::move(inputs[i]));
        if (!array) return std::unexpected(ExprError(PyExecError{PyExecError::Python{PyException::fetch()}}));
        PyList_SET_ITEM(list.get(), static_cast<Py_ssize_t>(i), array.release());
    }
    PyRef result = PyRef::steal(PyObject_CallOneArg(fn_.get(), list.get()));
    if (!result) return std::unexpected(ExprError(PyExecError{PyExecError::Python{PyException::fetch()}}));
    if (!PyList_Check(result.get()))
        return std::unexpected(
            ExprError(PyExecError{PyExecError::WrongType{type_check_detail(result.get(), "list")}}));
    std::vector<Vec> outputs;
    // The callable may hold on to the list and change it; read its size each time.
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(result.get()); ++i) {
        PyRef item = PyRef::borrow(PyList_GET_ITEM(result.get(), i));
        auto v = to_array1(item.get());
        if (!v) return std::unexpected(ExprError(v.error()));
        outputs.push_back(std::move(*v));
    }
    return outputs;
}

}  // namespace mirvon::py
