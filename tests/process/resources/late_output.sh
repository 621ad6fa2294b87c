#!/bin/sh
# Ends at once; a process it leaves behind writes to both streams a little later.
(sleep 0.3; echo late; echo late-err >&2) &
echo early
