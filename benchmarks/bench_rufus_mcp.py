"""The Rufus tools of strovik-mcp, end to end: MCP SDK clients over streamable HTTP against
a real server process, Debian's Chromium and the project's stand-in Rufus endpoint on
127.0.0.1 (each answer after 300 ms).

1. Slots: 8 clients at once, each asking 5 questions in one thread (rufus_ask, each call
   continuing the thread of the one before), with --rufus-browsers 1 and 4; wall time of
   the 40 questions once the browsers are up.
2. The MCP path against the command line: one client asking 20 questions in one thread
   through a server whose pool has not started a browser yet (the first call starts it),
   against `strovik-rufus replay` of the same 20 questions (process, browser and all).
3. Memory: the server process's RSS over 500 tool calls with 4 browsers (4 clients at
   once), sampled every 48 calls.

Usage: python benchmarks/bench_rufus_mcp.py [-o results.json] [--calls 500]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import psutil  # type: ignore[import-untyped]  # noqa: E402

from tests.amazon_rufus.helpers import serve_standin  # noqa: E402
from tests.mcp.server_harness import ServerProcess, mcp_client  # noqa: E402

ANSWER_DELAY = 0.3
KEY = "bench-key-0123456789"


def write_seed(base_url: str, path: Path) -> None:
    seed = {
        "request_url": f"{base_url}/rufus/cl/streaming",
        "request_headers": {"Content-Type": "application/json"},
        "request_body": json.dumps({"queryContext": {"query": "seed"}, "historyThreadContext": {}}),
        "page_url": f"{base_url}/dp/B0BENCH001",
        "asin": "B0BENCH001",
    }
    path.write_text(json.dumps(seed), "utf-8")


async def ask_in_thread(base_url: str, questions: list[str]) -> None:
    async with mcp_client(base_url, KEY, "http", "bearer") as client:
        thread = None
        for question in questions:
            arguments: dict[str, Any] = {"question": question}
            if thread:
                arguments["thread_id"] = thread
            result = await client.call_tool("rufus_ask", arguments)
            if result.is_error:
                raise RuntimeError(f"rufus_ask failed: {result.content[0].text}")  # type: ignore[union-attr]
            thread = result.structured_content["thread_id"]  # type: ignore[index]


async def clients(base_url: str, count: int, questions: int) -> float:
    started = time.perf_counter()
    await asyncio.gather(*(ask_in_thread(base_url, [f"q{c}-{i}" for i in range(questions)]) for c in range(count)))
    return time.perf_counter() - started


def server(workdir: Path, seed: Path, browsers: int) -> ServerProcess:
    return ServerProcess(
        workdir, "--api-key", KEY, "--rufus-seed", str(seed), "--rufus-browsers", str(browsers), "--log-level", "warning"
    ).start()


def slots(workdir: Path, seed: Path) -> dict[str, float]:
    walls = {}
    for browsers in (1, 4):
        process = server(workdir / f"slots-{browsers}", seed, browsers)
        try:
            asyncio.run(clients(process.base_url, browsers, 1))  # every browser up
            walls[browsers] = asyncio.run(clients(process.base_url, 8, 5))
        finally:
            process.stop()
        print(f"  --rufus-browsers {browsers}: 8 clients x 5 questions in {walls[browsers]:.2f} s", flush=True)
    return {"wall_1": walls[1], "wall_4": walls[4], "speedup": walls[1] / walls[4]}


def against_replay(workdir: Path, seed: Path) -> dict[str, float]:
    questions = [f"question {i}" for i in range(20)]
    process = server(workdir / "path", seed, 1)
    try:
        mcp_wall = asyncio.run(clients_one(process.base_url, questions))
    finally:
        process.stop()
    command = [sys.executable, "-m", "strovik.amazon_rufus.cli", "replay", "--seed", str(seed)]
    for question in questions:
        command += ["-q", question]
    started = time.perf_counter()
    subprocess.run(command, check=True, stdout=subprocess.DEVNULL, stdin=subprocess.DEVNULL)
    replay_wall = time.perf_counter() - started
    print(f"  20 questions: MCP {mcp_wall:.2f} s, strovik-rufus replay {replay_wall:.2f} s", flush=True)
    return {"mcp": mcp_wall, "replay": replay_wall, "ratio": mcp_wall / replay_wall}


async def clients_one(base_url: str, questions: list[str]) -> float:
    started = time.perf_counter()
    await ask_in_thread(base_url, questions)
    return time.perf_counter() - started


def memory(workdir: Path, seed: Path, calls: int) -> dict[str, Any]:
    process = server(workdir / "memory", seed, 4)
    assert process.proc is not None
    watched = psutil.Process(process.proc.pid)
    samples = []
    try:
        # Rounds of 4 clients x 12 calls; the first round is the warm-up.
        for _round in range(-(-calls // 48)):
            asyncio.run(clients(process.base_url, 4, 12))
            samples.append(watched.memory_info().rss / 2**20)
    finally:
        process.stop()
    growth = samples[-1] - samples[0]
    print(f"  RSS every 48 calls (MiB): {' '.join(f'{s:.0f}' for s in samples)}; after warm-up {growth:+.1f}", flush=True)
    return {"rss_mib": samples, "growth_after_warmup_mib": growth}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("-o", "--output")
    parser.add_argument("--calls", type=int, default=500)
    args = parser.parse_args()
    results: dict[str, Any] = {}
    with serve_standin() as stand_in, tempfile.TemporaryDirectory() as tmp:
        stand_in.delay = ANSWER_DELAY
        workdir = Path(tmp)
        seed = workdir / "seed.json"
        write_seed(stand_in.base_url, seed)
        print("== slots: 8 clients x 5 questions, 1 against 4 browsers", flush=True)
        results["slots"] = slots(workdir, seed)
        print("== one client, one browser, 20 questions: MCP against strovik-rufus replay", flush=True)
        results["path"] = against_replay(workdir, seed)
        print(f"== memory: {args.calls} calls, 4 browsers", flush=True)
        results["memory"] = memory(workdir, seed, args.calls)
    print(json.dumps(results, indent=2))
    if args.output:
        Path(args.output).write_text(json.dumps(results, indent=2), "utf-8")


if __name__ == "__main__":
    main()
