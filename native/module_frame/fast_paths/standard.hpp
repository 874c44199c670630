// The guard of a standard function's fast path: a native reading that stands
// in for a standard-library function holds while the function looked up now
// is the one found at load, with the same code and defaults, and the module
// globals it reaches (its helpers) are the ones found with it. The helpers
// are read again only after a change in a watched dict, so on the fast path
// the guard costs a few identity tests. Otherwise the caller calls the
// function itself, so a replaced function or helper takes effect at once.
#pragma once

#include "module_frame/fast_paths/dict_watch.hpp"
#include "module_frame/runtime/ref.hpp"

#include <initializer_list>

namespace frame {

class StandardFunction {
public:
  /// Records `fn` when it is the Python function `name` of the module
  /// `module_name` with every global in `helpers`; otherwise (`fn` null too)
  /// records nothing. Returns whether it recorded `fn`.
  /// Never raises: a pending error is kept, any new one dropped.
  bool remember(Borrowed fn, const char* module_name, const char* name,
                std::initializer_list<const char*> helpers) noexcept;

  /// Whether `fn` is the remembered function, unchanged, with its helpers
  /// unchanged. Never raises.
  bool still(Borrowed fn) noexcept { return same_function(fn) && same_helpers(); }

  /// The module globals of the remembered function (null when none is).
  Borrowed globals() const noexcept { return globals_.get(); }

private:
  bool record(Borrowed fn, const char* module_name, const char* name, std::initializer_list<const char*> helpers);
  void forget() noexcept;
  bool same_function(Borrowed fn) const noexcept;
  bool same_helpers() noexcept;

  static constexpr int kMaxHelpers = 6;
  Kept function_, code_, defaults_, kwdefaults_, globals_;
  Kept helper_names_[kMaxHelpers];
  Kept helpers_[kMaxHelpers];
  int nhelpers_ = 0;
  WatchedAnswer helpers_seen_; // the helpers were found unchanged, and the globals not changed since
};

} // namespace frame
