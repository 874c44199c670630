"""One gate variant's request loop, for counting instructions per request under callgrind.

    PYTHONHASHSEED=0 valgrind --tool=callgrind .venv/bin/python benchmarks/count_gate.py native query 10000

Builds the variants of ``bench_gate.py`` (the floor gates once ``bench_gate.py`` has built them), runs
its ``time_requests`` loop 100 times to warm up, then N times. Instructions per request are (total at N
minus total at N = 0) / N.
"""

from __future__ import annotations

import os
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import bench_gate  # noqa: E402
from workloads import PATHS  # noqa: E402


def main() -> None:
    if len(sys.argv) != 4:
        raise SystemExit(
            "usage: count_gate.py <native|pure|starlette|floor|floor-class|bare> <query|bearer|rejected> <N>"
        )
    variant, path, loops = sys.argv[1], sys.argv[2], int(sys.argv[3])
    asgi = bench_gate.variants()[variant]
    bench_gate.time_requests(100, asgi, PATHS[path])
    bench_gate.time_requests(loops, asgi, PATHS[path])


if __name__ == "__main__":
    main()
