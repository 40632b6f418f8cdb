#!/bin/sh
# tsdump's --pid: decimal, or hexadecimal after 0x; anything else is a usage
# error (exit 2) that names the value.
# Usage: tsdump_pid_args.sh CAPTURE TSDUMP-COMMAND...
capture=$1
shift
failures=0

# check VALUE STATUS PID COMMAND...: the exit status, and for an accepted
# value the line saying which PID is followed.
check() {
    value=$1 status=$2 pid=$3
    shift 3
    said=$("$@" --quiet --pid "$value" "$capture" 2>&1 >/dev/null </dev/null)
    got=$?
    if [ "$got" != "$status" ]; then
        echo "--pid '$value': exit $got, expected $status: $said"
        failures=$((failures + 1))
        return
    fi
    if [ -n "$pid" ]; then
        case "$said" in
            *"following PID $pid "*) ;;
            *) echo "--pid '$value': expected PID $pid, got: $said"; failures=$((failures + 1)) ;;
        esac
    else
        case "$said" in
            *"--pid wants a number from 0 to 8191"*"'$value'"*) ;;
            *) echo "--pid '$value': no clear message: $said"; failures=$((failures + 1)) ;;
        esac
    fi
}

while read -r value status pid; do
    [ "$value" = "''" ] && value=""
    check "$value" "$status" "$pid" "$@"
done <<'TABLE'
1001 0 1001
0x3E9 0 1001
0X3e9 0 1001
010 0 10
0 0 0
8191 0 8191
0x1FFF 0 8191
'' 2
8192 2
0x2000 2
0x 2
-1 2
+5 2
12abc 2
abc 2
0o17 2
99999999999999999999999 2
0x3E9z 2
TABLE

[ "$failures" = 0 ] || exit 1
echo "all --pid cases as expected"
