#include "python/stats_output.hpp"

#include "arrow/output_batch.hpp"
#include "python/numpy_arrays.hpp"
#include "python/py_errors.hpp"

namespace mirvon::py {

namespace {

void set_stat(PyObject* py_state, const char* name, PyObject* value) {
    PyRef result = PyRef::steal(PyObject_CallMethod(py_state, "set_stat", "sO", name, value));
    // A statistic the caller cannot take is lost; the next one is still sent.
    if (!result) PyErr_Clear();
}

// dict[outer] = dict[inner] = array, taking the vectors over.
template <class Outer>
PyRef nested_dict(Outer&& outer) {
    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return {};
    for (auto& [outer_key, inner] : outer) {
        PyRef inner_dict = PyRef::steal(PyDict_New());
        if (!inner_dict) return {};
        for (auto& [inner_key, values] : inner) {
            PyRef key = PyRef::steal(PyLong_FromUnsignedLongLong(inner_key));
            PyRef array = to_numpy(std::move(values));
            if (!key || !array || PyDict_SetItem(inner_dict.get(), key.get(), array.get()) != 0) PyErr_Clear();
        }
        PyRef key = PyRef::steal(PyLong_FromUnsignedLongLong(outer_key));
        if (!key || PyDict_SetItem(d.get(), key.get(), inner_dict.get()) != 0) PyErr_Clear();
    }
    return d;
}

template <class Map>
void send_map(PyObject* py_state, const char* name, Map& map) {
    auto taken = std::move(map);
    map.clear();
    PyRef d = nested_dict(taken);
    if (!d) {
        PyErr_Clear();
        return;
    }
    set_stat(py_state, name, d.get());
}

void release_schema_capsule(PyObject* capsule) {
    auto* schema = static_cast<ArrowSchema*>(PyCapsule_GetPointer(capsule, "arrow_schema"));
    if (schema->release != nullptr) schema->release(schema);
    delete schema;
}

void release_array_capsule(PyObject* capsule) {
    auto* array = static_cast<ArrowArray*>(PyCapsule_GetPointer(capsule, "arrow_array"));
    if (array->release != nullptr) array->release(array);
    delete array;
}

// __arrow_c_array__ of the one-off producer below: returns its capsules.
PyObject* producer_capsules(PyObject* capsules, PyObject* const*, Py_ssize_t, PyObject*) {
    return Py_NewRef(capsules);
}

PyMethodDef producer_method = {"__arrow_c_array__", reinterpret_cast<PyCFunction>(producer_capsules),
                               METH_FASTCALL | METH_KEYWORDS, nullptr};

// pyarrow.record_batch() imports any object that offers __arrow_c_array__.
PyRef import_capsules(PyObject* capsules, PyObject* pyarrow) {
    PyRef method = PyRef::steal(PyCFunction_New(&producer_method, capsules));
    PyRef types = PyRef::steal(PyImport_ImportModule("types"));
    if (!method || !types) return {};
    PyRef ns_type = PyRef::steal(PyObject_GetAttrString(types.get(), "SimpleNamespace"));
    if (!ns_type) return {};
    PyRef producer = PyRef::steal(PyObject_CallNoArgs(ns_type.get()));
    if (!producer || PyObject_SetAttrString(producer.get(), "__arrow_c_array__", method.get()) != 0) return {};
    return PyRef::steal(PyObject_CallMethod(pyarrow, "record_batch", "O", producer.get()));
}

// Hands the batch to pyarrow through the PyCapsule protocol: the capsules
// release the structures unless pyarrow has moved them out.
PyRef to_pyarrow(arrow::ExportedBatch batch, PyObject* pyarrow) {
    auto* schema = new ArrowSchema(batch.schema);
    PyRef schema_capsule = PyRef::steal(PyCapsule_New(schema, "arrow_schema", &release_schema_capsule));
    if (!schema_capsule) {
        schema->release(schema);
        delete schema;
        batch.array.release(&batch.array);
        return {};
    }
    auto* array = new ArrowArray(batch.array);
    PyRef array_capsule = PyRef::steal(PyCapsule_New(array, "arrow_array", &release_array_capsule));
    if (!array_capsule) {
        array->release(array);
        delete array;
        return {};
    }
    PyRef capsules = PyRef::steal(PyTuple_Pack(2, schema_capsule.get(), array_capsule.get()));
    if (!capsules) return {};
    return import_capsules(capsules.get(), pyarrow);
}

}  // namespace

std::expected<void, ModelError> py_save_stats(std::uint32_t flags, Ledger& ledger, PyObject* py_state) {
    if (flags & FLAG_PV_VEC) {
        auto pv = ledger.pv_vec(0);
        if (!pv) return std::unexpected(ModelError(std::move(pv.error())));
        PyRef array = copy_to_numpy(**pv);
        if (array)
            set_stat(py_state, "PV_VEC", array.get());
        else
            PyErr_Clear();
    }
    if (flags & FLAG_CHOICES) send_map(py_state, "CHOICES", ledger.choices().by_event);
    if (flags & FLAG_CASHFLOW) send_map(py_state, "CASHFLOW", ledger.cashflows());
    return {};
}

bool save_backtest_cashflow(Ledger& ledger, PyObject* py_state) {
    PyRef d = PyRef::steal(PyDict_New());
    if (!d) return false;
    auto taken = std::move(ledger.cashflows());
    ledger.cashflows().clear();
    // Only a batch to convert needs pyarrow: a caller who passed its events
    // from another Arrow library may not have it.
    PyRef pyarrow;
    if (!taken.empty()) {
        pyarrow = PyRef::steal(PyImport_ImportModule("pyarrow"));
        if (!pyarrow) return false;
    }
    for (auto& [track, events] : taken) {
        std::vector<std::uint64_t> index;
        std::vector<double> value;
        index.reserve(events.size());
        value.reserve(events.size());
        for (auto& [event, v] : events) {
            index.push_back(event);
            value.push_back(v.empty() ? 0.0 : v[0]);
        }
        PyRef batch = to_pyarrow(arrow::export_u64_f64_batch("index", std::move(index), "value", std::move(value)),
                                 pyarrow.get());
        if (!batch) return false;
        PyRef key = PyRef::steal(PyLong_FromUnsignedLongLong(track));
        if (!key || PyDict_SetItem(d.get(), key.get(), batch.get()) != 0) PyErr_Clear();
    }
    set_stat(py_state, "CASHFLOW", d.get());
    return true;
}

}  // namespace mirvon::py
