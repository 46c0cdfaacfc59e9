#!/usr/bin/env bash
# Builds partition_timing against the development build's libraries (make
# install makes them) and runs it. Usage: bench/kernels/partition_timing.sh
# [vectors] [dim] [queries] [build threads]
set -euo pipefail
cd "$(dirname "$0")/../.."
LIBS=${WHEEL_BUILD:-build/wheel}
OUT=build/partition_timing
mkdir -p "$OUT"
g++ -std=c++23 -O3 -ffp-contract=off -fno-fast-math -Wall -Wextra -Isrc \
  bench/kernels/partition_timing.cpp -o "$OUT/partition_timing" \
  -L"$LIBS" -lhalqen_partition -lhalqen_graph -lhalqen_engine -lhalqen_parallel -lhalqen_codes -lhalqen_filter \
  -lhalqen_metadata -lhalqen_parallel -lhalqen_metrics -lhalqen_random -lpthread
"$OUT/partition_timing" "$@"
