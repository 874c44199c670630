// One dict watcher shared by the frame's caches of lookups. A cache keeps an
// answer with a `WatchedAnswer`, which watches every dict the answer was read
// from and records the count of changes; the answer holds while the count is
// unchanged.
#pragma once

#include "module_frame/runtime/ref.hpp"

#include <cstdint>
#include <initializer_list>

namespace frame {

namespace detail {
extern uint64_t watched_changes;
}

/// Changes (and deallocations) seen so far in any watched dict; never 0.
inline uint64_t watched_dict_changes() noexcept { return detail::watched_changes; }

/// Watches `dict` from now on; false (no error set) when that is not possible.
bool watch_dict(Borrowed dict) noexcept;

/// Whether a kept answer still holds: from `keep`, which watches every dict
/// the answer was read from, until the first change in any watched dict.
class WatchedAnswer {
public:
  bool holds() const noexcept { return generation_ == watched_dict_changes(); }

  /// Watches `dicts` and lets the answer hold from now on. False (and the
  /// answer dropped) when a dict cannot be watched, or when a watched dict has
  /// changed since the count was `since` (the count read before the answer
  /// was looked up), for code run in between may have replaced a part of it.
  bool keep(std::initializer_list<Borrowed> dicts, uint64_t since = 0) noexcept {
    generation_ = 0;
    for (Borrowed dict : dicts)
      if (!watch_dict(dict)) return false;
    if (since != 0 && since != watched_dict_changes()) return false;
    generation_ = watched_dict_changes();
    return true;
  }

  void drop() noexcept { generation_ = 0; }

private:
  uint64_t generation_ = 0; // the count of changes when kept; 0 when nothing is
};

} // namespace frame
