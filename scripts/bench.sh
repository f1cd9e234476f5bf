#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs every *_bench program, then prints
# the ratio of each pair measured side by side in the same run.
#
# To add a benchmark: give its executable target a name ending in "_bench"
# (in bench/CMakeLists.txt); this script builds and runs every such program.
#
# Naming convention: a benchmark named "BM_<case>/<variant>" belongs to case
# <case>. Within a case, every variant is compared with the case's reference
# variant: "spdlog", "raw" or "direct", whichever the case has. The ratio is
# ours/reference for times (lower is better) and for items per second
# (higher is better), as each row says. A benchmark with manual time is
# compared by its own measured (real) time, others by the caller's processor
# time. Each figure is the median of
# BENCH_REPETITIONS runs (default 3).
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh >/dev/null
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELTORA_BUILD_TESTS=OFF -DVELTORA_BUILD_BENCH=ON >/dev/null
# Only the benchmark programs (targets named *_bench) and what they need.
mapfile -t targets < <(cmake --build build-bench --target help | sed -n 's/^\.\.\. \([A-Za-z0-9_]*_bench\)$/\1/p')
cmake --build build-bench -j"$(nproc)" --target "${targets[@]}"

results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
for program in build-bench/bin/*_bench; do
    echo "== $(basename "$program")"
    "$program" --benchmark_repetitions="${BENCH_REPETITIONS:-3}" --benchmark_report_aggregates_only=true \
        --benchmark_out="$results/$(basename "$program").json" --benchmark_out_format=json
done

python3 - "$results" <<'PY'
import json, pathlib, sys
rows = []
for path in sorted(pathlib.Path(sys.argv[1]).glob("*.json")):
    cases = {}
    for b in json.load(open(path))["benchmarks"]:
        # The median of the repetitions (a single run has no aggregates).
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") != "median":
            continue
        name = b.get("run_name", b["name"])
        if "/" not in name:
            continue
        # "BM_<case>/<variant>", perhaps with the library's own suffixes such as "/real_time".
        case, variant = name.split("/")[:2]
        cases.setdefault(case, {})[variant] = b
        if "speedup" in b:
            rows.append((case, f"{variant} speedup", f"{b['speedup']:.2f}", "8 threads over 1 thread"))
    for case, variants in cases.items():
        reference = next((v for v in ("spdlog", "raw", "direct") if v in variants), None)
        if reference is None:
            continue
        ref = variants[reference]
        for variant, b in variants.items():
            if variant == reference:
                continue
            if "items_per_second" in b and "items_per_second" in ref:
                ratio = b["items_per_second"] / ref["items_per_second"]
                rows.append((case, f"{variant}/{reference}", f"{ratio:.2f}", "throughput, higher is better"))
            elif "manual_time" in b["name"]:
                # The benchmark measured the figure itself (in child processes, say).
                ratio = b["real_time"] / ref["real_time"]
                rows.append((case, f"{variant}/{reference}", f"{ratio:.2f}", "measured time, lower is better"))
            else:
                ratio = b["cpu_time"] / ref["cpu_time"]
                rows.append((case, f"{variant}/{reference}", f"{ratio:.2f}", "caller cost, lower is better"))
print()
print(f"{'case':36} {'pair':28} {'ratio':>6}  meaning")
for case, pair, ratio, meaning in rows:
    print(f"{case:36} {pair:28} {ratio:>6}  {meaning}")
PY
