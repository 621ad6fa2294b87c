#!/bin/sh
# Writes its pid to the file $1, then sleeps (as that pid) for 30 s. With
# "ignore-term" as $2 it ignores SIGTERM, and so does the sleep.
[ "$2" = ignore-term ] && trap '' TERM
echo $$ >"$1"
exec sleep 30
