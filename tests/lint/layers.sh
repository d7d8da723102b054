#!/bin/sh
# layers.sh SRC ROOM...: the rooms of SRC lowest first (TARN_ROOMS). Fails,
# naming the line, when a file includes a header from a room above its own
# or from a room that is not listed.
set -u
src=$1
shift
rank() {
    i=0
    for room in "$@"; do
        [ "$room" = "$ROOM" ] && echo $i && return
        i=$((i + 1))
    done
    echo -1
}
status=0
for file in "$src"/*/*.h "$src"/*/*.cpp; do
    ROOM=$(basename "$(dirname "$file")") own=$(rank "$@")
    for inc in $(sed -n 's|^#include "\([a-z_]*\)/.*"|\1|p' "$file" | sort -u); do
        ROOM=$inc theirs=$(rank "$@")
        if [ "$own" -lt 0 ] || [ "$theirs" -lt 0 ] || [ "$theirs" -gt "$own" ]; then
            echo "${file#"$src"/} includes $(grep -m1 "^#include \"$inc/" "$file")"
            status=1
        fi
    done
done
exit $status
