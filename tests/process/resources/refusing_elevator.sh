#!/bin/sh
# Stands in for pkexec when the user dismisses the dialog.
exit 126
