#!/usr/bin/env bash
# Rebuilds the native modules into the project's .venv as an editable install.
# Serialised with a lock so that several shells can ask for a build at once.
set -euo pipefail
cd "$(dirname "$0")/.."
exec flock /tmp/strovik-dev-build.lock \
  .venv/bin/pip install --no-build-isolation --no-deps -q -e . "$@"
