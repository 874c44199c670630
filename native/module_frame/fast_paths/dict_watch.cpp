#include "module_frame/fast_paths/dict_watch.hpp"

namespace frame {

namespace detail {
uint64_t g_watched_dict_changes = 1;
}

namespace {

int g_watcher = -1;

int on_watched_dict_change(PyDict_WatchEvent, PyObject*, PyObject*, PyObject*) noexcept {
  ++detail::g_watched_dict_changes;
  return 0;
}

} // namespace

bool watch_dict(Borrowed dict) noexcept {
  if (g_watcher < 0) g_watcher = PyDict_AddWatcher(on_watched_dict_change);
  if (g_watcher >= 0 && PyDict_Watch(g_watcher, dict.get()) == 0) return true;
  PyErr_Clear();
  return false;
}

} // namespace frame
