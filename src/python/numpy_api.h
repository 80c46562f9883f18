// NumPy's C array API for every binding file. The API table is imported once,
// in module.cpp (KORVEL_NUMPY_IMPORT); the other files share its symbol.
#pragma once

#include "python/python.h"

#define PY_ARRAY_UNIQUE_SYMBOL korvel_ARRAY_API
#ifndef KORVEL_NUMPY_IMPORT
#define NO_IMPORT_ARRAY
#endif
#include <numpy/arrayobject.h>
