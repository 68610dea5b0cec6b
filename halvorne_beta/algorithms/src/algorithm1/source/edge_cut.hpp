// The cutting stage of clusterize: compute the labelled subgraph, cut its
// heaviest edge out of the forest, and repeat until no path joins two
// different labels.
#pragma once

#include "subgraph.hpp"

namespace {

// 1 when some list of the subgraph is not empty (as `to_numpy_all` shows
// it), 0 if none, -1 on error.
inline int has_edges(PyObject* sub) {
  if (Py_IS_TYPE(sub, &graph::type) && is_original("np")) {
    for (size_t v = 0; v < graph::count(sub); ++v)
      if (graph::size(sub, v) > 0) return 1;
    return 0;
  }
  Ref all = Ref::steal(PyObject_CallMethod(sub, "to_numpy_all", nullptr));
  if (!all) return -1;
  Py_ssize_t n = PySequence_Length(all.get());
  if (n < 0) return -1;
  int any = 0;
  for (Py_ssize_t i = 0; i < n; ++i) {  // every item is measured, as the loop that reads them does
    Ref item = Ref::steal(PySequence_GetItem(all.get(), i));
    Py_ssize_t length = item ? PyObject_Length(item.get()) : -1;
    if (length < 0) return -1;
    if (length > 0) any = 1;
  }
  return any;
}

// Where pop_max finds the maximum: its first occurrence in vertex order,
// then list order (elements below -1.0 and NaN never count).
struct Heaviest {
  bool found = false;
  float weight = -1.0f;
  size_t vertex = 0;
  int32_t position = 0;
};

inline Heaviest find_heaviest(const graph::Object* g) {
  Heaviest h;
  if (g->dtype != graph::FLOAT32) return h;
  for (size_t v = 0; v < g->count; ++v) {
    const float* w = graph::floats(g, v);
    for (int32_t i = 0; i < g->slots[v].size; ++i) {
      if (!(w[i] > h.weight || (!h.found && w[i] == h.weight))) continue;
      h = Heaviest{true, w[i], v, i};
    }
  }
  return h;
}

// Removes every occurrence of `weight`, as pop_max does.
inline void remove_all(graph::Object* g, float weight) {
  for (size_t v = 0; v < g->count; ++v) {
    float* w = graph::floats(g, v);
    int32_t kept = 0;
    for (int32_t i = 0; i < g->slots[v].size; ++i)
      if (!(w[i] == weight)) w[kept++] = w[i];
    g->slots[v].size = kept;
  }
}

// The neighbour stored at `position` of vertex v's subgraph list.
inline bool partner_at(PyObject* sub_conn, size_t v, int32_t position, int64_t* partner) {
  if (reads_directly(sub_conn, graph::INT64)) {
    graph::Object* c = graph::as_graph(sub_conn);
    if (v >= c->count) return numpy_out_of_range(position, 0);
    if (position >= c->slots[v].size) return numpy_out_of_range(position, c->slots[v].size);
    *partner = graph::ints(c, v)[position];
    return true;
  }
  Ref array = graph::to_numpy(sub_conn, int64_t(v));
  if (!array) return false;
  Ref item = item_at(array.get(), position);
  return item && to_int64(item.get(), partner);
}

// The edge to cut: the first occurrence of the largest subgraph weight and
// the neighbour stored at that position (with tied maxima, the two vertices
// pop_max reports need not be an edge; this is always one). `remove` also
// removes every occurrence of that weight, as pop_max does, for a subgraph
// that the caller can still see. An override of pop_max is asked instead.
inline bool choose_cut(PyObject* sub_conn, PyObject* sub_w, bool remove, int* first, int* second) {
  Ref method;
  int overridden = graph::find_override(sub_w, "pop_max", &graph::pop_max_def, &method);
  if (overridden < 0) return false;
  if (overridden) {
    Ref result = graph::pop_max(sub_w);
    if (!result) return false;
    Ref a, b;
    return unpack_pair(result.get(), &a, &b) && to_int(a.get(), first) && to_int(b.get(), second);
  }
  const Heaviest h = find_heaviest(graph::as_graph(sub_w));
  if (!h.found) return fail(PyExc_ValueError, "All sub-arrays are empty, cannot pop max");
  int64_t partner;
  if (!partner_at(sub_conn, h.vertex, h.position, &partner)) return false;
  if (partner < INT32_MIN || partner > INT32_MAX) return fail(PyExc_OverflowError, "value too large to convert to int");
  // partner_at may have run Python code: the weights are scanned afresh
  if (remove) remove_all(graph::as_graph(sub_w), h.weight);
  *first = int(h.vertex);
  *second = int(partner);
  return true;
}

// A list position as the 32-bit `element_index` of pop takes it.
inline bool element_index(Py_ssize_t position, int* out) {
  if (position < INT32_MIN || position > INT32_MAX) return fail(PyExc_OverflowError, "value too large to convert to int");
  *out = int(position);
  return true;
}

// Removes the edge {first, second} from both containers, each direction at
// the first position where it occurs. The positions may come from Python
// (an override of to_numpy): pop checks them against the list it holds then.
inline bool cut(PyObject* conn, PyObject* weights, int first, int second) {
  Py_ssize_t first_position, second_position;
  if (!position_in(conn, reads_directly(conn, graph::INT64), first, second, &first_position)) return false;
  if (!position_in(conn, reads_directly(conn, graph::INT64), second, first, &second_position)) return false;
  int for_first, for_second;
  if (!element_index(first_position, &for_first) || !element_index(second_position, &for_second)) return false;
  return graph::pop(conn, first, for_first) && graph::pop(conn, second, for_second) &&
         graph::pop(weights, first, for_first) && graph::pop(weights, second, for_second);
}

// The subgraph of one pass, from the module's own function or the rebound name.
inline bool pass_subgraph(PyObject* conn, PyObject* weights, Labels& L, bool own_subgraph, Search& s,
                          int& search_mode, int& forest, Ref* sub_conn, Ref* sub_w) {
  if (own_subgraph) {
    const bool native = subgraph_is_native(conn, weights, L);
    if (search_mode != int(native)) {
      s.init(conn, &L, !native);
      search_mode = int(native);
    }
    if (native && forest < 0) forest = int(is_forest(conn));  // cuts keep a forest a forest
    return labelled_subgraph(conn, weights, L, s, native, native && forest == 1, sub_conn, sub_w);
  }
  Ref result = call_name(FIND_SUBGRAPH, {conn, weights, L.obj});
  if (!result || !unpack_pair(result.get(), sub_conn, sub_w)) return false;
  for (PyObject* sub : {sub_conn->get(), sub_w->get()})
    if (!graph::is_graph(sub))
      return fail(PyExc_TypeError, "Cannot convert %.200s to %.200s", type_name(sub), graph::type.tp_name);
  return true;
}

// Cuts one edge per pass until the subgraph is empty.
inline bool cut_until_separated(PyObject* conn, PyObject* weights, Labels& L) {
  Lease<Search> lease;
  Search& s = *lease;
  int search_mode = -1;  // how `s` was set up: 1 native, 0 general
  int forest = -1;       // checked once
  for (;;) {
    const bool own_subgraph = own(FIND_SUBGRAPH);
    Ref sub_conn, sub_w;
    if (!pass_subgraph(conn, weights, L, own_subgraph, s, search_mode, forest, &sub_conn, &sub_w)) return false;
    int any = has_edges(sub_conn.get());
    if (any <= 0) return any == 0;
    int first, second;
    if (!choose_cut(sub_conn.get(), sub_w.get(), !own_subgraph, &first, &second)) return false;
    if (!cut(conn, weights, first, second)) return false;
  }
}

}  // namespace
