#!/bin/sh
# Invalid bytes in two reads, an end marker, and a character the end cuts off.
printf "ok\377"
sleep 0.2
printf "\355\240\200\n<DO>\n\303"
