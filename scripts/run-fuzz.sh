#!/usr/bin/env bash
# Runs the libFuzzer targets on scratch copies of their committed seed corpora, two at a time.
# Usage: scripts/run-fuzz.sh <build dir> <seconds>        each target for that long (make fuzz)
#        scripts/run-fuzz.sh <build dir> --runs <N> [S]   each target for N executions, or at most S
#                                                         seconds when S is given (make soak-fuzz)
# FUZZ_TARGETS (names, space-separated) picks some targets; FUZZ_JOBS (default 2) how many run at once.
# Prints executions and executions per second per target. Fails on any crash, leak, time-out or
# sanitizer report, keeping the inputs and logs in <build dir>/fuzz-artifacts.
set -euo pipefail

usage() {
    echo "usage: $0 <build dir> <seconds> | $0 <build dir> --runs <N> [max seconds]" >&2
    exit 2
}
[[ $# -ge 2 ]] || usage
build=$1
limit=()
if [[ $2 == --runs ]]; then
    [[ $# -ge 3 && $3 =~ ^[0-9]+$ ]] || usage
    limit=(-runs="$3")
    if [[ $# -ge 4 ]]; then
        [[ $4 =~ ^[0-9]+$ ]] || usage
        limit+=(-max_total_time="$4")
    fi
    what="$3 executions${4:+ or $4 s}"
else
    [[ $# -eq 2 && $2 =~ ^[0-9]+$ ]] || usage
    limit=(-max_total_time="$2")
    what="$2 s"
fi
root=$(cd "$(dirname "$0")/.." && pwd)
jobs=${FUZZ_JOBS:-2}

# name, seed corpus under tests/fuzz, longest input
all_targets=(
    "fuzz_parse_dc9 corpus 1024"
    "fuzz_receive_stream corpus_stream 4096"
    "fuzz_udp_datagram corpus 1024"
    "fuzz_journal_files corpus_journal 4096"
    "fuzz_account_file corpus_accounts 4096"
    "fuzz_config_file corpus_config 512"
    "fuzz_command_line corpus_command_line 1024"
    "fuzz_account_keys corpus_keys 4096"
    "fuzz_output_answers corpus_answers 512"
)

work=$(mktemp -d "${TMPDIR:-/tmp}/ardentel-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT

export TZ=UTC
export QT_QPA_PLATFORM=offscreen
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

run_one() {
    local name=$1 corpus=$2 max_len=$3 fuzzer=$4
    local dir="$work/$name"
    mkdir -p "$dir/corpus" "$dir/artifacts"
    cp "$root/tests/fuzz/$corpus/"* "$dir/corpus/"
    local start status=0
    start=$(date +%s)
    "$fuzzer" "$dir/corpus" "${limit[@]}" -max_len="$max_len" -timeout=10 -rss_limit_mb=2048 \
        -artifact_prefix="$dir/artifacts/" -print_final_stats=1 >"$dir/log" 2>&1 || status=$?
    echo "$status $(($(date +%s) - start))" >"$dir/result"
}

selected=()
for entry in "${all_targets[@]}"; do
    read -r name corpus max_len <<<"$entry"
    if [[ -n ${FUZZ_TARGETS:-} && " $FUZZ_TARGETS " != *" $name "* ]]; then
        continue
    fi
    fuzzer=$(find "$build" -type f -name "$name" -perm -u+x | head -n 1)
    if [[ -z $fuzzer ]]; then
        echo "run-fuzz: no $name under $build (configure with clang and -DARDENTEL_FUZZ=ON)" >&2
        exit 2
    fi
    selected+=("$name")
    echo "run-fuzz: $name for $what on $(ls "$root/tests/fuzz/$corpus" | wc -l) seeds"
    while [[ $(jobs -rp | wc -l) -ge $jobs ]]; do
        wait -n || true
    done
    run_one "$name" "$corpus" "$max_len" "$fuzzer" &
done
wait

failed=0
for name in "${selected[@]}"; do
    dir="$work/$name"
    read -r status seconds <"$dir/result"
    execs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$dir/log" | tail -n 1)
    rate=$(sed -n 's/^stat::average_exec_per_sec: *//p' "$dir/log" | tail -n 1)
    printf 'run-fuzz: %-20s %12s executions in %5s s, %8s exec/s' "$name" "${execs:-?}" "$seconds" "${rate:-?}"
    if [[ $status -ne 0 ]] || ls "$dir/artifacts/"* >/dev/null 2>&1 ||
        grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:|broken promise' "$dir/log"; then
        kept="$build/fuzz-artifacts/$name"
        mkdir -p "$kept"
        cp "$dir/artifacts/"* "$kept/" 2>/dev/null || true
        cp "$dir/log" "$kept/fuzz.log"
        echo "  FAILED (exit $status); inputs and log kept in $kept"
        tail -n 25 "$dir/log"
        failed=1
    else
        echo "  no findings"
    fi
done
exit $failed
