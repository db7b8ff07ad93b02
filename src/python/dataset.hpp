// Typed reads of the dataset and expressions dictionaries. Every failure is a
// parse error naming the key.
#pragma once
#include <cstdint>
#include <expected>
#include <optional>
#include <string>
#include <vector>

#include "core/vector.hpp"
#include "python/py_errors.hpp"

namespace mirvon::py {

// Strong references: a later read may run the caller's code (a value's
// __float__, an iterator), which can replace the entry and free the value.
std::expected<PyRef, PyParseError> get_any(PyObject* dict, const char* key);
std::expected<PyRef, PyParseError> get_dict(PyObject* dict, const char* key);

template <class T>
std::expected<T, PyParseError> get_typed(PyObject* dict, const char* key);

// An optional key: nothing when it is absent, its converted value otherwise.
template <class T>
std::expected<std::optional<T>, PyParseError> get_optional(PyObject* dict, const char* key) {
    auto value = get_typed<T>(dict, key);
    if (value) return std::optional<T>(std::move(*value));
    if (std::holds_alternative<PyParseError::MissingKey>(value.error().v)) return std::optional<T>();
    return std::unexpected(std::move(value.error()));
}

std::expected<std::uint32_t, PyParseError> get_flag(PyObject* section);

struct TwoColumns {
    Vec first;
    Vec second;
};
std::expected<TwoColumns, PyParseError> get_2col_array(PyObject* object);

// Conversions of a single value, shared with the other readers of Python values.
// They may run the value's own code (__float__, __index__, __iter__): the
// caller holds a strong reference to the value.
std::expected<double, PyException> to_f64(PyObject* value);
std::expected<std::uint64_t, PyException> to_u64(PyObject* value);
std::expected<std::int64_t, PyException> to_i64(PyObject* value);
std::expected<std::string, PyException> to_string(PyObject* value);
std::expected<std::vector<std::string>, PyException> to_string_list(PyObject* value);

}  // namespace mirvon::py
