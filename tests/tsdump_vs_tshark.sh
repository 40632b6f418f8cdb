#!/bin/sh
# tsdump and tshark must decode the same UDP datagrams from a capture:
# addresses, ports, destination MAC and payload length, in order.
# Usage: tsdump_vs_tshark.sh TSDUMP CAPTURE PID
set -eu
tsdump=$1
capture=$2
pid=$3
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

"$tsdump" --pid "$pid" "$capture" 2>/dev/null | grep ' -> ' > "$work/ours"
# tshark prints one row per datagram; the payload length is the UDP length less 8.
tshark -r "$capture" -Y "udp && mp2t.pid == $pid" -T fields -E separator=/t \
    -e ip.src -e udp.srcport -e ip.dst -e udp.dstport -e dvb_data_mpe.dst_mac -e udp.length 2>/dev/null |
    awk -F'\t' '{ printf "%s:%s -> %s:%s mac %s length %d\n", $1, $2, $3, $4, $5, $6 - 8 }' > "$work/theirs"

ours=$(wc -l < "$work/ours")
theirs=$(wc -l < "$work/theirs")
if [ "$ours" -eq 0 ]; then
    echo "tsdump decoded no datagram from $capture"
    exit 1
fi
if ! diff -u "$work/theirs" "$work/ours" > "$work/diff"; then
    echo "tsdump ($ours datagrams) and tshark ($theirs datagrams) disagree:"
    head -20 "$work/diff"
    exit 1
fi
echo "tsdump and tshark agree on $ours datagrams"
