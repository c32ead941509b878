#!/usr/bin/env bash
# Checks the include layering of the program's folders: every `#include "..."` of ours in a .h or
# .cpp under relay/ record/ decode/ display/ capture/ settings/ shell/ (each qt/ subfolder its own node)
# must be one the dependency table allows, and no two folders may include each other in a circle.
#   relay/                    relay/ only
#   record/                   record/ only (the record line and the stamp line, shared by writer and reader)
#   decode/                   itself, record/ and relay/ (frames and their protocols, no I/O)
#   display/, capture/        themselves, decode/, record/ and relay/
#   settings/                 itself and relay/
#   shell/                    every folder above that has no Qt
#   <sub>/qt/                 <sub>/, what <sub>/ may include, and Qt
#   shell/qt/                 everything
# Prints every folder-to-folder edge it found, then each forbidden include; exits 1 on any fault.
set -euo pipefail
cd "$(dirname "$0")/.."

folders="relay record decode display capture settings shell"
files=$(for f in $folders; do find "$f" \( -name '*.h' -o -name '*.cpp' \) 2>/dev/null; done | sort)

# One line per include of ours: <file> <from-folder> <to-folder> <included path>
# shellcheck disable=SC2086
edges=$(awk -v folders=" $folders " '
    /^[[:space:]]*#[[:space:]]*include[[:space:]]+"/ {
        inc = $0
        sub(/^[^"]*"/, "", inc); sub(/".*$/, "", inc)
        from = FILENAME; sub(/\/[^\/]*$/, "", from)
        to = inc; if (to !~ /\//) to = from; else sub(/\/[^\/]*$/, "", to)
        top = to; sub(/\/.*$/, "", top)
        if (index(folders, " " top " ")) print FILENAME, from, to, inc
    }' $files)

echo "$edges" | awk -v folders="$folders" '
function allowedPlain(from, to) {
    if (from == to) return 1
    if (from == "record") return 0
    if (to == "relay") return 1
    if (to == "record") return from == "decode" || from == "display" || from == "capture" || from == "shell"
    if (to == "decode") return from == "display" || from == "capture" || from == "shell"
    if (from == "shell") return to !~ /\/qt$/
    return 0
}
function allowed(from, to,   base) {
    if (from !~ /\/qt$/) return allowedPlain(from, to)
    if (from == "shell/qt" || from == to) return 1
    base = substr(from, 1, length(from) - 3)
    return to == base || allowedPlain(base, to)
}
NF == 4 {
    file = $1; from = $2; to = $3; inc = $4
    if (from != to) {
        key = from " -> " to
        if (!(key in count)) { order[++n] = key; out[from] = out[from] " " to }
        count[key]++
    }
    if (!allowed(from, to)) { bad[++nbad] = file ": #include \"" inc "\" (" from " may not include " to ")" }
}
END {
    print "Include edges between folders (includes):"
    for (i = 1; i <= n; i++) printf "  %-22s %d\n", order[i], count[order[i]]
    status = 0
    if (nbad > 0) {
        print "Forbidden includes (" nbad "):"
        for (i = 1; i <= nbad; i++) print "  " bad[i]
        status = 1
    } else {
        print "Forbidden includes: none"
    }
    # Folders in a circle: peel off every folder that includes no folder still standing; what
    # cannot be peeled lies on a circle or leads into one.
    for (f in out) alive[f] = 1
    do {
        changed = 0
        for (f in alive) {
            m = split(out[f], tos, " "); live = 0
            for (j = 1; j <= m; j++) if (tos[j] in alive) live = 1
            if (!live) { delete alive[f]; changed = 1 }
        }
    } while (changed)
    left = ""
    for (f in alive) left = left " " f
    if (left != "") {
        print "Folders on or into an include circle:" left
        status = 1
    } else {
        print "Include circles between folders: none"
    }
    exit status
}'
