#!/bin/sh
# Runs $KESTROVA_PROGRAM with the arguments help2man gives (--help,
# --version) and puts its usage lines the way help2man reads a synopsis:
# "Usage: PROGRAM ..." with each further form on a line "   or: PROGRAM ...",
# and a usage wrapped onto an indented "[...]" line joined back into one.
"$KESTROVA_PROGRAM" "$@" | awk '
  NR == 1 && /^usage: / { sub(/^usage: /, "Usage: "); line = $0; usage = 1; next }
  usage && /^ +\[/ { sub(/^ +/, " "); line = line $0; next }
  usage && /^ +kestrova/ { print line; sub(/^ +/, "   or: "); line = $0; next }
  usage { print line; usage = 0 }
  { print }
  END { if (usage) print line }'
