#!/usr/bin/env bash
# Peak memory of qlfind on a search of many hits (default 1,000,000; goal: under 100 MB),
# walk only and with the index phase, beside the same search printed as JSON, which holds
# every hit until the search ends.
#
#   bench/qlfind-memory.sh [HITS]   (builds first; the tree is kept for the next run)
set -euo pipefail
cd "$(dirname "$0")/.."
hits=${1:-1000000}
scripts/setup.sh >/dev/null
scripts/build.sh >/dev/null
qlfind=build/cli/qlfind

work=${BENCH_DIR:-/tmp/qingluan-bench}/memory-$hits
tree=$work/tree
if [ ! -f "$work/tree.done" ]; then
    rm -rf "$tree"
    # A thousand empty tracks a folder, under names as long as a music collection's.
    per=1000
    for ((d = 0; d * per < hits; d++)); do
        dir="$tree/Artist $((d / 20)) Collective/Album $d (Deluxe Edition)"
        mkdir -p "$dir"
        n=$((hits - d * per < per ? hits - d * per : per))
        (cd "$dir" && seq -f "%04g Track Title (Extended Club Mix).mp3" 1 "$n" | xargs -d '\n' touch)
    done
    touch "$work/tree.done"
fi
db=$work/tree.plocate.db
if [ ! -f "$db" ] || [ "$work/tree.done" -nt "$db" ]; then
    updatedb -l 0 -U "$tree" -o "$db" --prunefs '' --prunepaths '' --prunenames ''
fi

echo "== qlfind peak memory, $hits hits (mean path $(find "$tree" -type f | head -1000 | awk '{ n += length($0) + 1 } END { printf "%d", n / NR }') bytes) =="
got=$("$qlfind" --no-index --root "$tree" | wc -l)
[ "$got" = "$hits" ] || { echo "qlfind found $got hits, not $hits" >&2; exit 1; }
measure() {
    local name=$1; shift
    /usr/bin/time -o "$work/time.txt" -f '%M %e' "$@" >/dev/null
    read -r kb secs < "$work/time.txt"
    printf '  %-28s peak %7.1f MiB   wall %6.2f s   (%.0f bytes a hit)\n' "$name" "$(echo "$kb" | awk '{print $1/1024}')" \
        "$secs" "$(echo "$kb $hits" | awk '{print $1 * 1024 / $2}')"
}
measure "paths, walk only" "$qlfind" --no-index --root "$tree"
measure "paths, walk + index" "$qlfind" --index-db "$db" --root "$tree"
measure "JSON, walk only" "$qlfind" --no-index --json --root "$tree"
echo "  goal for paths: under 100 MiB"
