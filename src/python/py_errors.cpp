#include "python/py_errors.hpp"

#include <optional>

#include "core/overload.hpp"
#include "python/pending_exception.hpp"

namespace mirvon::py {

namespace {

PyObject* abort_type = nullptr;

// The whole text of a str, embedded NULs included; code points that UTF-8
// cannot carry (lone surrogates) as backslash escapes. Nothing when it is
// not a str.
std::optional<std::string> whole_text(PyObject* s) {
    if (s == nullptr || !PyUnicode_Check(s)) return std::nullopt;
    Py_ssize_t size = 0;
    if (const char* utf8 = PyUnicode_AsUTF8AndSize(s, &size))
        return std::string(utf8, static_cast<std::size_t>(size));
    if (!clear_ordinary_exception()) return std::nullopt;
    PyRef bytes = PyRef::steal(PyUnicode_AsEncodedString(s, "utf-8", "backslashreplace"));
    if (!bytes) {
        clear_ordinary_exception();
        return std::nullopt;
    }
    return std::string(PyBytes_AS_STRING(bytes.get()), static_cast<std::size_t>(PyBytes_GET_SIZE(bytes.get())));
}

// The type's __name__, read without running any code: a class defined in
// Python keeps its own name (dots included), a built-in type the part of
// its C-level name after the module.
std::string type_name(PyTypeObject* type) {
    if (PyType_HasFeature(type, Py_TPFLAGS_HEAPTYPE))
        if (auto name = whole_text(reinterpret_cast<PyHeapTypeObject*>(type)->ht_name)) return *name;
    std::string name = type->tp_name;
    if (auto dot = name.rfind('.'); dot != std::string::npos) name.erase(0, dot + 1);
    return name;
}

}  // namespace

PyException PyException::fetch() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef t = PyRef::steal(type), v = PyRef::steal(value), trace = PyRef::steal(tb);
    if (!t) return PyException{"SystemError: no exception was set"};
    if (!is_ordinary_exception(t.get())) {
        // Shown in the error text as well, but the call ends with the exception itself.
        Py_INCREF(t.get());
        Py_XINCREF(v.get());
        Py_XINCREF(trace.get());
        PyErr_Restore(t.get(), v.get(), trace.get());
        keep_pending_exception();
    }
    std::string display = type_name(reinterpret_cast<PyTypeObject*>(t.get())) + ": ";
    PyRef s = PyRef::steal(v ? PyObject_Str(v.get()) : PyUnicode_FromString(""));
    if (!s) clear_ordinary_exception();
    if (auto text = whole_text(s.get()))
        display += *text;
    else
        display += "<exception str() failed>";
    return PyException{std::move(display)};
}

std::string type_check_detail(PyObject* value, const char* expected) {
    return std::string("'") + Py_TYPE(value)->tp_name + "' object cannot be converted to '" + expected + "'";
}

std::string PyParseError::text() const {
    return std::visit(
        Overload{
            [](const Python& e) { return e.exception.display; },
            [](const Asset& e) { return "Error while parsing Asset, caused by \n" + e.cause.text(); },
            [](const Expression& e) {
                return "Error while parsing expression '" + e.name + "', caused by \n" + e.cause->text();
            },
            [](const InvalidValue& e) {
                return "Invalid value '" + e.value + "' for key '" + e.key + "'";
            },
            [](const MissingKey& e) { return "Py Dictionary is missing key '" + e.key + "'"; },
            [](const WrongType& e) {
                return "Error in value of " + e.key + ", likely incorrect type. caused by \n" + e.detail;
            },
            [](const Message& e) { return e.text; },
        },
        v);
}

std::string PyTimeTableError::text() const {
    return "Error while parsing Timetable, caused by \n" +
           std::visit([](const auto& e) { return e.text(); }, v);
}

std::string PyExecError::text() const {
    return std::visit(
        Overload{
            [](const Python& e) { return e.exception.display; },
            [](const WrongType& e) { return "Error in found value, likely incorrect type: " + e.detail; },
            [](const Method& e) {
                return "Error in Python method '" + e.method + "', caused by \n" + e.exception.display;
            },
            [](const Execution& e) { return "Error in Python execution:\n" + e.detail; },
        },
        v);
}

namespace {
PyObject* raise_runtime(const std::string& text) {
    // Names from the caller's data may hold bytes that are not UTF-8.
    PyRef message = PyRef::steal(
        PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "backslashreplace"));
    if (message) PyErr_SetObject(PyExc_RuntimeError, message.get());
    return nullptr;
}
}  // namespace

PyObject* raise(const ModelError& e) {
    if (const auto* refused = std::get_if<ModelError::OutOfMemory>(&e.v)) {
        PyErr_SetString(PyExc_MemoryError, refused->text.c_str());
        return nullptr;
    }
    return raise_runtime("Error during model evaluation, caused by\n" + e.text());
}
PyObject* raise(const PyParseError& e) {
    return raise_runtime("Error while parsing Dataset, caused by\n" + e.text());
}
PyObject* raise(const PyTimeTableError& e) { return raise_runtime(e.text()); }

bool init_abort_exception() {
    if (abort_type != nullptr) return true;
    abort_type = PyErr_NewExceptionWithDoc(
        "_mirvon.EngineAbort",
        "Raised when the engine stops on a broken invariant or a fixed-message abort. "
        "Derived from BaseException so that handlers of Exception do not swallow it.",
        PyExc_BaseException, nullptr);
    return abort_type != nullptr;
}

PyObject* abort_exception_type() { return abort_type; }

}  // namespace mirvon::py
