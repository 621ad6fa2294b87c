#!/bin/sh
# Runs one device tool and marks its end.
#
# Takes exactly one argument: a command line made of an absolute tool path and
# options separated by blanks. The words are split on blanks only: nothing in
# the argument is evaluated by the shell (no globbing, no ";", "$(...)" or
# redirection). When the absolute path does not exist, the tool of the same base
# name is taken from PATH. The tool's standard output and standard error pass
# through; after the tool ends a line "<DO>" follows.
#
# The tool's output is passed on when the tool has ended, in one write together
# with "<DO>", so that a reader never sees a failure text ("No device found")
# and the end marker as two separate answers. Device selection such as
# "-u UDID" is just more words of the command line.
if [ "$#" -ne 1 ]; then
    echo "error: run.sh takes exactly one argument, the tool's command line" >&2
    exit 2
fi

set -f
IFS=' 	'
# shellcheck disable=SC2086  # splitting on blanks is the point; globbing is off
set -- $1
unset IFS

tool=$1
if [ -z "$tool" ]; then
    echo "error: run.sh got an empty command line" >&2
    exit 2
fi
shift
case "$tool" in
    /*) ;;
    *) echo "error: run.sh needs an absolute tool path, got: $tool" >&2; exit 2 ;;
esac
if [ ! -f "$tool" ] || [ ! -x "$tool" ]; then
    name=${tool##*/}
    found=
    IFS=:
    for dir in $PATH; do
        case "$dir" in /*) ;; *) continue ;; esac
        if [ -f "$dir/$name" ] && [ -x "$dir/$name" ]; then
            found=$dir/$name
            break
        fi
    done
    unset IFS
    if [ -z "$found" ]; then
        echo "error: $name is not installed" >&2
        exit 127
    fi
    tool=$found
fi

tmp=${TMPDIR:-/tmp}
case "$tmp" in /*) ;; *) tmp=/tmp ;; esac
output=$(mktemp "$tmp/run.sh.XXXXXX") || exit 1
# The file is removed as soon as it is open and then used through descriptors
# 3 (write) and 4 (read), so nothing of the device's output stays on disk
# however run.sh ends, SIGKILL included; the traps cover the moment before.
trap 'rm -f "$output"' EXIT
for sig in HUP INT TERM; do
    # shellcheck disable=SC2064  # the signal's name is meant to be fixed now
    trap "rm -f \"\$output\"; trap - $sig; kill -$sig \$\$" "$sig"
done
# shellcheck disable=SC2094  # one descriptor writes, the other reads: on purpose
exec 3>"$output" 4<"$output"
rm -f "$output"
"$tool" "$@" >&3 2>&3 3>&- 4<&-
status=$?
echo "<DO>" >&3
exec 3>&-
cat <&4
exit "$status"
