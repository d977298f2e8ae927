// The one door to the interpreter's headers: every file of the module includes this one.
//
// The module is built on the stable interface of CPython 3.12; the build defines
// Py_LIMITED_API=0x030C0000 once (Python_add_library ... USE_SABI 3.12) and this header makes
// sure that nothing compiles without it.
#pragma once

#if !defined(Py_LIMITED_API) || Py_LIMITED_API != 0x030C0000
#error "tarvelo.cy_engine is built on the limited API of CPython 3.12 (Py_LIMITED_API=0x030C0000)"
#endif

#define PY_SSIZE_T_CLEAN
#include <Python.h>
