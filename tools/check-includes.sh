#!/usr/bin/env bash
# Folders are layers and include only downward. Fails, naming each file and line, when a file of a
# layer includes one of our headers from a layer of the same rank or above; the two layers of
# rank 2 (device, transport) do not know each other. Usage: tools/check-includes.sh [source root]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

layers=(platform common device transport netcomp provider host)
grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' \
  --include='*.h' --include='*.cpp' --include='*.c' "${layers[@]}" |
  awk '
    BEGIN {
      split("platform=0 common=1 device=2 transport=2 netcomp=3 provider=4 host=5 tools=5 " \
            "tests=6 bench=6", pairs, " ")
      for (i in pairs) { split(pairs[i], kv, "="); rank[kv[1]] = kv[2] }
    }
    {
      split($0, parts, ":")
      own = parts[1]; sub(/\/.*/, "", own)
      target = $0; sub(/^[^"]*"/, "", target); sub(/\/.*/, "", target)
      # A header of ours always starts with its folder; anything else is not ours.
      if (!(target in rank) || target == own || rank[target] < rank[own]) next
      printf "%s:%s: %s (layer %d) includes %s (layer %d)\n", parts[1], parts[2], own, \
             rank[own], target, rank[target] > "/dev/stderr"
      failed = 1
    }
    END {
      if (failed) {
        print "check-includes: a layer includes upward or sideways; move the code down or the " \
              "include up" > "/dev/stderr"
        exit 1
      }
      print "check-includes: every include points down"
    }'
