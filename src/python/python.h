// The one include of Python.h. Everything under src/python is built
// against the limited API of CPython 3.11, so one binary serves every later
// interpreter.
#pragma once

#ifndef Py_LIMITED_API
#define Py_LIMITED_API 0x030B0000
#endif
#define PY_SSIZE_T_CLEAN
#include <Python.h>
