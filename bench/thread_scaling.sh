#!/usr/bin/env bash
# SPDX-License-Identifier: Apache-2.0
# What a second thread gives, pass by pass: one 2-thread vantrel-render, then
# two 1-thread renders started together (same seed and frames), and the ratio
# of the 2-thread frames/s to the sum of the two 1-thread ones. 1.0 means one
# render on two threads does as much as two renders on one thread each; what
# the machine itself loses with both cores busy (shared caches, memory, clock)
# is in both sides alike. Each round runs the three renders in turn; the
# median ratio of the rounds is printed per pass.
#
#   bench/thread_scaling.sh [--render PATH] [--frames N] [--seed S] [--rounds R]
#                           [--passes plain,sse2,avx2,avx512]
#
# Without --render it builds vantrel-render (release, CPU only) in
# build/bench-release first. Passes this processor cannot run are skipped.
set -euo pipefail
cd "$(dirname "$0")/.."

render=""
frames=300
seed=1
rounds=3
passes="plain,sse2,avx2,avx512"
while [ $# -gt 0 ]; do
    case "$1" in
    --render) render=$2 ;;
    --frames) frames=$2 ;;
    --seed) seed=$2 ;;
    --rounds) rounds=$2 ;;
    --passes) passes=$2 ;;
    *)
        echo "usage: $0 [--render PATH] [--frames N] [--seed S] [--rounds R] [--passes LIST]" >&2
        exit 2
        ;;
    esac
    shift 2
done

if [ -z "$render" ]; then
    cmake -S . -B build/bench-release -G Ninja -DCMAKE_BUILD_TYPE=Release -DVANTREL_BUILD_TESTS=OFF \
        -DVANTREL_CUDA=OFF -DVANTREL_BUILD_WINDOW=OFF >/dev/null
    cmake --build build/bench-release -j "$(nproc)" --target vantrel-render
    render=build/bench-release/render/vantrel-render
fi

scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT

# start_render PASS THREADS NAME: one render, its summary in $scratch/NAME.log.
start_render() {
    VANTREL_CPU_PASS=$1 "$render" --frames "$frames" --seed "$seed" --quiet --threads "$2" \
        --output "$scratch/$3.ppm" >/dev/null 2>"$scratch/$3.log"
}
frames_per_second() {
    local fps
    fps=$(sed -n 's/.* \([0-9.]*\) frames\/s.*/\1/p' "$scratch/$1.log")
    if [ -z "$fps" ]; then
        echo "thread_scaling: no summary from a render:" >&2
        cat "$scratch/$1.log" >&2
        exit 1
    fi
    echo "$fps"
}
median() { sort -g | awk '{v[NR] = $1} END {print (NR % 2) ? v[(NR + 1) / 2] : (v[NR / 2] + v[NR / 2 + 1]) / 2}'; }
spread() { sort -g | awk 'NR == 1 {low = $1} {high = $1} END {printf "%.3f-%.3f", low, high}'; }

printf '%-7s %6s %20s %23s %7s %13s\n' pass rounds "2 threads: frames/s" "1 + 1 thread: frames/s" ratio "ratio min-max"
for pass in ${passes//,/ }; do
    # A pass the processor cannot run falls back with a warning naming it: skip it.
    if VANTREL_CPU_PASS=$pass "$render" --frames 1 --seed "$seed" --quiet --threads 1 --output "$scratch/probe.ppm" \
        2>&1 >/dev/null | grep -q VANTREL_CPU_PASS; then
        printf '%-7s skipped: not run by this processor or build\n' "$pass"
        continue
    fi
    : >"$scratch/two" && : >"$scratch/sum" && : >"$scratch/ratio"
    for ((r = 0; r < rounds; ++r)); do
        start_render "$pass" 2 both
        two=$(frames_per_second both)
        start_render "$pass" 1 one_a &
        a=$!
        start_render "$pass" 1 one_b &
        b=$!
        wait "$a" "$b"
        sum=$(awk -v x="$(frames_per_second one_a)" -v y="$(frames_per_second one_b)" 'BEGIN {print x + y}')
        echo "$two" >>"$scratch/two"
        echo "$sum" >>"$scratch/sum"
        awk -v t="$two" -v s="$sum" 'BEGIN {printf "%.4f\n", t / s}' >>"$scratch/ratio"
    done
    printf '%-7s %6d %20.1f %23.1f %7.3f %13s\n' "$pass" "$rounds" "$(median <"$scratch/two")" \
        "$(median <"$scratch/sum")" "$(median <"$scratch/ratio")" "$(spread <"$scratch/ratio")"
done
