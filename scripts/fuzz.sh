#!/usr/bin/env bash
# Builds the libFuzzer programs of tests/fuzz with clang, AddressSanitizer and
# UndefinedBehaviorSanitizer in build-fuzz, then runs each for FUZZ_SECONDS
# (default 30) from its seed corpus in tests/fuzz/corpus/<program>. Any crash,
# leak, slow input or sanitizer report fails the run and names the input that
# reproduces it. What the runs find stays in build-fuzz/runs, never in the sources.
set -euo pipefail
cd "$(dirname "$0")/.."

seconds=${FUZZ_SECONDS:-30}
build=build-fuzz

cmake -S . -B "$build" -DCMAKE_C_COMPILER=clang -DCMAKE_CXX_COMPILER=clang++ \
    -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVELTORA_SANITIZE=address,undefined -DVELTORA_FUZZ=ON \
    -DVELTORA_BUILD_TESTS=OFF
cmake --build "$build" -j"$(nproc)" --target fuzz_targets

export ASAN_OPTIONS=detect_leaks=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1

# The number after "<key>:" on the last line of the log that has it.
figure() { grep -o "$1: *[0-9]*" "$2" | tail -n 1 | grep -o '[0-9]*$' || echo "?"; }

passed=0
failed=0
for program in "$build"/bin/*_fuzz; do
    name=$(basename "$program")
    seeds=tests/fuzz/corpus/$name
    run=$build/runs/$name
    mkdir -p "$run/corpus"
    rm -rf "$run/findings" && mkdir -p "$run/findings"
    # The first directory takes what the run adds; the seeds are only read.
    status=0
    "$program" -max_total_time="$seconds" -timeout=10 -detect_leaks=1 -print_final_stats=1 \
        -artifact_prefix="$run/findings/" "$run/corpus" "$seeds" >"$run/log" 2>&1 || status=$?
    if [ "$status" -eq 0 ] && ! grep -qE 'ERROR: (Address|Leak|UndefinedBehavior)Sanitizer|runtime error:' "$run/log"; then
        passed=$((passed + 1))
        echo "fuzz: $name: $(figure stat::number_of_executed_units "$run/log") runs," \
            "$(figure stat::average_exec_per_sec "$run/log")/s, corpus $(find "$seeds" -type f | wc -l)" \
            "seeds -> $(find "$run/corpus" "$seeds" -type f | wc -l) inputs, no findings"
    else
        failed=$((failed + 1))
        echo "fuzz: $name FAILED (exit $status); the end of $run/log:"
        tail -n 60 "$run/log"
        for input in "$run"/findings/*; do
            [ -e "$input" ] && echo "fuzz: reproduce with: $program $input"
        done
    fi
done
echo "fuzz: $passed passed, $failed failed"
[ "$failed" -eq 0 ]
