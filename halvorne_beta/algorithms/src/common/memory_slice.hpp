// Part of a caller's buffer handed to Python code as a memoryview.
//
// The memoryview's exporter holds the caller's buffer (not merely a pointer
// into it) for as long as the memoryview lives, so a callee that keeps the
// row it was given keeps valid memory, and the caller's array cannot be
// resized under it.
#pragma once

#include <cstring>

#include "ref.hpp"

namespace frame {

namespace detail {

struct SliceObject {
  PyObject_HEAD
  Py_buffer source;  // the exporter's buffer, held
  bool held;
  char* start;
  Py_ssize_t count;
  Py_ssize_t itemsize;
  char format[8];
};

inline int slice_getbuffer(PyObject* self, Py_buffer* view, int flags) {
  auto* s = reinterpret_cast<SliceObject*>(self);
  if ((flags & PyBUF_WRITABLE) && s->source.readonly) {
    PyErr_SetString(PyExc_BufferError, "the sliced buffer is read-only");
    return -1;
  }
  view->obj = Py_NewRef(self);
  view->buf = s->start;
  view->len = s->count * s->itemsize;
  view->readonly = s->source.readonly;
  view->itemsize = s->itemsize;
  view->format = (flags & PyBUF_FORMAT) ? s->format : nullptr;
  view->ndim = 1;
  view->shape = (flags & PyBUF_ND) ? &s->count : nullptr;
  view->strides = (flags & PyBUF_STRIDES) ? &s->itemsize : nullptr;
  view->suboffsets = nullptr;
  view->internal = nullptr;
  return 0;
}

inline void slice_dealloc(PyObject* self) {
  auto* s = reinterpret_cast<SliceObject*>(self);
  if (s->held) PyBuffer_Release(&s->source);
  PyObject_Free(self);
}

inline PyBufferProcs slice_buffer_procs = {slice_getbuffer, nullptr};

inline PyTypeObject slice_type = [] {
  PyTypeObject t{PyVarObject_HEAD_INIT(nullptr, 0)};
  t.tp_name = "buffer_slice";
  t.tp_basicsize = sizeof(SliceObject);
  t.tp_dealloc = slice_dealloc;
  t.tp_flags = Py_TPFLAGS_DEFAULT;
  t.tp_as_buffer = &slice_buffer_procs;
  return t;
}();

}  // namespace detail

// A one-dimensional memoryview of `count` elements of `format` (`itemsize`
// bytes each), starting `offset` bytes into the C-contiguous buffer of
// `exporter`. The range is checked against the buffer as it is now.
inline Ref memory_slice(PyObject* exporter, Py_ssize_t offset, Py_ssize_t count, const char* format,
                        Py_ssize_t itemsize, bool writable) {
  if (!(detail::slice_type.tp_flags & Py_TPFLAGS_READY) && PyType_Ready(&detail::slice_type) < 0) return Ref();
  if (std::strlen(format) >= sizeof(detail::SliceObject::format)) {
    PyErr_SetString(PyExc_ValueError, "buffer format too long");
    return Ref();
  }
  auto* s = PyObject_New(detail::SliceObject, &detail::slice_type);
  if (s == nullptr) return Ref();
  s->held = false;
  Ref slice = Ref::steal(reinterpret_cast<PyObject*>(s));
  if (PyObject_GetBuffer(exporter, &s->source, PyBUF_C_CONTIGUOUS | (writable ? PyBUF_WRITABLE : 0)) < 0) return Ref();
  s->held = true;
  if (offset < 0 || count < 0 || itemsize <= 0 || count > (PY_SSIZE_T_MAX - offset) / itemsize ||
      offset + count * itemsize > s->source.len) {
    PyErr_SetString(PyExc_IndexError, "Out of bounds on buffer access (axis 0)");
    return Ref();
  }
  s->start = static_cast<char*>(s->source.buf) + offset;
  s->count = count;
  s->itemsize = itemsize;
  std::strcpy(s->format, format);
  return Ref::steal(PyMemoryView_FromObject(slice.get()));
}

}  // namespace frame
