#include "python/arrow_import.hpp"

#include <string>

#include "python/arguments.hpp"

namespace mirvon::py {

std::optional<arrow::RecordBatch> import_record_batch(const char* function, const char* parameter,
                                                      PyObject* object) {
    PyRef method = PyRef::steal(PyObject_GetAttrString(object, "__arrow_c_array__"));
    if (!method) {
        PyErr_Clear();
        argument_type_error(function, parameter, "an Arrow record batch (an object with __arrow_c_array__)",
                            object);
        return std::nullopt;
    }
    PyRef result = PyRef::steal(PyObject_CallNoArgs(method.get()));
    if (!result) return std::nullopt;
    auto fail = [&](const std::string& why) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s': %s", function, parameter, why.c_str());
        return std::nullopt;
    };
    if (!PyTuple_Check(result.get()) || PyTuple_GET_SIZE(result.get()) != 2)
        return fail("__arrow_c_array__ must return a tuple of two capsules");
    PyObject* schema_capsule = PyTuple_GET_ITEM(result.get(), 0);
    PyObject* array_capsule = PyTuple_GET_ITEM(result.get(), 1);
    if (!PyCapsule_IsValid(schema_capsule, "arrow_schema"))
        return fail("the first capsule must be named 'arrow_schema'");
    if (!PyCapsule_IsValid(array_capsule, "arrow_array"))
        return fail("the second capsule must be named 'arrow_array'");
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, "arrow_schema"));
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule, "arrow_array"));
    // Adopting marks both structures released, so the capsules' destructors
    // leave them to us.
    auto batch = arrow::RecordBatch::adopt(schema, array);
    if (!batch) {
        PyErr_Format(PyExc_ValueError, "%s() argument '%s' is not a valid record batch: %s", function,
                     parameter, batch.error().c_str());
        return std::nullopt;
    }
    return std::move(*batch);
}

}  // namespace mirvon::py
