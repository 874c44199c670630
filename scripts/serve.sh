#!/usr/bin/env bash
# Sets the project up (scripts/bootstrap.sh) and runs the gated MCP server; arguments go to
# strovik-mcp (try --help). Bootstrap's progress goes to stderr so that stdout is the server's own.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/bootstrap.sh >&2
exec .venv/bin/strovik-mcp "$@"
