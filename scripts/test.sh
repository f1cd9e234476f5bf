#!/usr/bin/env bash
# Installs the dependencies, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test; fuzzes the parsers of outside
# input (scripts/fuzz.sh); then builds the log facility with ThreadSanitizer and
# runs its tests again.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVELTORA_SANITIZE=address,undefined
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j"$jobs"

# The parsers of outside input under libFuzzer, about 30 s each. It prints
# "fuzz: N passed, N failed"; the ctest pass below stays last, so the output
# still ends with a ctest summary.
bash scripts/fuzz.sh

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DVELTORA_SANITIZE=thread -DVELTORA_LOG_ONLY=ON
cmake --build build-tsan -j"$jobs"
# ThreadSanitizer needs the classic address layout on kernels with high mmap randomisation.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 setarch "$(uname -m)" -R \
    ctest --test-dir build-tsan --output-on-failure -j"$jobs"
