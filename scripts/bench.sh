#!/usr/bin/env bash
# Builds the benchmarks (Release) and runs every *_bench program, then prints
# the ratio of each pair measured side by side in the same run.
#
# Naming convention: a benchmark named "BM_<case>/<variant>" belongs to case
# <case>. Within a case, every variant is compared with the case's reference
# variant: "spdlog", "raw" or "direct", whichever the case has. The ratio is
# ours/reference for times (lower is better) and for items per second
# (higher is better), as each row says.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh >/dev/null
cmake -S . -B build-bench -DCMAKE_BUILD_TYPE=Release -DVELTORA_BUILD_TESTS=OFF -DVELTORA_BUILD_BENCH=ON >/dev/null
cmake --build build-bench -j"$(nproc)"

results=$(mktemp -d)
trap 'rm -rf "$results"' EXIT
for program in build-bench/bin/*_bench; do
    echo "== $(basename "$program")"
    "$program" --benchmark_out="$results/$(basename "$program").json" --benchmark_out_format=json
done

python3 - "$results" <<'PY'
import json, pathlib, sys
rows = []
for path in sorted(pathlib.Path(sys.argv[1]).glob("*.json")):
    cases = {}
    for b in json.load(open(path))["benchmarks"]:
        if b.get("run_type") == "aggregate" or "/" not in b["name"]:
            continue
        case, variant = b["name"].split("/", 1)
        cases.setdefault(case, {})[variant] = b
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
            else:
                ratio = b["cpu_time"] / ref["cpu_time"]
                rows.append((case, f"{variant}/{reference}", f"{ratio:.2f}", "caller cost, lower is better"))
print()
print(f"{'case':36} {'pair':28} {'ratio':>6}  meaning")
for case, pair, ratio, meaning in rows:
    print(f"{case:36} {pair:28} {ratio:>6}  {meaning}")
PY
