"""``python -m strovik.mcp``: the same as the ``strovik-mcp`` command."""

import sys

from strovik.mcp.server import main

sys.exit(main())
