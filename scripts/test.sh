#!/usr/bin/env bash
# Sets the project up (scripts/bootstrap.sh) and runs the test suite; arguments go to pytest.
# Exits with pytest's status. A run that collects no test (pytest's status 5) fails as well:
# a suite that silently shrinks to nothing must never look green.
set -uo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh || exit 1
.venv/bin/python -m pytest "$@"
status=$?
if ((status == 5)); then
  echo "test.sh: error: pytest collected no tests" >&2
fi
exit "$status"
