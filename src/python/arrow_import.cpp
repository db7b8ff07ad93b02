#include "python/arrow_import.hpp"

#include <cstdint>
#include <expected>
#include <optional>
#include <string>

#include "python/arguments.hpp"

namespace mirvon::py {

ImportedBatch::~ImportedBatch() {
    if (!batch_) return;
    PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
    PyErr_Fetch(&type, &value, &trace);
    batch_.reset();
    // A release that leaves an error behind cannot report it to anyone.
    if (PyErr_Occurred()) PyErr_WriteUnraisable(nullptr);
    PyErr_Restore(type, value, trace);
}

namespace {

ImportedBatch invalid_batch(const char* function, const char* parameter, const std::string& why) {
    PyErr_Format(PyExc_ValueError, "%s() argument '%s' is not a valid record batch: %s", function, parameter,
                 why.c_str());
    return {};
}

// A pyarrow RecordBatch without the capsule protocol exports itself into
// structures we allocate; empty without an exception when the object is
// not a pyarrow RecordBatch.
ImportedBatch import_pyarrow_batch(const char* function, const char* parameter, PyObject* object,
                                   bool& is_batch) {
    is_batch = false;
    // Only an already imported pyarrow can have made the object.
    PyRef name = PyRef::steal(PyUnicode_FromString("pyarrow"));
    PyRef module = name ? PyRef::steal(PyImport_GetModule(name.get())) : PyRef();
    if (!module) {
        PyErr_Clear();
        return {};
    }
    PyRef cls = PyRef::steal(PyObject_GetAttrString(module.get(), "RecordBatch"));
    if (!cls || PyObject_IsInstance(object, cls.get()) != 1) {
        PyErr_Clear();
        return {};
    }
    is_batch = true;
    ArrowSchema schema{};
    ArrowArray array{};
    PyRef done = PyRef::steal(PyObject_CallMethod(object, "_export_to_c", "KK",
                                                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&array)),
                                                  static_cast<unsigned long long>(reinterpret_cast<std::uintptr_t>(&schema))));
    if (!done) {
        PyObject *type = nullptr, *value = nullptr, *trace = nullptr;
        PyErr_Fetch(&type, &value, &trace);
        if (array.release != nullptr) array.release(&array);
        if (schema.release != nullptr) schema.release(&schema);
        PyErr_Restore(type, value, trace);
        return {};
    }
    // Adopting marks both structures released, so their previous owners leave them to us.
    auto batch = arrow::RecordBatch::adopt(&schema, &array);
    if (!batch) return invalid_batch(function, parameter, batch.error());
    return ImportedBatch(std::move(*batch));
}

}  // namespace

ImportedBatch import_record_batch(const char* function, const char* parameter, PyObject* object) {
    PyRef method = PyRef::steal(PyObject_GetAttrString(object, "__arrow_c_array__"));
    // An attribute that cannot be called does not make the object a producer.
    if (!method || !PyCallable_Check(method.get())) {
        PyErr_Clear();
        bool is_batch = false;
        auto batch = import_pyarrow_batch(function, parameter, object, is_batch);
        if (is_batch) return batch;
        argument_type_error(function, parameter, "an Arrow record batch (an object with __arrow_c_array__)",
                            object);
        return {};
    }
    PyRef result = PyRef::steal(PyObject_CallNoArgs(method.get()));
    if (!result) return {};
    std::string misuse;
    std::optional<std::expected<arrow::RecordBatch, std::string>> adopted;
    if (!PyTuple_Check(result.get()) || PyTuple_GET_SIZE(result.get()) != 2) {
        misuse = "__arrow_c_array__ must return a tuple of two capsules";
    } else {
        PyObject* schema_capsule = PyTuple_GET_ITEM(result.get(), 0);
        PyObject* array_capsule = PyTuple_GET_ITEM(result.get(), 1);
        if (!PyCapsule_IsValid(schema_capsule, "arrow_schema")) {
            misuse = "the first capsule must be named 'arrow_schema'";
        } else if (!PyCapsule_IsValid(array_capsule, "arrow_array")) {
            misuse = "the second capsule must be named 'arrow_array'";
        } else {
            // Adopting marks both structures released, so the capsules leave them to us.
            adopted.emplace(arrow::RecordBatch::adopt(
                static_cast<ArrowSchema*>(PyCapsule_GetPointer(schema_capsule, "arrow_schema")),
                static_cast<ArrowArray*>(PyCapsule_GetPointer(array_capsule, "arrow_array"))));
        }
    }
    // Capsules that were not adopted release their structures when they go,
    // which must happen before an error is raised.
    result = PyRef();
    if (!misuse.empty()) {
        PyErr_Format(PyExc_TypeError, "%s() argument '%s': %s", function, parameter, misuse.c_str());
        return {};
    }
    if (!*adopted) return invalid_batch(function, parameter, adopted->error());
    return ImportedBatch(std::move(**adopted));
}

}  // namespace mirvon::py
