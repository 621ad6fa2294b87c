#!/bin/sh
echo ready
read line
echo "got:$line"
