#!/bin/sh
# Prints "PROGRAM --help" for help2man, which appends its own --help to this script's command line.
# A blank line where option lines and prose lines meet lets help2man list each option under its own heading;
# the words themselves are the program's own.
"$1" --help | awk '{ option = ($0 ~ /^ +-/) } NR > 1 && option != previous { print "" } { print; previous = option }'
