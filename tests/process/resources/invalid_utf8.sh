#!/bin/sh
# Invalid bytes in two reads (the first after a byte order mark), an end
# marker, and a character the end cuts off.
printf "\357\273\277ok\377"
sleep 0.2
printf "\355\240\200\n<DO>\n\303"
