#!/usr/bin/env bash
# Instructions per layer x wavelength under callgrind, for each stack of
# kernel_bench: the kernel without its plan ("today", AVX2), the planned
# kernel, and the library-call floor of each. Unlike times, these counts do
# not move with the load on the machine. Valgrind runs no AVX-512 code, so
# the planned kernel is counted in its AVX2 variant.
#
#   benchmarks/instruction_counts.sh [path/to/kernel_bench]
set -euo pipefail
bench="${1:-build/cpp/kernel_bench}"
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
out_file=$(mktemp)
trap 'rm -f "$out_file"' EXIT
printf '%-16s %8s %8s %9s %12s %14s\n' stack today planned planned/ "floor today" "floor planned"
printf '%-16s %8s %8s %9s\n' "" "" "" today
for kind in two-material mirror three-material random-abs random-lossless; do
    declare -A per_unit=()
    for what in today planned floor-today floor-planned; do
        log=$(valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out_file" \
              "$bench" --once "$kind" "$what" 1000 2>&1)
        collected=$(grep -oE "Collected : [0-9]+" <<<"$log" | grep -oE "[0-9]+$")
        units=$(grep -oE "[0-9]+ layer x wavelength units" <<<"$log" | grep -oE "^[0-9]+")
        per_unit[$what]=$((collected / units))
    done
    ratio=$(awk "BEGIN { printf \"%.3f\", ${per_unit[planned]} / ${per_unit[today]} }")
    printf '%-16s %8s %8s %8sx %12s %14s\n' "$kind" "${per_unit[today]}" "${per_unit[planned]}" \
        "$ratio" "${per_unit[floor-today]}" "${per_unit[floor-planned]}"
    unset per_unit
done
