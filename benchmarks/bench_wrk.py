"""End-to-end requests per second with wrk against uvicorn, with and without the gate.

Every server is a uvicorn process on 127.0.0.1 and a free port (benchmarks/bench_servers.py),
started here and stopped here. The fixed-key rows (bare and native, on asyncio + h11 and on
uvloop + httptools) are measured in interleaved rounds so that drift of the machine hits them
alike; the best and the median round are reported. The other rows run once. On two or more
CPUs the servers are pinned to one CPU and wrk (and the verification backend) to another.

The remote rows run as strovik-mcp does by default (uvloop + httptools) and rotate their
requests over 64 distinct keys (a wrk Lua script), so that neither coalescing nor a cache
can stand in for the check of each request; the pooled default and the per-request client
are interleaved rounds too, the cached pool runs once.

    python benchmarks/bench_wrk.py [-d 4] [-c 32] [-t 1] [--rounds 5] [-o out.json]
"""

from __future__ import annotations

import argparse
import json
import os
import platform
import re
import shutil
import statistics
import subprocess
import sys
import tempfile
import time
import urllib.error
import urllib.request
from dataclasses import dataclass, field
from typing import Any

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

from bench_servers import REMOTE_KEYS, VERIFY_PATH  # noqa: E402
from workloads import API_KEY  # noqa: E402

FAST = "uvloop+httptools"
# row -> (server mode, uvicorn parts, how the key travels, rounds: "interleaved" or "once").
# "keys64" sends the key by query, rotating over REMOTE_KEYS.
ROWS: dict[str, tuple[str, str, str, str]] = {
    "bare": ("bare", "plain", "query", "interleaved"),
    "native query": ("native", "plain", "query", "interleaved"),
    "native bearer": ("native", "plain", "bearer", "interleaved"),
    f"bare {FAST}": ("bare", "fast", "query", "interleaved"),
    f"native query {FAST}": ("native", "fast", "query", "interleaved"),
    "pure query": ("pure", "plain", "query", "once"),
    "starlette query": ("starlette", "plain", "query", "once"),
    "remote per-request client": ("remote", "fast", "keys64", "interleaved"),
    "remote pooled (default)": ("remote-pool-nocache", "fast", "keys64", "interleaved"),
    "remote pooled, cache 30 s": ("remote-pool", "fast", "keys64", "once"),
}
REMOTE_MODES = {"remote", "remote-pool", "remote-pool-nocache"}
GATE_TARGET = 0.97


@dataclass
class Server:
    mode: str
    process: subprocess.Popen[str]
    port: int

    def stop(self) -> None:
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=10)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=10)


@dataclass
class Row:
    mode: str
    transport: str
    rps: list[float] = field(default_factory=list)
    cpu_us: list[float] = field(default_factory=list)
    non_2xx: int = 0
    socket_errors: int = 0


# With two or more CPUs the servers run on the first and wrk (and the verification
# backend) on the second, so that the two sides do not take turns on one CPU.
_CPUS = sorted(os.sched_getaffinity(0)) if hasattr(os, "sched_getaffinity") else []
SERVER_CPU = _CPUS[0] if len(_CPUS) >= 2 else None
CLIENT_CPU = _CPUS[1] if len(_CPUS) >= 2 else None


def _pinned(cpu: int | None) -> Any:
    if cpu is None:
        return None
    return lambda: os.sched_setaffinity(0, {cpu})


def start(mode: str, verify_url: str | None = None, timeout: float = 20.0, parts: str = "plain") -> Server:
    cmd = [sys.executable, os.path.join(HERE, "bench_servers.py"), mode, "--parts", parts]
    if verify_url:
        cmd += ["--verify-url", verify_url]
    cpu = CLIENT_CPU if mode == "backend" else SERVER_CPU
    process = subprocess.Popen(cmd, stdout=subprocess.PIPE, text=True, preexec_fn=_pinned(cpu))
    assert process.stdout is not None
    line = process.stdout.readline().strip()
    if not line.isdigit():
        process.kill()
        raise SystemExit(f"bench_wrk: server {mode} did not start")
    server = Server(mode, process, int(line))
    probe = f"http://127.0.0.1:{server.port}/"
    if mode == "backend":
        probe = f"http://127.0.0.1:{server.port}{VERIFY_PATH}?api_key={API_KEY}"
    else:
        probe += f"?api_key={API_KEY}"
    deadline = time.monotonic() + timeout
    while True:
        try:
            with urllib.request.urlopen(probe, timeout=2) as response:
                if response.status == 200:
                    return server
        except (urllib.error.URLError, ConnectionError, TimeoutError):
            pass
        if time.monotonic() > deadline or process.poll() is not None:
            server.stop()
            raise SystemExit(f"bench_wrk: server {mode} not answering on port {server.port}")
        time.sleep(0.1)


def cpu_seconds(pid: int) -> float:
    """User plus system CPU time the process has used so far."""
    with open(f"/proc/{pid}/stat") as f:
        fields = f.read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def rotating_keys_script(directory: str) -> str:
    """A wrk Lua script whose requests take the keys of REMOTE_KEYS in turn (per wrk thread)."""
    path = os.path.join(directory, "keys64.lua")
    keys = ", ".join(f'"{key}"' for key in REMOTE_KEYS)
    with open(path, "w") as f:
        f.write(
            f"local keys = {{{keys}}}\n"
            "local n = 0\n"
            "request = function()\n"
            "  n = n % #keys + 1\n"
            '  return wrk.format("GET", "/sse?api_key=" .. keys[n])\n'
            "end\n"
        )
    return path


SCRIPT_DIR = tempfile.mkdtemp(prefix="strovik-wrk-")


def run_wrk(port: int, transport: str, duration: int, connections: int, threads: int,
            pid: int | None = None) -> dict[str, Any]:
    url = f"http://127.0.0.1:{port}/sse"
    cmd = ["wrk", f"-t{threads}", f"-c{connections}", f"-d{duration}s", "--timeout", "10s"]
    if transport == "bearer":
        cmd += ["-H", f"Authorization: Bearer {API_KEY}"]
    elif transport == "keys64":
        cmd += ["-s", rotating_keys_script(SCRIPT_DIR)]
    else:
        url += f"?api_key={API_KEY}"
    cpu_before = cpu_seconds(pid) if pid else 0.0
    out = subprocess.run(
        [*cmd, url], capture_output=True, text=True, timeout=duration + 60, check=True, preexec_fn=_pinned(CLIENT_CPU)
    ).stdout
    cpu_used = cpu_seconds(pid) - cpu_before if pid else 0.0
    rps = re.search(r"Requests/sec:\s+([\d.]+)", out)
    total = re.search(r"(\d+) requests in", out)
    if rps is None or total is None:
        raise SystemExit(f"bench_wrk: cannot read wrk output:\n{out}")
    non_2xx = re.search(r"Non-2xx or 3xx responses:\s+(\d+)", out)
    errors = re.search(r"Socket errors: connect (\d+), read (\d+), write (\d+), timeout (\d+)", out)
    return {
        "rps": float(rps.group(1)),
        # CPU the server spent per request: unlike req/s, hardly moved by other load on the machine.
        "cpu_us": 1e6 * cpu_used / max(int(total.group(1)), 1),
        "non_2xx": int(non_2xx.group(1)) if non_2xx else 0,
        "socket_errors": sum(map(int, errors.groups())) if errors else 0,
    }


def machine() -> dict[str, Any]:
    cpu = "unknown"
    try:
        with open("/proc/cpuinfo") as f:
            for line in f:
                if line.startswith("model name"):
                    cpu = line.split(":", 1)[1].strip()
                    break
    except OSError:
        pass
    return {"nproc": os.cpu_count(), "cpu": cpu, "python": platform.python_version(), "wrk": shutil.which("wrk")}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("-d", "--duration", type=int, default=4, help="seconds per wrk run (default 4)")
    parser.add_argument("-c", "--connections", type=int, default=32)
    parser.add_argument("-t", "--threads", type=int, default=1)
    parser.add_argument("--rounds", type=int, default=5, help="rounds of the interleaved rows (default 5)")
    parser.add_argument("--warmup", type=int, default=1, help="seconds of wrk before measuring a server")
    parser.add_argument("--only", nargs="*", choices=list(ROWS), help="measure only these rows")
    parser.add_argument("-o", "--output", help="write the results as JSON here")
    args = parser.parse_args()
    if shutil.which("wrk") is None:
        raise SystemExit("bench_wrk: wrk not found (Debian package 'wrk')")

    rows = {name: ROWS[name] for name in (args.only or ROWS)}
    servers: dict[str, Server] = {}
    results = {name: Row(mode, transport) for name, (mode, _, transport, _) in rows.items()}
    try:
        instances = sorted({(mode, parts) for mode, parts, _, _ in rows.values()})
        verify_url = None
        if {mode for mode, _ in instances} & REMOTE_MODES:
            servers["backend"] = start("backend")
            verify_url = f"http://127.0.0.1:{servers['backend'].port}{VERIFY_PATH}"
        for mode, parts in instances:
            server = servers[f"{mode}/{parts}"] = start(mode, verify_url, parts=parts)
            if args.warmup > 0:
                transport = "keys64" if mode in REMOTE_MODES else "query"
                run_wrk(server.port, transport, args.warmup, args.connections, args.threads)

        def measure(name: str) -> None:
            mode, parts, transport, _ = rows[name]
            server = servers[f"{mode}/{parts}"]
            got = run_wrk(server.port, transport, args.duration, args.connections, args.threads, server.process.pid)
            row = results[name]
            row.rps.append(got["rps"])
            row.cpu_us.append(got["cpu_us"])
            row.non_2xx += got["non_2xx"]
            row.socket_errors += got["socket_errors"]
            print(f"  {name:<22} {got['rps']:>10.1f} req/s {got['cpu_us']:>8.1f} us CPU/request",
                  file=sys.stderr, flush=True)

        interleaved = [name for name, (_, _, _, how) in rows.items() if how == "interleaved"]
        for round_no in range(args.rounds):
            print(f"round {round_no + 1}/{args.rounds}", file=sys.stderr, flush=True)
            # Rotate the order so no row always runs first after a pause.
            shift = round_no % max(len(interleaved), 1)
            for name in interleaved[shift:] + interleaved[:shift]:
                measure(name)
        for name, (_, _, _, how) in rows.items():
            if how == "once":
                measure(name)
    finally:
        for server in servers.values():
            server.stop()

    report: dict[str, Any] = {
        "machine": machine(),
        "wrk": {"duration": args.duration, "connections": args.connections, "threads": args.threads,
                "rounds": args.rounds, "server_cpu": SERVER_CPU, "client_cpu": CLIENT_CPU},
        "rows": {},
    }
    for name, row in results.items():
        report["rows"][name] = {
            "mode": row.mode,
            "parts": rows[name][1],
            "transport": row.transport,
            "rps": row.rps,
            "median": statistics.median(row.rps),
            # Other load on the machine only ever lowers a round, so the best round is the
            # closest to the undisturbed figure.
            "best": max(row.rps),
            "cpu_us": row.cpu_us,
            "cpu_us_median": statistics.median(row.cpu_us),
            "non_2xx": row.non_2xx,
            "socket_errors": row.socket_errors,
        }
    report["derived"] = derived(report["rows"])
    if args.output:
        with open(args.output, "w") as f:
            json.dump(report, f, indent=2)
    bare = report["rows"].get("bare", {}).get("best")
    for name, row in report["rows"].items():
        ratio = f"{row['best'] / bare:6.1%}" if bare else "   n/a"
        print(f"{name:<34} best {row['best']:>8.1f} req/s  {ratio} of bare  median {row['median']:>8.1f} req/s"
              f"  {row['cpu_us_median']:>6.1f} us CPU/req  non-2xx {row['non_2xx']}")
    for name, value in report["derived"].items():
        print(f"{name}: {value}")


def derived(rows: dict[str, Any]) -> dict[str, str]:
    """The figures the rows are run for: pooled against per-request checks, fast serving parts,
    and the gate's share of the server's CPU per request (gated minus ungated, over gated)."""
    out: dict[str, str] = {}

    def ratio(a: str, b: str, what: str) -> None:
        if a in rows and b in rows and rows[b]["best"]:
            out[what] = f"{rows[a]['best'] / rows[b]['best']:.1f}x ({rows[a]['best']:.0f} / {rows[b]['best']:.0f} req/s)"

    ratio("remote pooled (default)", "remote per-request client", "remote, pooled default over per-request client")
    ratio("remote pooled, cache 30 s", "remote per-request client", "remote, pooled with cache over per-request client")
    ratio(f"bare {FAST}", "bare", f"bare app, {FAST} over asyncio+h11")
    ratio(f"native query {FAST}", "native query", f"native query, {FAST} over asyncio+h11")
    for gated, bare, parts in (("native query", "bare", "asyncio+h11"), (f"native query {FAST}", f"bare {FAST}", FAST)):
        if gated in rows and bare in rows:
            g, b = rows[gated]["cpu_us_median"], rows[bare]["cpu_us_median"]
            out[f"gate's share of server CPU per request, {parts}"] = f"{(g - b) / g:.1%} ({g - b:.1f} of {g:.1f} us)"
    return out


if __name__ == "__main__":
    main()
