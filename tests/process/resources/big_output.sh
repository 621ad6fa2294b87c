#!/bin/sh
# Writes $1 bytes of text.
head -c "$1" /dev/zero | tr "\\0" "a"
