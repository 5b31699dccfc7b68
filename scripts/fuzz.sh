#!/usr/bin/env bash
# SPDX-License-Identifier: MIT
# Builds the fuzz targets in their own clang build (build-fuzz: libFuzzer, ASan and UBSan) and runs each
# for FUZZ_SECONDS on a scratch copy of its committed seed corpus. A crash, a broken property, a leak, a
# hang or growth past 256 MB fails the run; the input is kept under the run's folder for replay.
#
#   FUZZ_SECONDS  how long each target runs (default 30)
#   FUZZ_JOBS     how many run at once (default: the number of processors)
#   FUZZ_TARGETS  which targets (default: all)
#   FUZZ_BUILD    the build folder (default build-fuzz), FUZZ_OUT where the runs go (default its runs/)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
build=${FUZZ_BUILD:-$root/build-fuzz}
seconds=${FUZZ_SECONDS:-30}
targets=${FUZZ_TARGETS:-sdp wire uri pidf settings}
out=${FUZZ_OUT:-$build/runs}
rss_limit_mb=256

cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DCHIMELY_FUZZ=ON \
    -DCMAKE_C_COMPILER=clang-14 -DCMAKE_CXX_COMPILER=clang++-14 >/dev/null
build_targets=()
for t in $targets; do build_targets+=("fuzz_$t"); done
cmake --build "$build" -j "${FUZZ_BUILD_JOBS:-2}" --target "${build_targets[@]}"

export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1}

# One target: its run, then its line of the summary (and, when it failed, what the log says) in
# $work/summary; its status is the run's.
run_target() {
    local t=$1 work=$out/$1 status
    rm -rf "$work"
    mkdir -p "$work/corpus" "$work/artifacts"
    local args=(-rss_limit_mb=$rss_limit_mb -max_total_time="$seconds" -timeout=10 -print_final_stats=1
                -artifact_prefix="$work/artifacts/")
    [ -f "$root/fuzz/$t/$t.dict" ] && args+=(-dict="$root/fuzz/$t/$t.dict")
    local command=("$build/fuzz/fuzz_$t" "${args[@]}" "$work/corpus" "$root/fuzz/$t/corpus")
    echo "$t: ${command[*]}" >"$work/command"
    if "${command[@]}" >"$work/log" 2>&1; then status=clean; else status=FAILED; fi
    local execs rss kept
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$work/log")
    rss=$(sed -n 's/^stat::peak_rss_mb: *//p' "$work/log")
    kept=$(find "$work/corpus" "$root/fuzz/$t/corpus" -type f | wc -l)
    {
        printf '%-9s %-7s %ss  execs %s  peak RSS %s MB  corpus %s inputs\n' \
            "$t" "$status" "$seconds" "${execs:-?}" "${rss:-?}" "$kept"
        if [ "$status" = FAILED ]; then
            grep -E 'ERROR|property broken|SUMMARY|runtime error|not well-formed|does not read back' "$work/log" \
                | head -20 || true
            echo "  log: $work/log  input: $(ls "$work"/artifacts/* 2>/dev/null | head -1)"
        fi
    } >"$work/summary"
    [ "$status" = clean ]
}

# FUZZ_JOBS targets at a time (default: one per processor); each is single-threaded.
jobs_max=${FUZZ_JOBS:-$(nproc)}
for t in $targets; do
    while [ "$(jobs -rp | wc -l)" -ge "$jobs_max" ]; do wait -n || true; done
    run_target "$t" &
done
wait || true
failed=()
for t in $targets; do
    cat "$out/$t/summary"
    grep -q "^$t  *clean " "$out/$t/summary" || failed+=("$t")
done
[ ${#failed[@]} -eq 0 ] || { echo "fuzz targets that failed: ${failed[*]}"; exit 1; }
