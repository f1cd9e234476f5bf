#!/usr/bin/env bash
# Installs the dependencies, builds with AddressSanitizer and
# UndefinedBehaviorSanitizer and runs every test; then builds the log facility
# with ThreadSanitizer and runs its tests again.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh

jobs=$(nproc)

cmake -S . -B build-asan -DCMAKE_BUILD_TYPE=Debug -DVELTORA_SANITIZE=address,undefined
cmake --build build-asan -j"$jobs"
export ASAN_OPTIONS=detect_leaks=1:abort_on_error=1
export UBSAN_OPTIONS=print_stacktrace=1:halt_on_error=1
ctest --test-dir build-asan --output-on-failure -j"$jobs"

cmake -S . -B build-tsan -DCMAKE_BUILD_TYPE=Debug -DVELTORA_SANITIZE=thread -DVELTORA_LOG_ONLY=ON
cmake --build build-tsan -j"$jobs"
# ThreadSanitizer needs the classic address layout on kernels with high mmap randomisation.
TSAN_OPTIONS=halt_on_error=1:second_deadlock_stack=1 setarch "$(uname -m)" -R \
    ctest --test-dir build-tsan --output-on-failure -j"$jobs"
