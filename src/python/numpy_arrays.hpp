// Vectors to and from NumPy arrays.
#pragma once
#include <cstdint>
#include <optional>
#include <vector>

#include "core/vector.hpp"
#include "python/py_ref.hpp"

namespace mirvon::py {

// A 1-D array that takes over the vector's storage (no copy); null with a
// Python exception set on failure.
PyRef to_numpy(Vec&& values);
PyRef to_numpy(std::vector<std::uint64_t>&& values);
// A 1-D float64 array holding a copy.
PyRef copy_to_numpy(const Vec& values);
// A copy of a 1-D array whose dtype is equivalent to float64, else nothing.
std::optional<Vec> float64_vector(PyObject* object);
// A 1-D boolean array as 1.0 and 0.0, else nothing.
std::optional<Vec> bool_vector(PyObject* object);

}  // namespace mirvon::py
