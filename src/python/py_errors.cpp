#include "python/py_errors.hpp"

#include "core/overload.hpp"

namespace mirvon::py {

namespace {
PyObject* abort_type = nullptr;
}  // namespace

PyException PyException::fetch() {
    PyObject *type = nullptr, *value = nullptr, *tb = nullptr;
    PyErr_Fetch(&type, &value, &tb);
    PyErr_NormalizeException(&type, &value, &tb);
    PyRef t = PyRef::steal(type), v = PyRef::steal(value), trace = PyRef::steal(tb);
    if (!t) return PyException{"SystemError: no exception was set"};
    std::string display = reinterpret_cast<PyTypeObject*>(t.get())->tp_name;
    // Only the last component, as Python prints the type's name.
    if (auto dot = display.rfind('.'); dot != std::string::npos) display = display.substr(dot + 1);
    display += ": ";
    PyRef s = PyRef::steal(v ? PyObject_Str(v.get()) : PyUnicode_FromString(""));
    const char* utf8 = s ? PyUnicode_AsUTF8(s.get()) : nullptr;
    if (utf8 == nullptr) {
        PyErr_Clear();
        display += "<exception str() failed>";
    } else {
        display += utf8;
    }
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
