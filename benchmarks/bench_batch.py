"""Batch replay: throughput by concurrency, what each job costs the browser, and the
runner's memory over many jobs. Self-contained: it starts the project's stand-in Rufus
endpoint on 127.0.0.1 (each answer after 300 ms) and Debian's Chromium.

1. Throughput: 20 conversations x 5 questions at concurrency 1, 4 and 8, with the batch's
   Chromium arguments and with Playwright's defaults alone, timed from the first
   question reaching the stand-in to the last answer; browser start-up (run start to
   first question) is reported apart.
2. Cost per job: CPU time of every process of the run (runner, Playwright drivers,
   browser, renderers, GPU, network service) per job, at concurrency 1, for both sets
   of arguments.
3. Memory: the runner's RSS (and the whole process tree's USS) every 20 jobs over 200
   one-question jobs at concurrency 4.

Usage: python benchmarks/bench_batch.py [-o results.json] [--skip-defaults]
"""

from __future__ import annotations

import argparse
import json
import math
import os
import sys
import threading
import time
from collections import defaultdict
from contextlib import closing
from typing import Any

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
sys.path.insert(0, ROOT)

import psutil  # type: ignore[import-untyped]  # noqa: E402

from strovik.amazon_rufus.batch import BATCH_CHROMIUM_ARGS, BatchJob, run_batch  # noqa: E402
from strovik.amazon_rufus.browser import BrowserOptions, find_chromium  # noqa: E402
from strovik.amazon_rufus.domain.models import SeedRequestRecord  # noqa: E402
from tests.amazon_rufus.helpers import RufusStandIn, serve_standin  # noqa: E402

ANSWER_DELAY = 0.3
QUESTIONS = ("How long does the battery last?", "Is it waterproof?", "Does it charge fast?", "What is in the box?",
             "Is there a warranty?")


class Clock:
    """The first POST of a run, as the stand-in sees it, and the CPU time spent from then
    on: by this run's processes, and by the whole machine (other work included)."""

    def __init__(self, stand_in: RufusStandIn) -> None:
        self.first_post: float | None = None
        self.started = threading.Event()
        record = stand_in.record

        def timed(post: Any) -> int:
            if self.first_post is None:
                self.first_post = time.perf_counter()
                self.started.set()
            return record(post)

        stand_in.record = timed  # type: ignore[method-assign]
        self._marks: list[tuple[dict[int, tuple[str, float]], Any]] = []
        # Snapshots are taken off the stand-in's thread, so that no answer waits for them.
        self._watcher = threading.Thread(target=self._mark_start, daemon=True)
        self._watcher.start()

    def _mark_start(self) -> None:
        if self.started.wait(300):
            self._marks.append((tree_cpu(), psutil.cpu_times()))

    def cpu_use(self) -> dict[str, float]:
        """CPU seconds from the first POST to now: this run's processes, and all others."""
        self.started.set()
        self._watcher.join()
        ours_then, machine_then = self._marks[0]
        ours = sum(cpu_between(ours_then, tree_cpu()).values())
        machine_now = psutil.cpu_times()
        busy = sum(now - then for now, then in zip(machine_now, machine_then)) - (
            (machine_now.idle - machine_then.idle) + (machine_now.iowait - machine_then.iowait))
        return {"ours": ours, "others": max(0.0, busy - ours)}


def make_jobs(base_url: str, count: int, questions: tuple[str, ...], tag: str) -> list[BatchJob]:
    seed = SeedRequestRecord.from_dict({
        "request_url": f"{base_url}/rufus/cl/streaming?marketplaceId=ATVPDKIKX0DER",
        "request_headers": {"Content-Type": "application/json"},
        "request_body": json.dumps({"queryContext": {"query": "seed"}, "historyThreadContext": {"threadState": "NEW"}}),
        "page_url": f"{base_url}/dp/B0SEEDSEED",
    })
    jobs = []
    for number in range(count):
        asin = f"B0{tag}{number:06d}"[:10]
        jobs.append(BatchJob(f"{tag}-{number}", seed, questions, f"{base_url}/dp/{asin}"))
    return jobs


def process_kind(process: psutil.Process) -> str:
    try:
        args = process.cmdline()
    except psutil.Error:
        return "gone"
    if not args:
        return "other"
    if "node" in os.path.basename(args[0]):
        return "playwright driver (node)"
    if process.pid == os.getpid():
        return "runner (python)"
    kind = next((arg.split("=", 1)[1] for arg in args if arg.startswith("--type=")), "browser")
    sub = next((arg.split("=", 1)[1] for arg in args if arg.startswith("--utility-sub-type=")), "")
    if kind == "zygote":
        # Renderers are forked from the zygote; their CPU time is the zygote's children's.
        return "renderers (zygote)"
    return f"{kind} {sub.split('.')[-1]}".strip()


def tree_cpu() -> dict[int, tuple[str, float]]:
    """Process id -> (kind, CPU seconds, with its reaped children's) for the whole tree."""
    me = psutil.Process()
    cpu: dict[int, tuple[str, float]] = {}
    for process in [me, *me.children(recursive=True)]:
        try:
            times = process.cpu_times()
            cpu[process.pid] = (process_kind(process),
                                times.user + times.system + times.children_user + times.children_system)
        except psutil.Error:
            pass
    return cpu


def cpu_between(first: dict[int, tuple[str, float]], last: dict[int, tuple[str, float]]) -> dict[str, float]:
    """CPU seconds spent between two snapshots, by kind. A process gone by the second
    (a browser of an earlier run still exiting) is left out rather than subtracted."""
    spent: dict[str, float] = defaultdict(float)
    for pid, (kind, seconds) in last.items():
        spent[kind] += seconds - first.get(pid, (kind, 0.0))[1]
    return spent


def tree_uss() -> int:
    """Memory of the whole process tree, each page counted once (unique set sizes; RSS
    would count the browsers' shared pages again for every process)."""
    me = psutil.Process()
    total = 0
    for process in [me, *me.children(recursive=True)]:
        try:
            total += process.memory_full_info().uss
        except psutil.Error:
            pass
    return total


def run(stand_in: RufusStandIn, jobs: list[BatchJob], concurrency: int, args: tuple[str, ...],
        chromium: str, on_job: Any = None) -> dict[str, Any]:
    time.sleep(1.0)  # let the browsers of the run before exit
    clock = Clock(stand_in)
    options = BrowserOptions(chromium=chromium, args=args)
    started = time.perf_counter()
    last = started
    answers = failures = 0
    total = sum(len(job.questions) for job in jobs)
    cpu: dict[str, float] = {}
    with closing(run_batch(jobs, concurrency=concurrency, browser=options, on_job=on_job)) as results:
        for result in results:
            last = time.perf_counter()
            answers += result.ok
            failures += not result.ok
            if answers + failures == total:
                cpu = clock.cpu_use()  # at the last answer, while every browser still runs
    cpu = cpu or clock.cpu_use()
    stand_in.record = type(stand_in).record.__get__(stand_in)  # type: ignore[method-assign]
    first = clock.first_post or last
    elapsed = last - first
    return {
        "concurrency": concurrency,
        "startup_s": round(first - started, 3),
        "elapsed_s": round(elapsed, 3),
        "questions_per_s": round(total / elapsed, 3) if elapsed else None,
        "answers": answers,
        "failures": failures,
        "cpu_ours_s": round(cpu["ours"], 2),
        "cpu_others_s": round(cpu["others"], 2),
    }


def throughput(stand_in: RufusStandIn, chromium: str, variants: dict[str, tuple[str, ...]]) -> list[dict[str, Any]]:
    rows = []
    for name, args in variants.items():
        base = None
        for concurrency in (1, 4, 8):
            jobs = make_jobs(stand_in.base_url, 20, QUESTIONS, f"T{concurrency}")
            row = {"variant": name, **run(stand_in, jobs, concurrency, args, chromium)}
            base = base or row["questions_per_s"]
            row["speedup"] = round(row["questions_per_s"] / base, 2)
            rows.append(row)
            print(f"  {name:20s} c={concurrency}: start-up {row['startup_s']:5.2f} s, first question to last answer "
                  f"{row['elapsed_s']:6.2f} s, {row['questions_per_s']:5.2f} q/s, x{row['speedup']:.2f} "
                  f"({row['answers']} answers, {row['failures']} failures); CPU in that time: this run "
                  f"{row['cpu_ours_s']:.1f} s, other work {row['cpu_others_s']:.1f} s "
                  f"(of {row['elapsed_s'] * (os.cpu_count() or 1):.1f} s)", flush=True)
    return rows


def cost_per_job(stand_in: RufusStandIn, chromium: str, variants: dict[str, tuple[str, ...]]) -> dict[str, Any]:
    costs = {}
    jobs_count = 10
    for name, args in variants.items():
        marks: dict[str, dict[int, tuple[str, float]]] = {}

        def on_job(outcome: Any, marks: dict[str, dict[int, tuple[str, float]]] = marks) -> None:
            # The first job pays for warming up; count from its end to the last job's.
            marks.setdefault("first", tree_cpu())
            marks["last"] = tree_cpu()

        jobs = make_jobs(stand_in.base_url, jobs_count + 1, QUESTIONS, "C")
        run(stand_in, jobs, 1, args, chromium, on_job)
        cost = {kind: round(1000 * spent / jobs_count, 1)
                for kind, spent in cpu_between(marks["first"], marks["last"]).items()}
        cost["total"] = round(sum(cost.values()), 1)
        costs[name] = cost
        print(f"  {name:20s} CPU ms per job (5 questions): "
              + ", ".join(f"{kind} {ms}" for kind, ms in sorted(cost.items(), key=lambda item: -item[1])), flush=True)
    return costs


def memory(stand_in: RufusStandIn, chromium: str) -> dict[str, Any]:
    samples: list[dict[str, float]] = []
    done = [0]
    lock = threading.Lock()

    def on_job(outcome: Any) -> None:
        with lock:
            done[0] += 1
            if done[0] % 20 == 0:
                runner = psutil.Process().memory_info().rss
                samples.append({"jobs": done[0], "runner_mb": round(runner / 2**20, 1),
                                "tree_mb": round(tree_uss() / 2**20, 1)})

    jobs = make_jobs(stand_in.base_url, 200, QUESTIONS[:1], "M")
    run(stand_in, jobs, 4, BATCH_CHROMIUM_ARGS, chromium, on_job)
    after_first = samples[0]
    growth = max(sample["runner_mb"] for sample in samples) - after_first["runner_mb"]
    tree_growth = max(sample["tree_mb"] for sample in samples) - after_first["tree_mb"]
    print("  runner RSS MB every 20 jobs: " + " ".join(str(sample["runner_mb"]) for sample in samples))
    print("  process tree USS MB:         " + " ".join(str(sample["tree_mb"]) for sample in samples))
    print(f"  growth after the first 20 jobs: runner {growth:+.1f} MB, tree {tree_growth:+.1f} MB", flush=True)
    return {"samples": samples, "runner_growth_mb": round(growth, 1), "tree_growth_mb": round(tree_growth, 1)}


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("-o", "--output", help="write the figures as JSON to this file")
    parser.add_argument("--skip-defaults", action="store_true", help="measure only the batch's Chromium arguments")
    options = parser.parse_args()
    chromium = find_chromium()
    variants: dict[str, tuple[str, ...]] = {"batch arguments": BATCH_CHROMIUM_ARGS}
    if not options.skip_defaults:
        variants["Playwright defaults"] = ()
    load_start = os.getloadavg()
    print(f"machine: {os.cpu_count()} CPUs, load average {load_start[0]:.2f} {load_start[1]:.2f} {load_start[2]:.2f}")
    figures: dict[str, Any] = {"load_start": load_start}
    with serve_standin() as stand_in:
        stand_in.delay = ANSWER_DELAY
        print(f"throughput: 20 jobs x {len(QUESTIONS)} questions, each answered after {ANSWER_DELAY * 1000:.0f} ms")
        figures["throughput"] = throughput(stand_in, chromium, variants)
        print("cost per job (CPU time of every process, concurrency 1, 10 jobs after a first one)")
        figures["cost_per_job_ms"] = cost_per_job(stand_in, chromium, variants)
        print("memory: 200 one-question jobs at concurrency 4")
        figures["memory"] = memory(stand_in, chromium)
    figures["load_end"] = os.getloadavg()
    print(f"load average at the end {figures['load_end'][0]:.2f} {figures['load_end'][1]:.2f} "
          f"{figures['load_end'][2]:.2f}")
    rows = [row for row in figures["throughput"] if row["variant"] == "batch arguments"]
    speedups = {row["concurrency"]: row["speedup"] for row in rows}
    # Questions of a job go one after the other: 20 jobs at concurrency c take at least
    # ceil(20 / c) job lengths, whatever the machine.
    print("bound set by whole jobs: " + ", ".join(
        f"x{20 / math.ceil(20 / concurrency):.2f} at {concurrency}" for concurrency in (4, 8)))
    print(f"goal: x3.5 at 4 -> x{speedups[4]:.2f} {'met' if speedups[4] >= 3.5 else 'missed'}; "
          f"x6 at 8 -> x{speedups[8]:.2f} {'met' if speedups[8] >= 6 else 'missed'}; "
          f"runner RSS growth < 20 MB -> {figures['memory']['runner_growth_mb']:+.1f} MB "
          f"{'met' if figures['memory']['runner_growth_mb'] < 20 else 'missed'}")
    if options.output:
        os.makedirs(os.path.dirname(os.path.abspath(options.output)), exist_ok=True)
        with open(options.output, "w", encoding="utf-8") as handle:
            json.dump(figures, handle, indent=2)


if __name__ == "__main__":
    main()
