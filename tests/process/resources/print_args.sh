#!/bin/sh
# Prints each argument on a line of its own, then exits with $TGW_EXIT or 0.
for a in "$@"; do echo "arg:$a"; done
exit "${TGW_EXIT:-0}"
