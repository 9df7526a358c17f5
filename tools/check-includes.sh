#!/usr/bin/env bash
# Folders are layers and include only downward. Fails, naming each file and line, when a file
# includes one of our headers from a layer of the same rank or above, or when a program reaches
# into the module past its interface. Layers of one rank do not know each other (device and
# transport; host and app); a program knows only its own folder among the programs.
# Usage: tools/check-includes.sh [source root]
set -euo pipefail
cd "${1:-$(dirname "$0")/..}"

folders=(platform common device transport netcomp provider host app web programs tests bench tools)
present=()
for folder in "${folders[@]}"; do [ -d "$folder" ] && present+=("$folder"); done

grep -rnE '^[[:space:]]*#[[:space:]]*include[[:space:]]*"[^/"]+/' \
  --include='*.h' --include='*.cpp' --include='*.c' --include='*.inc' "${present[@]}" |
  awk '
    BEGIN {
      split("platform=0 common=1 device=2 transport=2 netcomp=3 provider=4 host=5 app=5 web=6 " \
            "programs=7 tests=8 tools=8 bench=9", pairs, " ")
      for (i in pairs) { split(pairs[i], kv, "="); rank[kv[1]] = kv[2] }
      # What a program may see of the module: its interface, nothing beneath it.
      split("common device transport netcomp platform provider", inner, " ")
      for (i in inner) internal[inner[i]] = 1
    }
    function fail(message) {
      printf "%s:%s: %s\n", file, line, message > "/dev/stderr"
      failed = 1
    }
    {
      split($0, parts, ":")
      file = parts[1]; line = parts[2]
      own = file; sub(/\/.*/, "", own)
      path = $0; sub(/^[^"]*"/, "", path); sub(/".*$/, "", path)
      target = path; sub(/\/.*/, "", target)
      # A header of ours always starts with its folder; anything else is not ours.
      if (!(target in rank)) next
      if (own == "programs") {
        split(file, f, "/"); split(path, t, "/")
        if (target == "programs" && t[2] != f[2])
          fail("program " f[2] " includes " path " of program " t[2])
        else if ((target in internal) && path != "provider/env_provider.h")
          fail("program " f[2] " includes the module internal " path \
               " (use host/ or provider/env_provider.h)")
        next
      }
      if (target == own || rank[target] < rank[own]) next
      fail(own " (layer " rank[own] ") includes " path " (layer " rank[target] ")")
    }
    END {
      if (failed) {
        print "check-includes: an include points up, sideways or past the module interface; " \
              "move the code down or the include up" > "/dev/stderr"
        exit 1
      }
      print "check-includes: every include points down"
    }'
