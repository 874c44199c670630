#include "module_frame/fast_paths/dict_watch.hpp"

namespace frame {

namespace detail {
uint64_t watched_changes = 1;
}

namespace {

int watcher_id = -1;

int on_watched_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  ++detail::watched_changes;
  return 0;
}

} // namespace

bool watch_dict(Borrowed dict) noexcept {
  if (watcher_id < 0) watcher_id = PyDict_AddWatcher(on_watched_dict_change);
  if (watcher_id >= 0 && PyDict_Watch(watcher_id, dict.get()) == 0) return true;
  PyErr_Clear();
  return false;
}

} // namespace frame
