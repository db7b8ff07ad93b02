#include "python/arrow_import.hpp"

#include <cstdint>
#include <string>

#include "python/arguments.hpp"

namespace mirvon::py {

namespace {

std::optional<arrow::RecordBatch> adopt_or_raise(const char* function, const char* parameter,
                                                 ArrowSchema* schema, ArrowArray* array) {
    // Adopting marks both structures released, so their previous owners leave them to us.
    auto batch = arrow::RecordBatch::adopt(schema, array);
    if (!batch) {
        PyErr_Format(PyExc_ValueError, "%s() argument '%s' is not a valid record batch: %s", function,
                     parameter, batch.error().c_str());
        return std::nullopt;
    }
    return std::move(*batch);
}

// A pyarrow RecordBatch without the capsule protocol exports itself into
// structures we allocate; nullopt without an exception when the object is
// not a pyarrow RecordBatch.
std::optional<arrow::RecordBatch> import_pyarrow_batch(const char* function, const char* parameter,
                                                       PyObject* object, bool& is_batch) {
    is_batch = false;
    // Only an already imported pyarrow can have made the object.
    PyRef name = PyRef::steal(PyUnicode_FromString("pyarrow"));
    PyRef module = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
    if (!module) {
        PyErr_Clear();
        return std::nullopt;
    }
    PyRef cls = PyRef::steal(PyObject_GetAttrString(module.get(), "RecordBatch"));
    if (!cls || PyObject_IsInstance(object, cls.get()) != 1) {
        PyErr_Clear();
        return std::nullopt;
    }
    is_batch = true;
    ArrowSchema schema{};
    ArrowArray array{};
    PyRef done = PyRef::steal(PyObject_CallMethod(object, "_export_to_c", "KK",
                                                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&array)),
                                                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&schema))));
    if (!done) {
        if (array.release != nullptr) array.release(&array);
        if (schema.release != nullptr) schema.release(&schema);
        return std::nullopt;
    }
    return adopt_or_raise(function, parameter, &schema, &array);
}

}  // namespace

std::optional<arrow::RecordBatch> import_record_batch(const char* function, const char* parameter,
                                                      PyObject* object) {
    PyRef method = PyRef::steal(PyObject_GetAttrString(object, "__arrow_c_array__"));
    if (!method) {
        PyErr_Clear();
        bool is_batch = false;
        auto batch = import_pyarrow_batch(function, parameter, object, is_batch);
        if (is_batch) return batch;
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
    return adopt_or_raise(function, parameter, schema, array);
}

}  // namespace mirvon::py
