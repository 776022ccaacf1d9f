#!/usr/bin/env bash
# Runs the DC-09 frame parser fuzzer for a while on a scratch copy of the committed seed corpus.
# Usage: scripts/run-fuzz.sh <build dir> <seconds>. Fails on any crash, leak or sanitizer report.
set -euo pipefail

if [[ $# -ne 2 ]]; then
    echo "usage: $0 <build dir> <seconds>" >&2
    exit 2
fi
build=$1
seconds=$2
root=$(cd "$(dirname "$0")/.." && pwd)
fuzzer=$(find "$build" -type f -name fuzz_parse_dc9 -perm -u+x | head -n 1)
if [[ -z "$fuzzer" ]]; then
    echo "run-fuzz: no fuzz_parse_dc9 under $build (configure with clang and -DARDENTEL_FUZZ=ON)" >&2
    exit 2
fi

work=$(mktemp -d "${TMPDIR:-/tmp}/ardentel-fuzz.XXXXXX")
trap 'rm -rf "$work"' EXIT
mkdir -p "$work/corpus" "$work/artifacts"
cp "$root/tests/fuzz/corpus/"* "$work/corpus/"

export TZ=UTC
export ASAN_OPTIONS=${ASAN_OPTIONS:-detect_leaks=1:abort_on_error=1}
export UBSAN_OPTIONS=${UBSAN_OPTIONS:-print_stacktrace=1:halt_on_error=1}

echo "run-fuzz: $fuzzer for ${seconds}s on $(ls "$work/corpus" | wc -l) seeds"
status=0
"$fuzzer" "$work/corpus" -max_total_time="$seconds" -max_len=1024 -timeout=10 -rss_limit_mb=2048 \
    -artifact_prefix="$work/artifacts/" -print_final_stats=1 >"$work/log" 2>&1 || status=$?
tail -n 25 "$work/log"

if [[ $status -ne 0 ]] || ls "$work/artifacts/"* >/dev/null 2>&1 ||
    grep -qE 'ERROR: (AddressSanitizer|LeakSanitizer|libFuzzer)|runtime error:' "$work/log"; then
    kept="$build/fuzz-artifacts"
    mkdir -p "$kept"
    cp "$work/artifacts/"* "$kept/" 2>/dev/null || true
    cp "$work/log" "$kept/fuzz.log"
    echo "run-fuzz: FAILED (exit $status); inputs and log kept in $kept" >&2
    exit 1
fi
echo "run-fuzz: no findings in ${seconds}s"
