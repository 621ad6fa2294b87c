#!/bin/sh
# Ends at once, leaving behind a process that holds standard output open; prints its pid.
sleep 30 &
echo $!
