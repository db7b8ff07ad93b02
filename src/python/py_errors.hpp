// Errors of the Python boundary, and the conversion of every error into the
// Python exception the caller sees.
#pragma once
#include <memory>
#include <string>
#include <variant>

#include "core/errors.hpp"
#include "python/py_ref.hpp"

namespace mirvon::py {

// A Python exception taken out of the interpreter, kept as its display text:
// the type's name, ": " and its str().
struct PyException {
    std::string display;
    // Fetches and clears the current exception.
    static PyException fetch();
};

// "'<type>' object cannot be converted to '<expected>'"
std::string type_check_detail(PyObject* value, const char* expected);

struct PyParseError {
    struct Python { PyException exception; };
    struct Asset { AssetError cause; };
    struct Expression { std::string name; std::unique_ptr<PyParseError> cause; };
    struct InvalidValue { std::string key; std::string value; };
    struct MissingKey { std::string key; };
    struct WrongType { std::string key; std::string detail; };
    struct Message { std::string text; };
    std::variant<Python, Asset, Expression, InvalidValue, MissingKey, WrongType, Message> v;

    PyParseError(Python e) : v(std::move(e)) {}
    PyParseError(Asset e) : v(std::move(e)) {}
    PyParseError(Expression e) : v(std::move(e)) {}
    PyParseError(InvalidValue e) : v(std::move(e)) {}
    PyParseError(MissingKey e) : v(std::move(e)) {}
    PyParseError(WrongType e) : v(std::move(e)) {}
    PyParseError(Message e) : v(std::move(e)) {}
    PyParseError(AssetError e) : v(Asset{std::move(e)}) {}
    static PyParseError fetch() { return Python{PyException::fetch()}; }
    static PyParseError expr_err(std::string name, PyParseError cause) {
        return Expression{std::move(name), std::make_unique<PyParseError>(std::move(cause))};
    }
    static PyParseError message(std::string text) { return Message{std::move(text)}; }
    std::string text() const;
};

struct PyTimeTableError {
    std::variant<PyParseError, TimeTableError> v;
    PyTimeTableError(PyParseError e) : v(std::move(e)) {}
    PyTimeTableError(TimeTableError e) : v(std::move(e)) {}
    std::string text() const;
};

struct PyExecError {
    struct Python { PyException exception; };
    struct WrongType { std::string detail; };
    struct Method { std::string method; PyException exception; };
    struct Execution { std::string detail; };
    std::variant<Python, WrongType, Method, Execution> v;
    std::string text() const;
    // Into the model's error and the phrase's error, holding the full text.
    operator ModelError() const { return ModelError::message(text()); }
    operator ExprError() const { return ExprError{text()}; }
};

// Set the exception the caller sees (RuntimeError; MemoryError for a refused
// request); each returns null for the call's result.
PyObject* raise(const ModelError& e);
PyObject* raise(const PyParseError& e);
PyObject* raise(const PyTimeTableError& e);

// The exception class for aborts: derived directly from BaseException, so
// handlers of Exception do not swallow it.
PyObject* abort_exception_type();
bool init_abort_exception();

}  // namespace mirvon::py
