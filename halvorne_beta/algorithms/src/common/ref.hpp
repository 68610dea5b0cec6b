// Owning handle for a Python reference, and small error helpers.
//
// `Ref` owns one strong reference: copying increments, moving steals, the
// destructor decrements. References enter through `steal` (new references from
// the C API) or `borrow` (borrowed ones) and leave through `release`.
#pragma once

#define PY_SSIZE_T_CLEAN
#include <Python.h>

#include <utility>

namespace frame {

class Ref {
 public:
  Ref() = default;
  static Ref steal(PyObject* p) { return Ref(p); }
  static Ref borrow(PyObject* p) {
    Py_XINCREF(p);
    return Ref(p);
  }
  Ref(const Ref& other) : ptr_(other.ptr_) { Py_XINCREF(ptr_); }
  Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
  // Takes its argument by value: the new reference is installed before the
  // old one is dropped, since dropping can run arbitrary Python code.
  Ref& operator=(Ref other) noexcept {
    std::swap(ptr_, other.ptr_);
    return *this;
  }
  ~Ref() { Py_XDECREF(ptr_); }

  PyObject* get() const { return ptr_; }
  PyObject* release() { return std::exchange(ptr_, nullptr); }
  explicit operator bool() const { return ptr_ != nullptr; }

 private:
  explicit Ref(PyObject* p) : ptr_(p) {}
  PyObject* ptr_ = nullptr;
};

// Raise `type` with a printf-style message; returns nullptr so that callers
// can write `return raise(...)` from functions returning PyObject*.
template <class... Args>
inline std::nullptr_t raise(PyObject* type, const char* format, Args... args) {
  PyErr_Format(type, format, args...);
  return nullptr;
}

// Same, for functions that report failure with false.
template <class... Args>
inline bool fail(PyObject* type, const char* format, Args... args) {
  PyErr_Format(type, format, args...);
  return false;
}

inline const char* type_name(PyObject* o) { return Py_TYPE(o)->tp_name; }

}  // namespace frame
