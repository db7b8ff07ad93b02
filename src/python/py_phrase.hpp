// Phrases written in Python: one positional argument, a list of float64
// arrays; the result is a list of arrays or numbers.
#pragma once
#include <expected>
#include <string>
#include <vector>

#include "python/py_errors.hpp"
#include "timetable/expressions.hpp"

namespace mirvon::py {

class PyPhrase final : public EvalPhrase {
public:
    PyPhrase(std::vector<std::string> inp, PyRef fn) : inp_(std::move(inp)), fn_(std::move(fn)) {}
    const std::vector<std::string>& iter_inp() const override { return inp_; }
    std::expected<std::vector<Vec>, ExprError> eval(std::vector<Vec> inputs) const override;

private:
    std::vector<std::string> inp_;
    PyRef fn_;
};

// One value returned by a phrase as a vector.
std::expected<Vec, PyExecError> to_array1(PyObject* object);

}  // namespace mirvon::py
