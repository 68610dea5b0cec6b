// make_labels: the flood that stores one label on every vertex still
// connected to a start vertex.
//
// The flood runs depth-first on an explicit stack, in neighbour-list order,
// so that a large component never reaches the C stack. Each step that the
// module would make by calling make_labels by name goes through Python once
// that name is rebound; from then on the caller's `visited` set, which that
// call may have changed, answers every membership question.
#pragma once

#include <vector>

#include "vertex_reading.hpp"

namespace {

struct Flood {
  NeighbourReader reader;
  Labels* labels = nullptr;
  PyObject* visited = nullptr;  // the caller's set; none for an internal flood
  bool recheck = true;
  bool set_mode = false;  // membership answered by the caller's set itself
  Marks seen;
  std::vector<int32_t> arena;
  struct Level {
    size_t begin, end, pos;  // a vertex's neighbours: arena[begin..end), next at pos
  };
  std::vector<Level> levels;

  void init(PyObject* connections, Labels* L, PyObject* set, bool check_names) {
    reader.set(connections, check_names);
    labels = L;
    visited = set;
    recheck = check_names;
    seen.resize(size_t(L->n));
    levels.clear();
    arena.clear();
  }

  bool run(int32_t node, int label) {
    seen.next();
    levels.clear();
    arena.clear();
    set_mode = visited != nullptr;
    if (!visit(node, label)) return false;
    while (!levels.empty()) {
      Level& level = levels.back();
      if (level.pos == level.end) {
        arena.resize(level.begin);
        levels.pop_back();
        continue;
      }
      const int32_t neighbor = arena[level.pos++];
      int m = member(neighbor);
      if (m < 0) return false;
      if (m == 0 && !enter(neighbor, label)) return false;
    }
    return true;
  }

 private:
  // 1 when `v` was visited, 0 if not, -1 on error.
  int member(int32_t v) const {
    if (!set_mode && v >= 0 && v < labels->n) return seen.test(v);
    if (visited == nullptr) return 0;
    Ref value = py_int(v);
    return value ? PySet_Contains(visited, value.get()) : -1;
  }

  // Labels `v` and queues its neighbours.
  bool visit(int32_t v, int label) {
    if (visited != nullptr) {
      Ref value = py_int(v);
      if (!value || PySet_Add(visited, value.get()) < 0) return false;
    }
    if (v >= 0 && v < labels->n) seen.set(v);
    if (!labels->check(v)) return false;
    labels->view(v) = int8_t(label);
    size_t begin = arena.size();
    if (!reader.read(v, arena)) return false;
    levels.push_back(Level{begin, arena.size(), begin});
    return true;
  }

  // The flood goes on into `v`, natively or through the rebound name.
  bool enter(int32_t v, int label) {
    if (!recheck || own(MAKE_LABELS)) return visit(v, label);
    Ref index = py_int(v), value = py_int(label);
    if (!index || !value) return false;
    PyObject* set = visited != nullptr ? visited : Py_None;
    if (!call_name(MAKE_LABELS, {reader.obj, index.get(), value.get(), set, labels->obj})) return false;
    set_mode = true;
    return true;
  }
};

}  // namespace
