#!/bin/sh
echo out
echo err >&2
