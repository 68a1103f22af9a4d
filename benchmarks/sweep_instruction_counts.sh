#!/usr/bin/env bash
# Instructions of the per-layer functions under callgrind, next to those of
# simulate()'s kernel and spectra, for each stack of sweep_bench (20 layers,
# 1000 wavelengths). Unlike times, these counts do not move with the load
# on the machine. Valgrind runs no AVX-512 code; every function here runs
# its AVX2 packs anyway.
#
#   benchmarks/sweep_instruction_counts.sh [path/to/sweep_bench]
set -euo pipefail
bench="${1:-build/cpp/sweep_bench}"
command -v valgrind >/dev/null || { echo "valgrind is not installed" >&2; exit 1; }
out_file=$(mktemp)
trap 'rm -f "$out_file"' EXIT
printf '%-16s %11s %11s %8s %11s %8s %11s %8s\n' stack simulate gradient ratio absorption ratio \
    "needle 300" ratio
for kind in random-abs random-lossless two-material mirror; do
    declare -A count=()
    for what in simulate gradient absorption needle; do
        log=$(valgrind --tool=callgrind --collect-atstart=no --callgrind-out-file="$out_file" \
              "$bench" --once "$kind" "$what" 1000 2>&1)
        count[$what]=$(grep -oE "Collected : [0-9]+" <<<"$log" | grep -oE "[0-9]+$")
    done
    ratio() { awk "BEGIN { printf \"%.2fx\", ${count[$1]} / ${count[simulate]} }"; }
    printf '%-16s %11s %11s %8s %11s %8s %11s %8s\n' "$kind" "${count[simulate]}" \
        "${count[gradient]}" "$(ratio gradient)" "${count[absorption]}" "$(ratio absorption)" \
        "${count[needle]}" "$(ratio needle)"
    unset count
done
