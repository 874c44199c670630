"""``strovik-mcp --workers 1`` against ``--workers 2``, side by side in one run.

Every server is the real ``python -m strovik.mcp`` in fixed-key mode on 127.0.0.1 and a free
port, with ``--metrics-port`` (its request counter tells how many requests the gate judged),
started and stopped here. Rows:

* wrk, pinned to the last CPU with taskset, on an admitted path (``POST /messages/`` with the
  key: the gate admits it, the SDK answers 400 for the missing session id, no state is kept);
  interleaved rounds of 1 and 2 workers, best and median round;
* 16 concurrent MCP SDK clients (two client processes of 8) calling ``whoami`` over streamable
  HTTP for a fixed time: calls per second, the server's CPU per call, and the gate's share of
  the server's CPU (the native gate's own time per request, measured here in-process against
  the bare app, times the requests the gate judged, over the CPU of all server processes);
* SSE: 200 SDK clients connected at once across 2 workers, each calling ``whoami`` 20 times;
  every answer must arrive (lost = calls without their answer);
* forwarded: the cost of a message that reaches the other worker, as the latency of a
  ``whoami`` call over SSE with kept-alive connections (the message then stays on one
  worker for a whole session) against fresh connections (any worker takes it, half are
  passed on).

    python benchmarks/bench_workers.py [-d 5] [--rounds 3] [-o out.json]
"""

from __future__ import annotations

import argparse
import asyncio
import json
import os
import re
import signal
import socket
import statistics
import subprocess
import sys
import tempfile
import time
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from workloads import API_KEY, PATHS  # noqa: E402

SERVING_RE = re.compile(r"serving MCP on http://127\.0\.0\.1:(\d+) ")
ADMITTED_RE = re.compile(r'strovik_mcp_requests_total\{decision="admitted",reason=""\} ([\d.e+]+)')
_CPUS = sorted(os.sched_getaffinity(0))
WRK_CPU = _CPUS[-1]


class Server:
    """One ``strovik-mcp`` with its workers, and the CPU all of its processes have used."""

    def __init__(self, workers: int, directory: str) -> None:
        with socket.socket() as sock:
            sock.bind(("127.0.0.1", 0))
            self.metrics_port = sock.getsockname()[1]
        self.err = open(os.path.join(directory, f"server-{workers}-{time.monotonic_ns()}.err"), "w+")
        self.process = subprocess.Popen(
            [sys.executable, "-m", "strovik.mcp", "--host", "127.0.0.1", "--port", "0", "--api-key", API_KEY,
             "--workers", str(workers), "--metrics-port", str(self.metrics_port), "--log-level", "warning"],
            stdout=subprocess.PIPE, stderr=self.err, text=True,
        )
        assert self.process.stdout is not None
        line = self.process.stdout.readline()
        match = SERVING_RE.search(line)
        if not match:
            raise SystemExit(f"bench_workers: the server did not start: {line}")
        self.port = int(match.group(1))
        self.base = f"http://127.0.0.1:{self.port}"
        deadline = time.monotonic() + 60
        while len(self.pids()) < 1 + (workers if workers > 1 else 0) or not self._answers():
            if time.monotonic() > deadline:
                raise SystemExit("bench_workers: the workers did not start")
            time.sleep(0.2)

    def _answers(self) -> bool:
        import urllib.request

        try:
            with urllib.request.urlopen(self.base + "/healthz", timeout=2) as response:
                return response.status == 200
        except OSError:
            return False

    def pids(self) -> list[int]:
        pids = [self.process.pid]
        try:
            with open(f"/proc/{self.process.pid}/task/{self.process.pid}/children") as f:
                children = [int(pid) for pid in f.read().split()]
        except OSError:
            children = []
        # The supervisor's own helper (multiprocessing's resource tracker) is not a worker.
        return pids + [pid for pid in children if "strovik" not in _cmdline(pid) or "spawn_main" in _cmdline(pid)]

    def cpu(self) -> float:
        total = 0.0
        for pid in self.pids():
            try:
                with open(f"/proc/{pid}/stat") as f:
                    fields = f.read().rsplit(")", 1)[1].split()
            except OSError:
                continue
            total += (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")
        return total

    def admitted(self) -> float:
        import urllib.request

        with urllib.request.urlopen(f"http://127.0.0.1:{self.metrics_port}/metrics", timeout=10) as response:
            match = ADMITTED_RE.search(response.read().decode())
        return float(match.group(1)) if match else 0.0

    def stop(self) -> None:
        self.process.send_signal(signal.SIGTERM)
        try:
            self.process.wait(30)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait(10)
        self.err.close()


def _cmdline(pid: int) -> str:
    try:
        with open(f"/proc/{pid}/cmdline", "rb") as f:
            return f.read().replace(b"\0", b" ").decode()
    except OSError:
        return ""


# ------------------------------------------------------------------ wrk


def wrk(server: Server, duration: int, connections: int, directory: str) -> dict[str, Any]:
    script = os.path.join(directory, "post.lua")
    with open(script, "w") as f:
        f.write('wrk.method = "POST"\nwrk.body = "{}"\nwrk.headers["Content-Type"] = "application/json"\n')
    cpu_before = server.cpu()
    out = subprocess.run(
        ["taskset", "-c", str(WRK_CPU), "wrk", "-t1", f"-c{connections}", f"-d{duration}s", "--timeout", "10s",
         "-s", script, f"{server.base}/messages/?api_key={API_KEY}"],
        capture_output=True, text=True, timeout=duration + 60, check=True,
    ).stdout
    cpu = server.cpu() - cpu_before
    rps = float(re.search(r"Requests/sec:\s+([\d.]+)", out).group(1))  # type: ignore[union-attr]
    total = int(re.search(r"(\d+) requests in", out).group(1))  # type: ignore[union-attr]
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    return {"rps": rps, "cpu_us": 1e6 * cpu / max(total, 1), "socket_errors": sum(map(int, errors.groups())) if errors else 0}


# ------------------------------------------------------------- SDK clients


def _client_main(base: str, transport: str, clients: int, calls: int, seconds: float, fresh: bool) -> None:
    """Child process: ``clients`` SDK sessions at once; prints calls made, calls lost and latencies."""
    import httpx2
    from mcp.client import Client
    from mcp.client.sse import sse_client
    from mcp.client.streamable_http import streamable_http_client

    def http_client(**kwargs: Any) -> httpx2.AsyncClient:
        limits = httpx2.Limits(max_keepalive_connections=0) if fresh else httpx2.Limits(max_connections=4)
        return httpx2.AsyncClient(limits=limits, **kwargs)

    done = lost = ready = 0
    latencies: list[float] = []

    async def one(start: asyncio.Event) -> None:
        nonlocal done, lost, ready
        url = f"{base}/{'sse' if transport == 'sse' else 'mcp'}?api_key={API_KEY}"
        if transport == "sse":
            connect = sse_client(url, timeout=60, httpx_client_factory=lambda **kw: http_client(**kw))
        else:
            connect = streamable_http_client(url, http_client=http_client(timeout=httpx2.Timeout(60.0)))
        async with Client(connect) as client:
            ready += 1
            await start.wait()
            deadline = time.monotonic() + seconds
            made = 0
            while (calls and made < calls) or (not calls and time.monotonic() < deadline):
                made += 1
                began = time.perf_counter()
                try:
                    result = await asyncio.wait_for(client.call_tool("whoami", {}), 60)
                except Exception:
                    lost += 1
                    continue
                latencies.append(time.perf_counter() - began)
                if result.is_error:
                    lost += 1
                else:
                    done += 1

    async def all_of_them() -> None:
        start = asyncio.Event()
        tasks = [asyncio.ensure_future(one(start)) for _ in range(clients)]
        # Everyone connects first (at most 60 s); the timed part starts together.
        deadline = time.monotonic() + 60
        while ready + sum(t.done() for t in tasks) < clients and time.monotonic() < deadline:
            await asyncio.sleep(0.05)
        start.set()
        began = time.perf_counter()
        results = await asyncio.gather(*tasks, return_exceptions=True)
        failed = sum(1 for r in results if isinstance(r, BaseException))
        print(json.dumps({"done": done, "lost": lost + failed * calls, "failed_sessions": failed,
                          "seconds": time.perf_counter() - began, "latencies": latencies}))

    asyncio.run(all_of_them())


def clients(base: str, transport: str, processes: int, per_process: int, calls: int = 0, seconds: float = 0.0,
            fresh: bool = False) -> dict[str, Any]:
    command = [sys.executable, os.path.abspath(__file__), "--client", base, transport, str(per_process), str(calls),
               str(seconds), "fresh" if fresh else "kept"]
    running = [subprocess.Popen(command, stdout=subprocess.PIPE, text=True) for _ in range(processes)]
    parts = [json.loads(p.communicate(timeout=600)[0].strip().splitlines()[-1]) for p in running]
    latencies = sorted(x for part in parts for x in part["latencies"])
    return {
        "calls": sum(p["done"] for p in parts),
        "lost": sum(p["lost"] for p in parts),
        "failed_sessions": sum(p["failed_sessions"] for p in parts),
        "seconds": max(p["seconds"] for p in parts),
        "median_ms": 1e3 * statistics.median(latencies) if latencies else None,
    }


def gate_seconds_per_request(loops: int = 200_000) -> float:
    """The native gate's own time per admitted request: gated minus bare, in-process."""
    import bench_gate

    found = bench_gate.variants()
    best = {}
    for name in ("native", "bare"):
        best[name] = min(bench_gate.time_requests(loops, found[name], PATHS["query"]) for _ in range(5)) / loops
    return best["native"] - best["bare"]


# ------------------------------------------------------------------- main


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-d", "--duration", type=int, default=5)
    parser.add_argument("-c", "--connections", type=int, default=64)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("-o", "--output")
    args = parser.parse_args()
    with open("/proc/loadavg") as f:
        load = f.read().split()[0]
    out: dict[str, Any] = {"load_before": float(load), "cpus": len(_CPUS), "wrk_cpu": WRK_CPU}
    directory = tempfile.mkdtemp(prefix="strovik-bench-workers-")

    rounds: dict[int, list[dict[str, Any]]] = {1: [], 2: []}
    servers = {n: Server(n, directory) for n in (1, 2)}
    try:
        for _ in range(args.rounds):
            for n in (1, 2):
                rounds[n].append(wrk(servers[n], args.duration, args.connections, directory))
        out["wrk"] = {
            f"workers {n}": {
                "best_rps": max(r["rps"] for r in rows), "median_rps": statistics.median(r["rps"] for r in rows),
                "cpu_us_per_request": statistics.median(r["cpu_us"] for r in rows),
                "socket_errors": sum(r["socket_errors"] for r in rows),
            }
            for n, rows in rounds.items()
        }
        gate = gate_seconds_per_request()
        out["gate_us_per_request"] = 1e6 * gate
        sdk: dict[str, Any] = {}
        for n in (1, 2):
            server = servers[n]
            cpu, admitted = server.cpu(), server.admitted()
            row = clients(server.base, "http", 2, 8, seconds=float(args.duration * 2))
            cpu, admitted = server.cpu() - cpu, server.admitted() - admitted
            row["calls_per_s"] = row["calls"] / row["seconds"]
            row["server_cpu_ms_per_call"] = 1e3 * cpu / max(row["calls"], 1)
            row["gate_share_of_server_cpu"] = gate * admitted / cpu if cpu else None
            sdk[f"workers {n}"] = row
        out["sdk_streamable_16_clients"] = sdk
        out["sse_200_clients_2_workers"] = clients(servers[2].base, "sse", 4, 50, calls=20)
        out["forwarded_sse_2_workers"] = {
            "kept-alive (no message passed on)": clients(servers[2].base, "sse", 1, 1, calls=300),
            "fresh connections (about half passed on)": clients(servers[2].base, "sse", 1, 1, calls=300, fresh=True),
        }
    finally:
        for server in servers.values():
            server.stop()
    with open("/proc/loadavg") as f:
        out["load_after"] = float(f.read().split()[0])
    w1, w2 = out["wrk"]["workers 1"], out["wrk"]["workers 2"]
    s1, s2 = out["sdk_streamable_16_clients"]["workers 1"], out["sdk_streamable_16_clients"]["workers 2"]
    out["ratios"] = {
        "wrk best rps, 2 workers / 1": w2["best_rps"] / w1["best_rps"],
        "wrk median rps, 2 workers / 1": w2["median_rps"] / w1["median_rps"],
        "SDK calls/s, 2 workers / 1": s2["calls_per_s"] / s1["calls_per_s"],
    }
    text = json.dumps(out, indent=2)
    print(text)
    if args.output:
        with open(args.output, "w") as f:
            f.write(text + "\n")


if __name__ == "__main__":
    if len(sys.argv) > 1 and sys.argv[1] == "--client":
        base, transport, count, calls, seconds, how = sys.argv[2:8]
        _client_main(base, transport, int(count), int(calls), float(seconds), how == "fresh")
    else:
        main()
