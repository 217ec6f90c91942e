#!/bin/sh
# Prints PROGRAM's own --help text as a docs section for its manual page, the program named NAME rather than
# by the path it was run from: usage_text.sh PROGRAM NAME
set -eu
help=$("$1" --help)
printf '## Usage text\n\nThe text `%s --help` prints:\n\n' "$2"
printf '%s\n' "$help" | sed -e "1s|^Usage: [^ ]*|Usage: $2|" -e 's/^/    /'
