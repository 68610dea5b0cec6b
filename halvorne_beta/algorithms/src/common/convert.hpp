// Conversions of Python numbers to native scalars, with the messages callers
// see when a value does not fit.
#pragma once

#include <cstdint>
#include <limits>

#include "ref.hpp"

namespace frame {

// An int object for `o`: ints directly, anything else through `__int__`
// (so floats truncate toward zero and NumPy scalars are accepted).
inline Ref integer_of(PyObject* o) {
  if (PyLong_Check(o)) return Ref::borrow(o);
  PyNumberMethods* nb = Py_TYPE(o)->tp_as_number;
  if (nb == nullptr || nb->nb_int == nullptr) {
    PyErr_SetString(PyExc_TypeError, "an integer is required");
    return Ref();
  }
  Ref result = Ref::steal(nb->nb_int(o));
  if (!result || PyLong_CheckExact(result.get())) return result;
  if (PyLong_Check(result.get())) {
    if (PyErr_WarnFormat(PyExc_DeprecationWarning, 1,
                         "__int__ returned non-int (type %.200s).  The ability to return an instance of "
                         "a strict subclass of int is deprecated, and may be removed in a future "
                         "version of Python.",
                         type_name(result.get())) < 0)
      return Ref();
    return result;
  }
  PyErr_Format(PyExc_TypeError, "__%.4s__ returned non-%.4s (type %.200s)", "int", "int",
               type_name(result.get()));
  return Ref();
}

// Signed integer target in [lo, hi]; values outside raise OverflowError with
// `too_large` (both directions: the messages of signed targets do not differ).
inline bool to_signed(PyObject* o, long long lo, long long hi, const char* too_large, long long* out) {
  Ref value = integer_of(o);
  if (!value) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || v < lo || v > hi) return fail(PyExc_OverflowError, "%s", too_large);
  *out = v;
  return true;
}

inline bool to_int(PyObject* o, int* out) {
  long long v;
  if (!to_signed(o, INT32_MIN, INT32_MAX, "value too large to convert to int", &v)) return false;
  *out = static_cast<int>(v);
  return true;
}

inline bool to_int64(PyObject* o, int64_t* out) {
  long long v;
  if (!to_signed(o, INT64_MIN, INT64_MAX, "value too large to convert to int64_t", &v)) return false;
  *out = v;
  return true;
}

inline bool to_char(PyObject* o, signed char* out) {
  long long v;
  if (!to_signed(o, -128, 127, "value too large to convert to char", &v)) return false;
  *out = static_cast<signed char>(v);
  return true;
}

// Unsigned target named `name` with maximum `hi`.
inline bool to_unsigned(PyObject* o, unsigned long long hi, const char* name, unsigned long long* out) {
  Ref value = integer_of(o);
  if (!value) return false;
  if (_PyLong_Sign(value.get()) < 0) return fail(PyExc_OverflowError, "can't convert negative value to %s", name);
  unsigned long long v = PyLong_AsUnsignedLongLong(value.get());
  if (v == static_cast<unsigned long long>(-1) && PyErr_Occurred()) {
    if (hi == std::numeric_limits<unsigned long long>::max()) return false;  // the host's own message
    PyErr_Clear();
    v = hi + 1;
  }
  if (v > hi) return fail(PyExc_OverflowError, "value too large to convert to %s", name);
  *out = v;
  return true;
}

inline bool to_uint8(PyObject* o, uint8_t* out) {
  unsigned long long v;
  if (!to_unsigned(o, 255, "npy_uint8", &v)) return false;
  *out = static_cast<uint8_t>(v);
  return true;
}

inline bool to_size_t(PyObject* o, size_t* out) {
  unsigned long long v;
  if (!to_unsigned(o, std::numeric_limits<unsigned long long>::max(), "size_t", &v)) return false;
  *out = static_cast<size_t>(v);
  return true;
}

// Enumerations travel as 32-bit ints; `enum_name` completes the overflow message.
inline bool to_enum(PyObject* o, const char* enum_name, int* out) {
  Ref value = integer_of(o);
  if (!value) return false;
  int overflow = 0;
  long long v = PyLong_AsLongLongAndOverflow(value.get(), &overflow);
  if (v == -1 && PyErr_Occurred()) return false;
  if (overflow != 0 || v < INT32_MIN || v > INT32_MAX)
    return fail(PyExc_OverflowError, "value too large to convert to enum %s", enum_name);
  *out = static_cast<int>(v);
  return true;
}

inline bool to_ssize(PyObject* o, Py_ssize_t* out) {
  Ref index = Ref::steal(PyNumber_Index(o));
  if (!index) return false;
  Py_ssize_t v = PyLong_AsSsize_t(index.get());
  if (v == -1 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

inline bool to_double(PyObject* o, double* out) {
  double v = PyFloat_CheckExact(o) ? PyFloat_AS_DOUBLE(o) : PyFloat_AsDouble(o);
  if (v == -1.0 && PyErr_Occurred()) return false;
  *out = v;
  return true;
}

inline bool to_bool(PyObject* o, bool* out) {
  if (o == Py_True || o == Py_False || o == Py_None) {
    *out = (o == Py_True);
    return true;
  }
  int truth = PyObject_IsTrue(o);
  if (truth < 0) return false;
  *out = truth != 0;
  return true;
}

}  // namespace frame
