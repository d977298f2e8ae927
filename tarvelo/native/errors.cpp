// The exception translation table.
#include "errors.hpp"

#include <exception>
#include <ios>
#include <new>
#include <stdexcept>
#include <typeinfo>

#include "messages.hpp"

namespace tarvelo::py {

void translate_exception() noexcept {
  if (PyErr_Occurred() != nullptr) return;
  try {
    throw;
  } catch (const PythonError&) {
    // The interpreter failed without saying why; never return failure without an exception.
    PyErr_SetString(PyExc_SystemError, messages::unknown_exception);
  } catch (const std::bad_alloc& e) {
    PyErr_SetString(PyExc_MemoryError, e.what());
  } catch (const std::bad_cast& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const std::bad_typeid& e) {
    PyErr_SetString(PyExc_TypeError, e.what());
  } catch (const std::domain_error& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::invalid_argument& e) {
    PyErr_SetString(PyExc_ValueError, e.what());
  } catch (const std::ios_base::failure& e) {
    PyErr_SetString(PyExc_OSError, e.what());
  } catch (const std::out_of_range& e) {
    PyErr_SetString(PyExc_IndexError, e.what());
  } catch (const std::overflow_error& e) {
    PyErr_SetString(PyExc_OverflowError, e.what());
  } catch (const std::range_error& e) {
    PyErr_SetString(PyExc_ArithmeticError, e.what());
  } catch (const std::underflow_error& e) {
    PyErr_SetString(PyExc_ArithmeticError, e.what());
  } catch (const std::exception& e) {
    PyErr_SetString(PyExc_RuntimeError, e.what());
  } catch (...) {
    PyErr_SetString(PyExc_RuntimeError, messages::unknown_exception);
  }
}

}  // namespace tarvelo::py
