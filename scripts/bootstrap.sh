#!/usr/bin/env bash
# Sets up everything the project needs on this machine, and does nothing that is already done:
#   1. finds CPython 3.12 (a working python3.12 on PATH, else through pyenv);
#   2. installs the Debian packages the tests and benchmarks use (chromium, wrk) when missing;
#   3. creates .venv with that Python and installs the project editable with all extras,
#      which compiles the native modules. The install is skipped when nothing it depends on
#      changed since the last successful one.
#
# Other scripts source this file for its functions (find_python312, ensure_debian_packages);
# the steps only run when it is executed directly.
set -euo pipefail

STROVIK_ROOT="$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)"
STROVIK_DEBIAN_PACKAGES=(chromium wrk)

say() { printf 'bootstrap: %s\n' "$*"; }
die() { printf 'bootstrap: error: %s\n' "$*" >&2; exit 1; }

# True when $1 is an interpreter that starts and is CPython 3.12.x.
is_python312() {
  [[ -n "$1" && -x "$1" ]] || return 1
  "$1" -c 'import sys; sys.exit(0 if sys.version_info[:2] == (3, 12) and sys.implementation.name == "cpython" else 1)' \
    >/dev/null 2>&1
}

# Prints the path of a CPython 3.12 interpreter, or fails with one line on stderr.
# A pyenv shim for python3.12 exists even when 3.12 is not the selected version; it then prints an
# error and exits non-zero, so every candidate is run before it is trusted.
find_python312() {
  local candidate root version prefix
  candidate="$(command -v python3.12 || true)"
  if is_python312 "$candidate"; then
    printf '%s\n' "$candidate"
    return 0
  fi
  if command -v pyenv >/dev/null 2>&1; then
    root="$(pyenv root 2>/dev/null || true)"
    version="$(pyenv latest 3.12 2>/dev/null || true)"
    if [[ -n "$root" && -n "$version" ]]; then
      candidate="$root/versions/$version/bin/python3.12"
      if is_python312 "$candidate"; then
        printf '%s\n' "$candidate"
        return 0
      fi
    fi
    prefix="$(pyenv prefix 3.12 2>/dev/null || true)"
    candidate="${prefix:+$prefix/bin/python3.12}"
    if is_python312 "$candidate"; then
      printf '%s\n' "$candidate"
      return 0
    fi
  fi
  printf 'bootstrap: error: CPython 3.12 not found (no working python3.12 on PATH, and pyenv has no 3.12; install one, e.g. "pyenv install 3.12")\n' >&2
  return 1
}

# Installs the missing Debian packages of STROVIK_DEBIAN_PACKAGES. Without apt, or without root and
# passwordless sudo, it says what is missing and goes on: the server itself needs none of them.
ensure_debian_packages() {
  local missing=() pkg sudo=()
  for pkg in "${STROVIK_DEBIAN_PACKAGES[@]}"; do
    if ! dpkg-query -W -f='${Status}' "$pkg" 2>/dev/null | grep -q 'install ok installed'; then
      missing+=("$pkg")
    fi
  done
  ((${#missing[@]} == 0)) && return 0
  if ! command -v apt-get >/dev/null 2>&1; then
    say "warning: no apt-get here; install ${missing[*]} yourself (the browser tests and benchmarks need them)"
    return 0
  fi
  if ((EUID != 0)); then
    if command -v sudo >/dev/null 2>&1 && sudo -n true 2>/dev/null; then
      sudo=(sudo -n)
    else
      say "warning: not root; install ${missing[*]} yourself (the browser tests and benchmarks need them)"
      return 0
    fi
  fi
  say "installing Debian packages: ${missing[*]}"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get update -qq </dev/null >/dev/null ||
    die "apt-get update failed"
  "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get install -y -qq --no-install-recommends "${missing[@]}" \
    </dev/null >/dev/null || die "apt-get install ${missing[*]} failed"
}

# A fingerprint of everything the editable install depends on: the interpreter, the packaging
# metadata and the native sources. When it is unchanged and the modules import, the install is done.
install_fingerprint() {
  local venv_python="$1"
  {
    "$venv_python" -c 'import sys; print(sys.version)'
    cd "$STROVIK_ROOT"
    sha256sum pyproject.toml CMakeLists.txt
    if [[ -d native ]]; then
      find native -type f -print0 | LC_ALL=C sort -z | xargs -0 -r sha256sum
    fi
  } | sha256sum | cut -d' ' -f1
}

bootstrap_main() {
  local python venv="$STROVIK_ROOT/.venv" stamp fingerprint
  python="$(find_python312)" || exit 1
  say "Python 3.12: $python"

  ensure_debian_packages

  if [[ ! -x "$venv/bin/python" ]]; then
    say "creating .venv"
    "$python" -m venv "$venv"
  fi
  is_python312 "$venv/bin/python" ||
    die ".venv does not run CPython 3.12; remove it and run this script again"

  stamp="$venv/.strovik-install"
  fingerprint="$(install_fingerprint "$venv/bin/python")"
  if [[ -f "$stamp" && "$(cat "$stamp")" == "$fingerprint" ]] &&
    "$venv/bin/python" -c 'import strovik.mcp.guardlet' >/dev/null 2>&1; then
    say "project already installed and up to date"
    return 0
  fi

  say "upgrading pip"
  "$venv/bin/python" -m pip install -q --upgrade pip </dev/null
  say "installing strovik (editable, with extras test, server, bench; compiles the native modules)"
  rm -f "$stamp"
  # The same lock as scripts/dev-build.sh, so two builds never share the build directory at once.
  (
    cd "$STROVIK_ROOT"
    if command -v flock >/dev/null 2>&1; then
      flock /tmp/strovik-dev-build.lock "$venv/bin/python" -m pip install -q -e ".[test,server,bench]" </dev/null
    else
      "$venv/bin/python" -m pip install -q -e ".[test,server,bench]" </dev/null
    fi
  )
  printf '%s\n' "$fingerprint" >"$stamp"
  say "done"
}

if [[ "${BASH_SOURCE[0]}" == "$0" ]]; then
  bootstrap_main "$@"
fi
