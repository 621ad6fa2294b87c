#!/bin/sh
# Stands in for run.sh: echoes its one argument, then answers per $FAKE_RUN_MODE.
echo "cmd:$1"
case "${FAKE_RUN_MODE:-ok}" in
    ok) echo "<plist><dict/></plist>"; echo "<DO>" ;;
    nodevice) echo "No device found." ;;
    cantconnect) echo "ERROR: Could not connect to lockdownd" ;;
    flood) head -c 209715200 /dev/zero | tr "\\0" "x" ;;
    upper) echo "ERROR: something"; echo "<DONE>" ;;
esac
exit "${FAKE_RUN_EXIT:-0}"
