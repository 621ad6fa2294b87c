# Shared by the stand-in device tools: logs the call when asked, reads the
# phones the test lists, and hangs when told to.
#
# $FAKE_PHONES names a file with one line per phone or instruction:
#   android <serial> <state> [<model>]   state: device, unauthorized, offline,
#                                          noperm (no USB permission)
#   apple <udid> paired <device name>
#   apple <udid> unpaired
#   adb-daemon-start                     adb first reports starting its server
#   hang <tool>                          that tool never answers
# $DEVICE_TOOLS_ARGS: a file each tool appends "<tool> <arguments>" to, or
# "stdout" to print that line before the answer. Calls other than the
# listings answer nothing and succeed, so they show only their arguments.
phones=${FAKE_PHONES:-/dev/null}
tool=${0##*/}
case "${DEVICE_TOOLS_ARGS:-}" in
    "") ;;
    stdout) echo "$tool $*" ;;
    *) echo "$tool $*" >>"$DEVICE_TOOLS_ARGS" ;;
esac
if grep -qx "hang $tool" "$phones" 2>/dev/null; then
    case "$*" in start-server | kill-server) ;; *) exec sleep 600 ;; esac
fi
