#!/usr/bin/env bash
# The trace's pcap file as another tool reads it: tshark with the Lua
# dissector prints each frame decoded, as the board's own trace does.
#   pcap_tshark_test.sh BOARD_BIN DISSECTOR
set -u
board=$1 dissector=$2
command -v tshark >/dev/null || { echo "tshark is not installed"; exit 77; }
tmp=$(mktemp -d /tmp/quorvel-pcap-XXXXXX)
trap 'rm -rf "$tmp"' EXIT
chmod 755 "$tmp"
cp "$dissector" "$tmp/quorvel.lua"
"$board" -c "open /dev/quorvel_config; ioctl 3 CONFIG_IOCTL_VERSION 00 00; trace -w $tmp/trace.pcap" \
    </dev/null >"$tmp/board.txt" 2>&1 || { cat "$tmp/board.txt"; echo "FAIL: the board"; exit 1; }
chmod 644 "$tmp"/*
# Wireshark runs no Lua scripts of a user for root: read as nobody then.
run=()
[[ $(id -u) -eq 0 ]] && run=(setpriv --reuid=65534 --regid=65534 --clear-groups env HOME="$tmp")
"${run[@]}" tshark -X "lua_script:$tmp/quorvel.lua" -r "$tmp/trace.pcap" >"$tmp/tshark.txt" 2>&1
cat "$tmp/tshark.txt"
grep -Eq -- '-> CONFIG CONTROL \[1e\] crc ok tail [0-9a-f]{2}' "$tmp/tshark.txt" || { echo "FAIL: request"; exit 1; }
grep -Eq -- '<- CONFIG CONTROL st 0 \[01 07\] crc ok tail [0-9a-f]{2}' "$tmp/tshark.txt" || { echo "FAIL: reply"; exit 1; }
echo "1 passed, 0 failed"
