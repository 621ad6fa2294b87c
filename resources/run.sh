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
# and the end marker as two separate answers.
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

output=$(mktemp "${TMPDIR:-/tmp}/run.sh.XXXXXX") || exit 1
trap 'rm -f "$output"' EXIT
"$tool" "$@" >"$output" 2>&1
status=$?
echo "<DO>" >>"$output"
cat "$output"
exit "$status"
