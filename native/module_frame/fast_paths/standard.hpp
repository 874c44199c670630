// The guard of the native fast paths that reproduce a standard-library
// function: the function as found at load, with everything its result
// depends on that a program can replace (its code, its defaults and the
// module globals it reaches). A fast path is taken only while the function
// looked up now is still that one and nothing of it has been replaced;
// otherwise the caller calls the function itself.
#pragma once

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

  /// Whether `fn` is the remembered function, unchanged. Never raises.
  bool still(Borrowed fn) const noexcept { return same_function(fn) && same_helpers(); }

  /// The part of `still` read from the function object itself: the same
  /// function with the same code and defaults. For a caller that watches
  /// the globals dict and so knows the helpers are unchanged.
  bool same_function(Borrowed fn) const noexcept;

  /// The module globals of the remembered function (null when none is).
  Borrowed globals() const noexcept { return globals_.get(); }

private:
  bool record(Borrowed fn, const char* module_name, const char* name, std::initializer_list<const char*> helpers);
  void forget() noexcept;
  bool same_helpers() const noexcept;

  static constexpr int kMaxHelpers = 6;
  Kept function_, code_, defaults_, kwdefaults_, globals_;
  Kept helper_names_[kMaxHelpers];
  Kept helpers_[kMaxHelpers];
  int nhelpers_ = 0;
};

} // namespace frame
