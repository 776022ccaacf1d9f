#!/usr/bin/env bash
# Starts the receiver from a build tree with its data in <build>/run/. The first start there
# opens the DC-09 port 7777 and the automation port 9999 (TCP server), so it works at once.
set -euo pipefail

build="${1:-build}"
exe="$build/src/app/ardentel"
data="$build/run"

if [ ! -x "$exe" ]; then
    echo "run.sh: $exe not found; build first (make build)" >&2
    exit 1
fi
mkdir -p "$data"
if [ ! -f "$data/kalvor.cfg" ]; then
    "$exe" --dir "$data" --set DC9_Port_Enable=1 --set Mon_Port_Open=1 --set Mon_Server=1
    echo "run.sh: new data directory $data: receiver port 7777 and automation port 9999 open"
fi

args=(--dir "$data")
if [ -z "${DISPLAY:-}" ] && [ -z "${WAYLAND_DISPLAY:-}" ]; then
    args+=(--headless)
    echo "run.sh: no display, running headless; stop with Ctrl+C"
elif [ "${QT_QPA_PLATFORM:-}" = offscreen ]; then
    # The make file sets offscreen for the tests; with a display the window should show.
    unset QT_QPA_PLATFORM
fi
exec "$exe" "${args[@]}"
