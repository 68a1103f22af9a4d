#!/usr/bin/env bash
# Instructions per layer x wavelength under callgrind, for the kernel (both
# polarisations), its library-call floor and the single-polarisation
# reference kernel run for S and P. Unlike times, these counts do not move
# with the load on the machine.
#
#   benchmarks/instruction_counts.sh [path/to/kernel_bench]
set -euo pipefail
bench="${1:-build/cpp/kernel_bench}"
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
out_file=$(mktemp)
trap 'rm -f "$out_file"' EXIT
printf '%-10s %10s %10s %10s %14s\n' stack kernel floor reference "kernel/floor"
for kind in absorbing lossless; do
    declare -A per_unit=()
    for what in kernel floor reference; do
        log=$(valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out_file" \
              "$bench" --once "$kind" 1000 "$what" 2>&1)
        collected=$(grep -oE "Collected : [0-9]+" <<<"$log" | grep -oE "[0-9]+$")
        units=$(grep -oE "[0-9]+ layer x wavelength units" <<<"$log" | grep -oE "^[0-9]+")
        per_unit[$what]=$((collected / units))
    done
    ratio=$(awk "BEGIN { printf \"%.2f\", ${per_unit[kernel]} / ${per_unit[floor]} }")
    printf '%-10s %10s %10s %10s %14s\n' "$kind" "${per_unit[kernel]}" "${per_unit[floor]}" \
        "${per_unit[reference]}" "$ratio"
    unset per_unit
done
