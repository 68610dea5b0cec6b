// Typed views of buffers (NumPy arrays and any other exporter).
//
// A `View<T, N>` holds the exporter's buffer from acquisition until it is
// destroyed, so every exit path releases it. Two ways in:
//  - `acquire`: a typed parameter or local view; the layout of its declaration
//    (contiguous, C-contiguous, strided) is requested from the exporter.
//  - `assign_array`: a local NumPy array variable; the object must be an
//    ndarray (or None) and any strides are accepted.
// None gives the empty view (extent 0, no data).
#pragma once

#include <cstring>

#include "ref.hpp"

namespace frame {

enum class Kind { Signed, Unsigned, Float, Char };

// A declared element: the name the dtype-mismatch message shows, its kind and size.
struct Element {
  const char* name;
  Kind kind;
  Py_ssize_t size;
};

inline constexpr Element DTYPE_t{"DTYPE_t", Kind::Float, 8};
inline constexpr Element ITYPE_t{"ITYPE_t", Kind::Signed, 8};
inline constexpr Element DTYPE32_t{"DTYPE32_t", Kind::Float, 4};
inline constexpr Element const_DTYPE32_t{"const DTYPE32_t", Kind::Float, 4};
inline constexpr Element float32_t{"float32_t", Kind::Float, 4};
inline constexpr Element float64_t{"float64_t", Kind::Float, 8};
inline constexpr Element double_t_{"double", Kind::Float, 8};
inline constexpr Element int_t{"int", Kind::Signed, 4};
inline constexpr Element char_t{"char", Kind::Char, 1};
inline constexpr Element uint8_t_{"uint8_t", Kind::Unsigned, 1};
inline constexpr Element int8_t_{"int8_t", Kind::Signed, 1};
inline constexpr Element int64_t_{"int64_t", Kind::Signed, 8};

enum class Layout { Contiguous, CContiguous, Strided };

// An index that the caller's data made point outside a buffer.
inline bool out_of_bounds(int axis = 0) {
  return fail(PyExc_IndexError, "Out of bounds on buffer access (axis %d)", axis);
}

namespace detail {

// What a buffer format string holds, as far as matching an element goes.
struct Described {
  const char* text;  // e.g. "'float'", "a struct"
  bool scalar;       // a single numeric element (kind and size below are valid)
  Kind kind;
  Py_ssize_t size;
};

inline bool describe_char(char c, bool native, Described* d) {
  // Sizes: native ('@' or no prefix) or standard ('=', '<', '>', '!').
  switch (c) {
    case '?': *d = {"'bool'", true, Kind::Unsigned, 1}; return true;
    case 'c': *d = {"'char'", true, Kind::Char, 1}; return true;
    case 'b': *d = {"'signed char'", true, Kind::Signed, 1}; return true;
    case 'B': *d = {"'unsigned char'", true, Kind::Unsigned, 1}; return true;
    case 'h': *d = {"'short'", true, Kind::Signed, 2}; return true;
    case 'H': *d = {"'unsigned short'", true, Kind::Unsigned, 2}; return true;
    case 'i': *d = {"'int'", true, Kind::Signed, 4}; return true;
    case 'I': *d = {"'unsigned int'", true, Kind::Unsigned, 4}; return true;
    case 'l': *d = {"'long'", true, Kind::Signed, native ? Py_ssize_t(sizeof(long)) : 4}; return true;
    case 'L': *d = {"'unsigned long'", true, Kind::Unsigned, native ? Py_ssize_t(sizeof(long)) : 4}; return true;
    case 'q': *d = {"'long long'", true, Kind::Signed, 8}; return true;
    case 'Q': *d = {"'unsigned long long'", true, Kind::Unsigned, 8}; return true;
    case 'f': *d = {"'float'", true, Kind::Float, 4}; return true;
    case 'd': *d = {"'double'", true, Kind::Float, 8}; return true;
    case 'g': *d = {"'long double'", true, Kind::Float, Py_ssize_t(sizeof(long double))}; return true;
    case 'O': *d = {"Python object", false, Kind::Signed, 0}; return true;
    case 'P': *d = {"a pointer", false, Kind::Signed, 0}; return true;
    case 's': case 'p': *d = {"a string", false, Kind::Signed, 0}; return true;
    default: return false;
  }
}

// Parses a buffer format describing one element. Returns false with an
// exception set for formats that cannot be understood.
inline bool describe_format(const char* fmt, Described* d) {
  bool native = true;
  if (*fmt == '@' || *fmt == '^') {
    ++fmt;
  } else if (*fmt == '=' || *fmt == '<') {
    native = false;
    ++fmt;
  } else if (*fmt == '>' || *fmt == '!') {
    return fail(PyExc_ValueError, "Big-endian buffer not supported on little-endian compiler");
  }
  long count = -1;
  if (*fmt >= '0' && *fmt <= '9') {
    count = 0;
    while (*fmt >= '0' && *fmt <= '9') count = count * 10 + (*fmt++ - '0');
  }
  if (*fmt == 'T' && fmt[1] == '{') {
    *d = {"a struct", false, Kind::Signed, 0};
    return true;
  }
  if (*fmt == 'Z') {
    switch (fmt[1]) {
      case 'f': *d = {"'complex float'", false, Kind::Float, 8}; return true;
      case 'd': *d = {"'complex double'", false, Kind::Float, 16}; return true;
      case 'g': *d = {"'complex long double'", false, Kind::Float, 32}; return true;
      default: return fail(PyExc_ValueError, "Unexpected format string character: '%c'", fmt[1]);
    }
  }
  if (*fmt == '\0') {
    return fail(PyExc_ValueError, "Does not understand character buffer dtype format string ('%c')", ' ');
  }
  if (!describe_char(*fmt, native, d)) {
    return fail(PyExc_ValueError, "Unexpected format string character: '%c'", *fmt);
  }
  // A repeat count or trailing fields make the element a composite.
  bool is_string = (*fmt == 's' || *fmt == 'p');
  if (!is_string && ((count != -1 && count != 1) || fmt[1] != '\0')) {
    *d = {"a struct", false, Kind::Signed, 0};
  }
  return true;
}

inline bool element_matches(const Element& el, const Described& d) {
  if (!d.scalar) return false;
  if (el.kind == Kind::Char) return d.size == 1 && d.kind != Kind::Float;
  return d.kind == el.kind && d.size == el.size;
}

}  // namespace detail

class ViewBase {
 public:
  ViewBase() = default;
  ViewBase(const ViewBase&) = delete;
  ViewBase& operator=(const ViewBase&) = delete;
  ~ViewBase() { release(); }

  void release() {
    if (held_) {
      PyBuffer_Release(&buffer_);
      held_ = false;
    }
  }
  bool is_none() const { return !held_; }
  // A typed parameter: the frame acquires it before a named body runs.
  bool acquire_param(PyObject* obj, const Element& el, int ndim, Layout layout, bool writable) {
    return acquire_view(obj, el, ndim, layout, writable);
  }
  Py_ssize_t extent(int dim) const { return shape_[dim]; }
  Py_ssize_t stride(int dim) const { return strides_[dim]; }
  char* bytes() const { return data_; }

 protected:
  // Typed-view parameter or local view of declared `ndim` and `layout`.
  bool acquire_view(PyObject* obj, const Element& el, int ndim, Layout layout, bool writable) {
    release();
    clear_shape();
    if (obj == Py_None) return true;
    int flags = PyBUF_FORMAT | (layout == Layout::Strided ? PyBUF_INDIRECT : PyBUF_C_CONTIGUOUS);
    if (writable) flags |= PyBUF_WRITABLE;
    Py_buffer buffer;
    if (PyObject_GetBuffer(obj, &buffer, flags) < 0) return false;
    if (!check(buffer, el, ndim, "Item size of buffer (%zu byte%s) does not match size of '%s' (%zu byte%s)") ||
        !check_layout(buffer, layout)) {
      PyBuffer_Release(&buffer);
      return false;
    }
    take(buffer, ndim);
    return true;
  }

  // Local NumPy array variable: ndarray or None, any strides.
  bool acquire_array(PyObject* obj, PyTypeObject* ndarray, const Element& el, int ndim, bool writable) {
    if (obj != Py_None && !PyObject_TypeCheck(obj, ndarray)) {
      return fail(PyExc_TypeError, "Cannot convert %.200s to %.200s", type_name(obj), ndarray->tp_name);
    }
    release();
    clear_shape();
    if (obj == Py_None) return true;
    int flags = PyBUF_FORMAT | PyBUF_STRIDES | (writable ? PyBUF_WRITABLE : 0);
    Py_buffer buffer;
    if (PyObject_GetBuffer(obj, &buffer, flags) < 0) return false;
    if (!check(buffer, el, ndim, "Item size of buffer (%zd byte%s) does not match size of '%s' (%zd byte%s)")) {
      PyBuffer_Release(&buffer);
      return false;
    }
    take(buffer, ndim);
    return true;
  }

  Py_buffer buffer_{};
  bool held_ = false;
  char* data_ = nullptr;
  Py_ssize_t shape_[2] = {0, 0};
  Py_ssize_t strides_[2] = {0, 0};

 private:
  void clear_shape() {
    data_ = nullptr;
    shape_[0] = shape_[1] = 0;
    strides_[0] = strides_[1] = 0;
  }

  static bool check(const Py_buffer& b, const Element& el, int ndim, const char* itemsize_message) {
    if (b.ndim != ndim) {
      return fail(PyExc_ValueError, "Buffer has wrong number of dimensions (expected %d, got %d)", ndim, b.ndim);
    }
    detail::Described d;
    if (!detail::describe_format(b.format ? b.format : "B", &d)) return false;
    if (!detail::element_matches(el, d)) {
      return fail(PyExc_ValueError, "Buffer dtype mismatch, expected %s%s%s but got %s", "'", el.name, "'", d.text);
    }
    if (b.itemsize != el.size) {
      return fail(PyExc_ValueError, itemsize_message, static_cast<size_t>(b.itemsize), b.itemsize > 1 ? "s" : "",
                  el.name, static_cast<size_t>(el.size), el.size > 1 ? "s" : "");
    }
    if (b.suboffsets != nullptr && b.strides == nullptr) {
      return fail(PyExc_ValueError, "Buffer exposes suboffsets but no strides");
    }
    return true;
  }

  static bool check_layout(const Py_buffer& b, Layout layout) {
    for (int d = 0; d < b.ndim; ++d) {
      if (b.suboffsets != nullptr && b.suboffsets[d] >= 0) {
        return fail(PyExc_ValueError, "Buffer not compatible with direct access in dimension %d.", d);
      }
    }
    if (layout == Layout::Strided || b.strides == nullptr) return true;
    int last = b.ndim - 1;
    if (b.shape[last] > 1 && b.strides[last] != b.itemsize) {
      return fail(PyExc_ValueError, "Buffer and memoryview are not contiguous in the same dimension.");
    }
    Py_ssize_t expected = b.itemsize;
    for (int d = last; d >= 0; --d) {
      if (b.shape[d] > 1 && b.strides[d] != expected) return fail(PyExc_ValueError, "Buffer not C contiguous.");
      expected *= b.shape[d];
    }
    return true;
  }

  void take(const Py_buffer& b, int ndim) {
    buffer_ = b;
    held_ = true;
    data_ = static_cast<char*>(b.buf);
    Py_ssize_t stride = b.itemsize;
    for (int d = ndim - 1; d >= 0; --d) {
      shape_[d] = b.shape ? b.shape[d] : (d == 0 ? b.len / b.itemsize : 1);
      strides_[d] = b.strides ? b.strides[d] : stride;
      stride *= shape_[d];
    }
  }
};

// A non-owning typed view: of a parameter held by `Args`, or of a `View`
// (helpers can take a ViewRef and accept both).
template <class T, int N>
class ViewRef {
 public:
  explicit ViewRef(const ViewBase& v) : data_(v.bytes()), none_(v.is_none()) {
    for (int d = 0; d < N; ++d) {
      shape_[d] = v.extent(d);
      strides_[d] = v.stride(d);
    }
  }
  bool is_none() const { return none_; }
  Py_ssize_t extent(int dim) const { return shape_[dim]; }
  Py_ssize_t stride(int dim) const { return strides_[dim]; }
  char* bytes() const { return data_; }
  T& operator()(Py_ssize_t i) const { return *reinterpret_cast<T*>(data_ + i * strides_[0]); }
  T& operator()(Py_ssize_t i, Py_ssize_t j) const {
    return *reinterpret_cast<T*>(data_ + i * strides_[0] + j * strides_[1]);
  }
  T* data() const { return reinterpret_cast<T*>(data_); }
  Py_ssize_t size() const { return shape_[0]; }

 private:
  char* data_;
  bool none_;
  Py_ssize_t shape_[N] = {};
  Py_ssize_t strides_[N] = {};
};

template <class T, int N>
class View : public ViewBase {
  static_assert(N == 1 || N == 2);

 public:
  bool acquire(PyObject* obj, const Element& el, Layout layout, bool writable) {
    return acquire_view(obj, el, N, layout, writable);
  }
  bool assign_array(PyObject* obj, PyTypeObject* ndarray, const Element& el, bool writable) {
    return acquire_array(obj, ndarray, el, N, writable);
  }
  T& operator()(Py_ssize_t i) const { return *reinterpret_cast<T*>(data_ + i * strides_[0]); }
  T& operator()(Py_ssize_t i, Py_ssize_t j) const {
    return *reinterpret_cast<T*>(data_ + i * strides_[0] + j * strides_[1]);
  }
  // Base pointer of a C-contiguous (or contiguous 1-D) view.
  T* data() const { return reinterpret_cast<T*>(data_); }
  Py_ssize_t size() const { return shape_[0]; }
  operator ViewRef<T, N>() const { return ViewRef<T, N>(*this); }
};

}  // namespace frame
