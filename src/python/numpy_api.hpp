// The NumPy C API, shared by every file of the module; module.cpp imports it.
#pragma once
#define PY_SSIZE_T_CLEAN
#include <Python.h>

#define PY_ARRAY_UNIQUE_SYMBOL MIRVON_ARRAY_API
#ifndef MIRVON_IMPORT_NUMPY
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
