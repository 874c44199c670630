#!/usr/bin/env bash
# Builds the native modules with AddressSanitizer and UndefinedBehaviorSanitizer, and with the frame's
# assertions on (STROVIK_ASSERTS), into a separate virtual environment (.venv-asan, a regular
# non-editable install) and runs the test suite against that build. Arguments go to pytest (default:
# the whole suite; do not pass -m, the passes use it), except a first --no-browser, which runs pass 1
# only (what CI runs: .ci/run).
#
# The interpreter itself is not instrumented, so the sanitizer runtimes are preloaded and Python's
# own allocator is switched to malloc, which lets ASan see every allocation. Leak detection is off:
# an interpreter keeps many objects alive until exit on purpose.
#
# Two passes, each under ASan + UBSan:
#   1. every test not marked "browser", against the fully instrumented build (build/asan);
#   2. the "browser" tests, against a build without stack instrumentation (build/asan-nostack).
# Browser tests drive Chromium through Playwright's synchronous API, which runs on greenlets.
# greenlet switches stacks by copying them to and from the heap; when one of our instrumented frames
# is suspended on such a stack, ASan's shadow memory keeps that frame's redzones while other code
# runs at the same addresses, and ASan then reports (or crashes on) accesses that are correct.
# Without stack redzones (GCC's --param=asan-stack=0) there is nothing stale to trip over, and heap,
# global and undefined-behaviour checks stay on. Stack checks of our code are covered by pass 1.
#
# Reports are written to files (build/asan-logs) rather than to stderr: pytest captures stderr, a
# report from a server subprocess may go to a pipe nobody reads, and a sanitizer stops the process
# on the first error. After the run every report is printed, and any error fails the script.
#
# Child processes inherit LD_PRELOAD. Python children need it (they load the instrumented modules);
# Chromium hangs with it, so whatever starts the browser (Playwright's driver included) starts it
# without LD_PRELOAD.
set -euo pipefail

# shellcheck source=bootstrap.sh
source "$(dirname "${BASH_SOURCE[0]}")/bootstrap.sh"
cd "$STROVIK_ROOT"

say() { printf 'sanitize: %s\n' "$*"; }

browser_pass=1
if [[ "${1:-}" == "--no-browser" ]]; then
  browser_pass=0
  shift
fi

python="$(find_python312)" || exit 1
# The compiler with its sanitizer runtimes (gcc's libgcc-N-dev brings libasan and libubsan).
STROVIK_DEBIAN_PACKAGES+=(g++)
ensure_debian_packages
if [[ ! -f "$(gcc -print-file-name=libasan.so)" || ! -f "$(gcc -print-file-name=libubsan.so)" ]]; then
  STROVIK_DEBIAN_PACKAGES=("libgcc-$(gcc -dumpversion | cut -d. -f1)-dev")
  ensure_debian_packages
fi

venv="$STROVIK_ROOT/.venv-asan"
if [[ ! -x "$venv/bin/python" ]]; then
  say "creating .venv-asan with $python"
  "$python" -m venv "$venv"
  "$venv/bin/python" -m pip install -q --upgrade pip </dev/null
fi
is_python312 "$venv/bin/python" || die ".venv-asan does not run CPython 3.12; remove it and run again"

asan_lib="$(gcc -print-file-name=libasan.so)"
ubsan_lib="$(gcc -print-file-name=libubsan.so)"
[[ -f "$asan_lib" && -f "$ubsan_lib" ]] || die "gcc's libasan.so or libubsan.so not found"

logs="$STROVIK_ROOT/build/asan-logs"
mkdir -p "$logs"
rm -f "$logs"/report.*

# install BUILD_DIR [extra -C settings]: builds and installs strovik into .venv-asan. pip rebuilds and
# reinstalls a project given as a local directory on every run, so this always tests the current
# sources; the CMake build in BUILD_DIR is incremental.
install() {
  local build_dir="$1"
  shift
  say "building the sanitizer build of strovik ($build_dir)"
  "$venv/bin/python" -m pip install -q ".[test,server,bench]" \
    -Ccmake.define.STROVIK_SANITIZE=ON -Ccmake.define.STROVIK_ASSERTS=ON -Cbuild-dir="$build_dir" "$@" </dev/null
}

# sanitized COMMAND...: runs COMMAND with the sanitizer runtimes preloaded.
sanitized() {
  env \
    PATH="$venv/bin:$PATH" \
    LD_PRELOAD="$asan_lib $ubsan_lib" \
    PYTHONMALLOC=malloc \
    ASAN_OPTIONS="detect_leaks=0:abort_on_error=1:log_path=$logs/report" \
    UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:log_path=$logs/report" \
    "$@" </dev/null
}

install build/asan
say "pass 1: tests not marked browser, fully instrumented build"
started=$SECONDS
set +e
sanitized "$venv/bin/python" -m pytest -p no:cacheprovider -m "not browser" "$@"
status1=$?
set -e
say "pass 1 took $((SECONDS - started)) s"

status2=5
if ((browser_pass)) && sanitized "$venv/bin/python" -m pytest -p no:cacheprovider -q --collect-only -m browser "$@" >/dev/null 2>&1; then
  install build/asan-nostack -Ccmake.define.CMAKE_CXX_FLAGS=--param=asan-stack=0
  say "pass 2: browser tests, build without stack instrumentation"
  set +e
  sanitized "$venv/bin/python" -m pytest -p no:cacheprovider -m browser "$@"
  status2=$?
  set -e
fi

reports=("$logs"/report.*)
errors=0
if [[ -e "${reports[0]}" ]]; then
  for report in "${reports[@]}"; do
    printf '\n===== %s\n' "$report"
    cat "$report"
    if grep -qE 'ERROR: (Address|UndefinedBehavior)Sanitizer|runtime error:' "$report"; then
      errors=$((errors + 1))
    fi
  done
fi

failed=0
if ((errors > 0)); then
  say "FAILED: $errors sanitizer error report(s) above"
  failed=1
fi
# Status 5 means the pass selected no test: fine for one pass, a failure when both ran nothing.
for status in "$status1" "$status2"; do
  if ((status != 0 && status != 5)); then
    say "FAILED: pytest exited with status $status"
    failed=1
  fi
done
if ((status1 == 5 && status2 == 5)); then
  say "FAILED: pytest collected no tests"
  failed=1
fi
((failed == 0)) || exit 1
say "passed with no sanitizer errors"
