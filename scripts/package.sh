#!/usr/bin/env bash
# Builds the Debian package: a Release build in build-package/, then CPack.
# Prints the path of the .deb on its last line.
set -euo pipefail
cd "$(dirname "$0")/.."

bash scripts/install-deps.sh >&2

cmake -S . -B build-package -DCMAKE_BUILD_TYPE=Release -DCMAKE_INSTALL_PREFIX=/usr \
    -DVELTORA_BUILD_TESTS=OFF >&2
# Everything, in parallel: cpack's own pre-install build would otherwise build the rest serially.
cmake --build build-package -j"$(nproc)" >&2
(cd build-package && cpack -G DEB >&2)
ls -t "$PWD"/build-package/veltora-token-kit_*.deb | head -n 1
