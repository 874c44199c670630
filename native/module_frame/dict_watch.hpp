// One dict watcher shared by the frame's caches of lookups. A cache records
// the count of changes when it keeps an answer and watches every dict the
// answer was read from; the answer holds while the count is unchanged.
#pragma once

#include "module_frame/ref.hpp"

#include <cstdint>

namespace frame {

namespace detail {
extern uint64_t g_watched_dict_changes;
}

/// Changes (and deallocations) seen so far in any watched dict; never 0.
inline uint64_t watched_dict_changes() noexcept { return detail::g_watched_dict_changes; }

/// Watches `dict` from now on; false (no error set) when that is not possible.
bool watch_dict(Borrowed dict) noexcept;

} // namespace frame
