#include "python/timetable_builder.hpp"


#include "python/dataset.hpp"
#include "python/py_phrase.hpp"

namespace mirvon::py {

namespace {

std::expected<std::unique_ptr<EvalPhrase>, PyParseError> create_phrase(PyObject* entry) {
    auto fn = get_any(entry, "fn");
    if (!fn) return std::unexpected(std::move(fn.error()));
    auto inp = get_typed<std::vector<std::string>>(entry, "inp");
    if (!inp) return std::unexpected(std::move(inp.error()));
    return std::make_unique<PyPhrase>(std::move(*inp), std::move(*fn));
}

// Reads one entry into the expressions; failures are not yet tagged with the name.
std::expected<void, PyParseError> read_entry(PyObject* entry, const std::string& name, Expressions& out) {
    auto type = get_typed<std::string>(entry, "type");
    if (!type) return std::unexpected(std::move(type.error()));
    if (*type == "phrase") {
        auto phrase = create_phrase(entry);
        if (!phrase) return std::unexpected(std::move(phrase.error()));
        out.phrases[name] = std::move(*phrase);
        return {};
    }
    if (*type == "snapper") {
        auto phrase = create_phrase(entry);
        if (!phrase) return std::unexpected(std::move(phrase.error()));
        auto outputs = get_typed<std::vector<std::string>>(entry, "out");
        if (!outputs) return std::unexpected(std::move(outputs.error()));
        out.snappers[name] = Snapper{std::move(*outputs), std::move(*phrase)};
        return {};
    }
    if (*type == "batch") return std::unexpected(PyParseError::message("Batch is not supported in this package"));
    return std::unexpected(PyParseError::InvalidValue{"type", *type});
}

std::expected<Expressions, PyParseError> read_expressions(PyObject* expressions) {
    Expressions out;
    // A snapshot of the items, so callables run later cannot disturb the walk.
    PyRef items = PyRef::steal(PyDict_Items(expressions));
    if (!items) return std::unexpected(PyParseError::fetch());
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(items.get()); ++i) {
        PyObject* pair = PyList_GET_ITEM(items.get(), i);
        PyObject* key = PyTuple_GET_ITEM(pair, 0);
        PyObject* entry = PyTuple_GET_ITEM(pair, 1);
        auto name = to_string(key);
        if (!name) return std::unexpected(PyParseError::Python{std::move(name.error())});
        if (!PyDict_Check(entry))
            return std::unexpected(PyParseError::WrongType{"n/a", type_check_detail(entry, "dict")});
        if (auto ok = read_entry(entry, *name, out); !ok)
            return std::unexpected(PyParseError::expr_err(*name, std::move(ok.error())));
    }
    return out;
}

}  // namespace

std::expected<TimeTable, PyTimeTableError> create_timetable(const arrow::RecordBatch& batch,
                                                           PyObject* expressions) {
    auto events = Events::create(batch);
    if (!events) return std::unexpected(PyTimeTableError(std::move(events.error())));
    auto exprs = read_expressions(expressions);
    if (!exprs) return std::unexpected(PyTimeTableError(std::move(exprs.error())));
    auto tt = TimeTable::create(*events, std::move(*exprs));
    if (!tt) return std::unexpected(PyTimeTableError(std::move(tt.error())));
    return std::move(*tt);
}

}  // namespace mirvon::py
