// recursive_explore (the work of explore_graph_recursive): a search from the
// start vertex, then from the end of every path found, with the vertex
// before that end as bomb node, depth-first in the order of the paths.
//
// The chain runs on an explicit stack of levels, one per search whose paths
// are still being followed. What it finds goes to an `Out`, which is asked,
// for each search: begin() before it, the three sink calls of path_search.hpp
// while it runs, then commit() when it succeeded or rollback() when it
// failed, so that a failing search leaves nothing behind.
#pragma once

#include <unordered_set>
#include <vector>

#include "path_search.hpp"

namespace {

// A path found by one search of the chain: where the next search starts.
struct ChainItem {
  int32_t end;
  int32_t before;  // the vertex before the end: the next search's bomb node
  Ref path;        // set for paths that came from Python
};

// Hands the paths to `out` and keeps their ends for the next searches.
template <class Out>
struct ChainSink {
  Out& out;
  std::vector<ChainItem>& items;

  bool native_path(const int32_t* nodes, size_t n, int32_t end, size_t shared) {
    items.push_back(ChainItem{end, nodes[n - 1], Ref()});
    return out.native_path(nodes, n, end, shared);
  }
  bool python_path(PyObject* path) {
    items.push_back(ChainItem{0, 0, Ref::borrow(path)});
    return out.python_path(path);
  }
  // Paths through a known branch: their ends were chained when it was first met.
  bool known_path(const int32_t* nodes, size_t n, size_t shared) { return out.known_path(nodes, n, shared); }
};

inline int list_index_error() {
  PyErr_SetString(PyExc_IndexError, "list index out of range");
  return -1;
}

// Where the next search of a path from Python starts: its last item, and the
// one before as bomb node. 1 to search, 0 to skip (the end is the bomb node
// of the search that found the path), -1 on error. The path is a list the
// caller may still change: its length is read again before each access.
inline int python_path_next(PyObject* path_object, int32_t level_bomb, int* end, int* before) {
  Ref path = Ref::borrow(path_object);
  if (!expected_list(path.get())) return -1;
  if (PyList_GET_SIZE(path.get()) < 1) return list_index_error();
  Ref last = Ref::borrow(PyList_GET_ITEM(path.get(), PyList_GET_SIZE(path.get()) - 1));
  if (!to_int(last.get(), end)) return -1;
  if (*end == level_bomb) return 0;
  if (PyList_GET_SIZE(path.get()) < 2) return list_index_error();
  Ref previous = Ref::borrow(PyList_GET_ITEM(path.get(), PyList_GET_SIZE(path.get()) - 2));
  return to_int(previous.get(), before) ? 1 : -1;
}

template <class Out>
class Chain {
 public:
  // `done`, when given, holds the (start, bomb node) pairs already searched
  // in this subgraph computation: on a forest such a search and everything
  // chained from it repeat exactly, and all their paths are already in the
  // subgraph.
  Chain(Search& s, Out& out, std::unordered_set<uint64_t>* done) : s_(s), out_(out), done_(done) {}

  bool run(int32_t start, int32_t bomb) {
    s_.expanded.next();
    s_.started.next();
    if (!search_from(start, bomb)) return false;
    while (!levels_.empty()) {
      Level& level = levels_.back();
      if (level.next == level.end) {
        items_.resize(level.begin);
        levels_.pop_back();
        continue;
      }
      const ChainItem& item = items_[level.next++];
      int end = item.end, before = item.before;
      int go = item.path ? python_path_next(item.path.get(), level.bomb, &end, &before) : end != level.bomb;
      if (go < 0) return false;
      if (go > 0 && !search_from(end, before)) return false;
    }
    return true;
  }

 private:
  struct Level {
    size_t begin, end, next;  // its paths: items_[begin..end), next to follow at `next`
    int32_t bomb;
  };

  // A vertex where a search of this chain starts again lies on a cycle.
  bool mark_started(int32_t from) {
    if (from < 0 || from >= s_.labels->n) {
      if (!started_far_.insert(from).second) return fail(PyExc_ValueError, cycle_message, int(from));
      return true;
    }
    if (s_.started.test(from)) return fail(PyExc_ValueError, cycle_message, int(from));
    s_.started.set(from);
    return true;
  }

  // One search of the chain, natively or through the rebound name.
  bool search_once(int32_t from, int32_t bomb_node) {
    ChainSink<Out> sink{out_, items_};
    if (!s_.recheck || own(FIND_ALL_PATHS)) return search(s_, from, bomb_node, nullptr, sink);
    Ref a = py_int(from), b = py_int(bomb_node);
    if (!a || !b) return false;
    static KeywordNames bomb_keyword{"bomb_node"};
    Ref found = call_name(FIND_ALL_PATHS, {s_.reader.obj, s_.labels->obj, a.get(), b.get()}, bomb_keyword);
    if (!found || !expected_list(found.get())) return false;
    // a copy: the callee may keep the list and change it while we read
    Ref snapshot = Ref::steal(PyList_GetSlice(found.get(), 0, PyList_GET_SIZE(found.get())));
    if (!snapshot) return false;
    for (Py_ssize_t i = 0; i < PyList_GET_SIZE(snapshot.get()); ++i)
      if (!sink.python_path(PyList_GET_ITEM(snapshot.get(), i))) return false;
    return true;
  }

  bool search_from(int32_t from, int32_t bomb_node) {
    if (done_ != nullptr && !done_->insert(uint64_t(uint32_t(from)) << 32 | uint32_t(bomb_node)).second) return true;
    if (!mark_started(from)) return false;
    size_t begin = items_.size();
    if (!out_.begin()) return false;
    if (!search_once(from, bomb_node)) {
      out_.rollback();
      return false;
    }
    if (!out_.commit()) return false;
    levels_.push_back(Level{begin, items_.size(), begin, bomb_node});
    return true;
  }

  Search& s_;
  Out& out_;
  std::unordered_set<uint64_t>* done_;
  std::unordered_set<int64_t> started_far_;
  std::vector<ChainItem> items_;
  std::vector<Level> levels_;
};

template <class Out>
bool chain(Search& s, int32_t start, int32_t bomb, Out& out, std::unordered_set<uint64_t>* done = nullptr) {
  Chain<Out> c(s, out, done);
  return c.run(start, bomb);
}

// Collects the paths of each search into a list and extends `target` with it.
struct ListOut {
  PyObject* target;
  Ref paths;

  bool begin() {
    paths = Ref::steal(PyList_New(0));
    return bool(paths);
  }
  bool native_path(const int32_t* nodes, size_t n, int32_t end, size_t shared) {
    ListSink sink{paths.get(), nullptr};
    return sink.native_path(nodes, n, end, shared);
  }
  bool python_path(PyObject* path) { return PyList_Append(paths.get(), path) == 0; }
  bool known_path(const int32_t*, size_t, size_t) { return fail(PyExc_SystemError, "branch memo without a subgraph"); }
  void rollback() { paths = Ref(); }
  bool commit() {
    Py_ssize_t n = PyList_GET_SIZE(target);
    return PyList_SetSlice(target, n, n, paths.get()) == 0;
  }
};

}  // namespace
