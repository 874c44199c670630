#!/usr/bin/env bash
# Rebuilds the native modules into the project's .venv as an editable install.
# Serialised with a lock so that several shells can ask for a build at once.
set -euo pipefail
cd "$(dirname "$0")/.."
# The build runs without isolation, in .venv itself: it needs the build backend there.
if ! .venv/bin/python -c 'import scikit_build_core' >/dev/null 2>&1; then
  .venv/bin/python -m pip install -q "scikit-build-core>=0.10" </dev/null
fi
exec flock /tmp/strovik-dev-build.lock \
  .venv/bin/pip install --no-build-isolation --no-deps -q -e . "$@"
