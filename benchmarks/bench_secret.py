"""Does the gate's key comparison take the same time wherever the first differing character is?

A statistical check, not a test: with a long fixed key (so that the comparison dominates a request),
refused requests whose Bearer token differs from the key in its first character and in its last
one are timed in alternating batches, and the medians of the two are compared. A comparison that
stops at the first difference makes the "first" requests far cheaper than the "last" ones; a
constant-time one keeps the ratio of the medians near 1.

Usage: python benchmarks/bench_secret.py [--length 65536] [--rounds 41] [--batch 20]
Exits with status 1 when the ratio leaves the tolerance (default 0.9 to 1.1).
"""

from __future__ import annotations

import argparse
import os
import statistics
import sys
from time import perf_counter_ns

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from workloads import http_scope, trivial_app  # noqa: E402

from strovik.mcp.guardlet import ApiKeyGuardlet  # noqa: E402


async def _receive() -> dict:
    return {"type": "http.request", "body": b"", "more_body": False}


async def _send(message: dict) -> None:
    pass


def refused_request_ns(gate: ApiKeyGuardlet, scope: dict, batch: int) -> float:
    """Mean time of one refused request over a batch, in ns."""
    start = perf_counter_ns()
    for _ in range(batch):
        coro = gate(scope, _receive, _send)
        try:
            coro.send(None)
        except StopIteration:
            pass
    return (perf_counter_ns() - start) / batch


def main() -> int:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--length", type=int, default=65536, help="key length in characters")
    parser.add_argument("--rounds", type=int, default=41, help="alternating batches per position")
    parser.add_argument("--batch", type=int, default=20, help="requests per batch")
    parser.add_argument("--tolerance", type=float, default=0.10, help="allowed distance of the ratio from 1")
    args = parser.parse_args()

    key = "k" * args.length
    gate = ApiKeyGuardlet(trivial_app, api_key=key)
    scopes = {
        "first": http_scope(extra_headers=[(b"authorization", b"Bearer " + ("x" + key[1:]).encode())]),
        "last": http_scope(extra_headers=[(b"authorization", b"Bearer " + (key[:-1] + "x").encode())]),
    }
    samples: dict[str, list[float]] = {name: [] for name in scopes}
    for name, scope in scopes.items():  # warm-up
        refused_request_ns(gate, scope, args.batch)
    for _ in range(args.rounds):
        for name, scope in scopes.items():
            samples[name].append(refused_request_ns(gate, scope, args.batch))

    medians = {name: statistics.median(values) for name, values in samples.items()}
    ratio = medians["first"] / medians["last"]
    print(f"key of {args.length} characters, {args.rounds} batches of {args.batch} refused requests per position")
    for name, value in medians.items():
        print(f"  first difference at the {name:5} character: median {value / 1000:8.1f} us per request")
    verdict = abs(ratio - 1) <= args.tolerance
    print(f"  ratio first/last: {ratio:.3f} ({'constant time' if verdict else 'TIME DEPENDS ON THE POSITION'})")
    return 0 if verdict else 1


if __name__ == "__main__":
    sys.exit(main())
