#!/usr/bin/env bash
# Takes the pictures in docs/ of the main window (its "DC-09 Receiver" page), the Event List (as it
# opens, and with a filter set), the Object List, the serial settings dialog and the Account Keys
# window, under Xvfb, with data the real receiver made in a temporary directory:
#   1. events forwarded to the automation software simulator (Reported), a link test, then events
#      stored while the link is down (Pending after the next start);
#   2. a start whose extended-data file cannot be written, so the newest events are stored in
#      memory only (Unknown), and one account whose supervision time of one minute runs out (red).
# Usage: scripts/screenshots.sh [BUILD_DIR]   (takes about 100 seconds)
set -euo pipefail

build=${1:-build}
root=$(cd "$(dirname "$0")/.." && pwd)
program=$root/$build/src/app/ardentel
send=$root/$build/tools/dc09-send
sim=$root/$build/tools/automation-sim
data=$(mktemp -d)
runtime=$(mktemp -d)
trap 'rm -rf "$data" "$runtime"' EXIT
export ARDENTEL_RUNTIME_DIR=$runtime

free_port() { python3 -c 'import socket; s=socket.socket(); s.bind(("127.0.0.1", 0)); print(s.getsockname()[1])'; }
port=$(free_port)
mon=$(free_port)
event() { "$send" --port "$port" --receiver 1 --line 1 --quiet "$@" >/dev/null; }

"$program" --dir "$data" --set DC9_Port_Enable=1 --set DC9_Port="$port" --set Mon_Port_Open=1 \
    --set Mon_Server=1 --set Mon_Port="$mon" --set Test_Heartbeat_Period=600

# 1. Forwarded and acknowledged, then stored with no automation software connected.
QT_QPA_PLATFORM=offscreen "$program" --headless --dir "$data" >/dev/null &
receiver=$!
sleep 3
"$sim" --connect 127.0.0.1:"$mon" --quiet >/dev/null &
automation=$!
sleep 3
event --account 1234 --event 1130 --zone 003 --quality 87
event --account 5678 --event 1401 --zone 012 --quality 64 --address 10.20.30.40
event --account 9ABC --null
event --account 2468 --sia Nri2/FA005 --quality 72
sleep 2
kill "$automation"
wait "$automation" || true
sleep 2
event --account 5678 --event 3401 --zone 012 --quality 61 --address 10.20.30.40
event --account 1234 --event 1602 --zone 000 --quality 85
sleep 1
kill "$receiver"
wait "$receiver" || true

# The operator had set account 5678 to a supervision time of one minute in the Object List.
python3 - "$data/latevn.dat" <<'EOF'
import struct, sys
path = sys.argv[1]
table = bytearray(open(path, 'rb').read())
for slot in range(len(table) // 80):
    if table[slot * 80 + 4: slot * 80 + 8] == b'5678' and table[slot * 80 + 8] == 0:
        table[slot * 80 + 72: slot * 80 + 76] = struct.pack('<i', 1)
open(path, 'wb').write(table)
EOF

# Two panels moved to keys of their own.
"$program" --dir "$data" --set-account-key 7001:text:Panel7001KeyText --set-account-key \
    00C0FFEE:hex:000102030405060708090A0B0C0D0E0F101112131415161718191A1B1C1D1E1F

# 2. The windows, 70 seconds after the start: by then the silent account is missing.
"$program" --dir "$data" --set Mon_Port_Open=0
unset QT_QPA_PLATFORM
xvfb-run -a -s "-screen 0 1280x1024x24" "$program" --dir "$data" --show events,objects,serial,keys \
    --screenshot "$data/shot.png" --screenshot-after 70 &
windows=$!
sleep 6
# The extended-data file cannot be opened any more: new events are in the event log (and
# acknowledged), but their ring slots stay unsaved.
mv "$data/extevn.dat" "$data/extevn.dat.kept"
mkdir "$data/extevn.dat"
event --account 1234 --event 1130 --zone 005 --quality 80 --timeout 2000
event --account 4321 --event 1120 --zone 001 --timeout 2000
wait "$windows" || true
rmdir "$data/extevn.dat"
mv "$data/extevn.dat.kept" "$data/extevn.dat"

# 3. The main window on its "DC-09 Receiver" page (the pictures above show it on the other page).
xvfb-run -a -s "-screen 0 1280x1024x24" "$program" --dir "$data" --screenshot "$data/main.png" \
    --screenshot-after 3

# 4. The Event List with a filter: one account's events of today, from the event log.
today=$(date +%F)
xvfb-run -a -s "-screen 0 1280x1024x24" "$program" --dir "$data" --show events --account 1234 \
    --from "$today" --to "$today" --screenshot "$data/filter.png" --screenshot-after 3

cp "$data/main.png" "$root/docs/main-window.png"
cp "$data/filter-events.png" "$root/docs/event-list-filter.png"
cp "$data/shot-events.png" "$root/docs/event-list.png"
cp "$data/shot-objects.png" "$root/docs/object-list.png"
cp "$data/shot-serial.png" "$root/docs/serial-settings.png"
cp "$data/shot-keys.png" "$root/docs/account-keys.png"
echo "docs/main-window.png, docs/event-list.png, docs/event-list-filter.png, docs/object-list.png," \
    "docs/serial-settings.png and docs/account-keys.png written"
