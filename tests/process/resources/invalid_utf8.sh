#!/bin/sh
printf "ok\377\n"
