#!/bin/sh
printf "caf\303"
sleep 0.3
printf "\251\n"
