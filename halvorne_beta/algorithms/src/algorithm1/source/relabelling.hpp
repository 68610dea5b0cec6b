// The relabelling stages of clusterize, after the cuts: the vertices of each
// label are chained with weight-1 edges, then each label is flooded
// (label_flood.hpp) from its first vertex over everything connected to it.
#pragma once

#include <algorithm>
#include <iterator>
#include <vector>

#include "label_flood.hpp"

namespace {

// The labelled vertices grouped by label, groups in order of first
// occurrence, members in index order.
inline std::vector<std::vector<int32_t>> label_groups(const Labels& L) {
  int group_of[256];
  std::fill(std::begin(group_of), std::end(group_of), -1);
  std::vector<std::vector<int32_t>> groups;
  for (Py_ssize_t i = 0; i < L.n; ++i) {
    int8_t label = L.at(i);
    if (label == -1) continue;
    int& g = group_of[label + 128];
    if (g < 0) {
      g = int(groups.size());
      groups.emplace_back();
    }
    groups[size_t(g)].push_back(int32_t(i));
  }
  return groups;
}

// Joins consecutive members of each group with an edge of weight 1.
inline bool chain_groups(PyObject* conn, PyObject* weights, const std::vector<std::vector<int32_t>>& groups) {
  // the weight is the int 1, which a weight container stores as 1.0
  const bool float_weights = Py_IS_TYPE(weights, &graph::type) && graph::as_graph(weights)->dtype == graph::FLOAT32;
  for (const auto& group : groups) {
    for (size_t i = 0; i + 1 < group.size(); ++i) {
      const int64_t a = group[i], b = group[i + 1];
      if (!graph::append_int(conn, a, b) || !graph::append_int(conn, b, a)) return false;
      bool ok = float_weights ? graph::append_float(weights, a, 1.0) && graph::append_float(weights, b, 1.0)
                              : graph::append_int(weights, a, 1) && graph::append_int(weights, b, 1);
      if (!ok) return false;
    }
  }
  return true;
}

// `make_labels(conn, node, new_labels[node], visited=set(), labels=new_labels)`
// through the rebound name.
inline bool flood_through_python(PyObject* conn, PyObject* node, PyObject* label, PyObject* new_labels) {
  Ref visited = Ref::steal(PySet_New(nullptr));
  if (!visited) return false;
  static KeywordNames visited_and_labels{"visited", "labels"};
  return bool(call_name(MAKE_LABELS, {conn, node, label, visited.get(), new_labels}, visited_and_labels));
}

// Floods each group's label from its first member into `new_labels`.
inline bool flood_groups(PyObject* conn, PyObject* new_labels, const std::vector<std::vector<int32_t>>& groups) {
  Labels target;
  bool target_ready = false;
  Lease<Flood> lease;
  Flood& flood = *lease;
  for (const auto& group : groups) {
    Ref node = py_int(group[0]);
    if (!node) return false;
    Ref label_value = item_at(new_labels, group[0]);
    if (!label_value) return false;
    if (!own(MAKE_LABELS)) {
      if (!flood_through_python(conn, node.get(), label_value.get(), new_labels)) return false;
      continue;
    }
    int label;
    if (!to_int(label_value.get(), &label) || !check_arg(new_labels, "labels", state.ndarray, false) ||
        !require(new_labels, "labels"))
      return false;
    if (!target_ready && !target.take(new_labels, true)) return false;
    target_ready = true;
    // An internal set nobody else sees: marks stand in for it unless Python
    // code can run during the flood.
    NeighbourReader probe;
    probe.set(conn, false);
    Ref visited = probe.direct ? Ref() : Ref::steal(PySet_New(nullptr));
    if (!probe.direct && !visited) return false;
    flood.init(conn, &target, visited.get(), !probe.direct);
    if (!flood.run(group[0], label)) return false;
  }
  return true;
}

// Chains and floods; the new label array is `labels.copy()`.
inline Ref relabel(PyObject* conn, PyObject* weights, const Labels& L) {
  const std::vector<std::vector<int32_t>> groups = label_groups(L);
  if (!chain_groups(conn, weights, groups)) return Ref();
  Ref new_labels = Ref::steal(PyObject_CallMethod(L.obj, "copy", nullptr));
  if (!new_labels || !flood_groups(conn, new_labels.get(), groups)) return Ref();
  return new_labels;
}

}  // namespace
