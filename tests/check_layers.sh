#!/usr/bin/env bash
# The layers include one way only: app -> ui, components -> core -> link, records -> base.
# Prints every include that goes the wrong way and fails if there is one.
set -euo pipefail
root="$(cd "$(dirname "$0")/.." && pwd)"
cd "$root"
bad=0
check() {  # folder, then the folders it may include from
    local folder=$1; shift
    local allowed="$*"
    while IFS= read -r line; do
        file=${line%%:*}
        inc=$(sed -E 's/.*#include "([a-z_]+)\/.*/\1/' <<<"$line")
        [[ " $allowed " == *" $inc "* ]] && continue
        echo "$file includes $inc/: $line"
        bad=1
    done < <(grep -Hn '#include "[a-z_]*/' "$folder"/*.h "$folder"/*.cpp 2>/dev/null || true)
    # The plain-C++ layers use no Qt at all.
    if [[ $folder == base || $folder == link || $folder == records || $folder == core ]]; then
        if grep -Hn '#include <Q' "$folder"/*.h "$folder"/*.cpp 2>/dev/null; then bad=1; fi
    fi
}
check base base
check link link base
check records records base
check core core link records base
check components components core link records base
check ui ui core link records base
check app app ui components core link records base tools
# Window-control handler names (Form_Load, tmrX_Timer, mnuX_Click, cmdX_Click) belong to the
# window: the core and the rest name what they do.
while IFS= read -r line; do
    echo "window-control handler declared outside ui/: $line"
    bad=1
done < <(grep -HnE '^[^/]*\b(void|bool|int)\s+([A-Za-z_]+::)?(Form_[A-Za-z]+|tmr[A-Za-z0-9]+_Timer|(mnu|cmd)[A-Za-z0-9]+_Click)\s*\(' \
    base/* link/* records/* core/* components/* app/* 2>/dev/null || true)
exit $bad
