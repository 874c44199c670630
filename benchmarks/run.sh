#!/usr/bin/env bash
# Runs every benchmark in one go and prints the tables with the target verdicts.
#   bash benchmarks/run.sh            # about 6 minutes on 2 cores
# Results: benchmarks/out/{gate,replay,verify_clients,wrk}.json, out/secret.txt and out/report.md.
# PYPERF_ARGS overrides the pyperf settings; WRK_ARGS adds options for bench_wrk.py.
set -euo pipefail
cd "$(dirname "$0")/.."
PY=${PYTHON:-.venv/bin/python}
OUT=benchmarks/out
PYPERF_ARGS=${PYPERF_ARGS:---processes 6 --values 3 --warmups 1}
mkdir -p "$OUT"
rm -f "$OUT/gate.json" "$OUT/replay.json" "$OUT/verify_clients.json" "$OUT/wrk.json" "$OUT/secret.txt" "$OUT/report.md"

{
  echo "machine: $(nproc) cores, $(grep -m1 'model name' /proc/cpuinfo | cut -d: -f2- | sed 's/^ //')"
  echo "python:  $($PY -c 'import sys; print(sys.version.split()[0])')"
  echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at start"
} | tee "$OUT/machine.txt"

echo "== gate (pyperf $PYPERF_ARGS)"
# shellcheck disable=SC2086
$PY benchmarks/bench_gate.py $PYPERF_ARGS --quiet -o "$OUT/gate.json"
echo "== replay (pyperf $PYPERF_ARGS)"
# shellcheck disable=SC2086
$PY benchmarks/bench_replay.py $PYPERF_ARGS --quiet -o "$OUT/replay.json"
echo "== key comparison: first difference at the start and at the end of a long key"
$PY benchmarks/bench_secret.py | tee "$OUT/secret.txt"
echo "== HTTP clients for the pooled key check (32 distinct keys in flight)"
$PY benchmarks/bench_verify_clients.py --checks 3000 --per-check-checks 200 --rounds 3 -o "$OUT/verify_clients.json"
echo "== end to end (wrk)"
# shellcheck disable=SC2086
$PY benchmarks/bench_wrk.py -d 4 -c 32 -t 1 --rounds 5 ${WRK_ARGS:-} -o "$OUT/wrk.json"
echo "load:    $(cut -d' ' -f1-3 /proc/loadavg) (1, 5, 15 min) at end" | tee -a "$OUT/machine.txt"

echo
$PY benchmarks/report.py "$OUT" | tee "$OUT/report.md"
