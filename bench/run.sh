#!/usr/bin/env bash
# Benchmarks qlfind against its peers on a generated tree, several runs each, and prints
# median wall and CPU times, peak memory and the ratios.
#
#   bench/run.sh [walk|index|window|all|memory]   (default all; builds first; RUNS=5 by default)
#
# walk:  warm and cold cache side by side: qlfind --no-index; the same walk with no reader
#        threads (walkbench --readers 0); the one-thread floor (floorwalk: getdents64 and a
#        stat of each hit, nothing else); fdfind with the same exclusions at its default
#        thread count and at -j16; GNU find with the same pruning and name tests (printing
#        size and time, as qlfind's hits carry them). Cold runs drop the page cache before
#        every run, which needs root (COLD_RUNS=3 by default; COLD=0 skips them). The
#        output of qlfind -0 is compared byte for byte with the walk without readers.
# index: qlfind with the index phase on a plocate database built over the tree, beside
#        plocate alone answering the same question.
# window: the search window offscreen on a search of 8000 hits beside qlfind alone on the
#        same search (time to the summary, longest main-thread stall, peak memory), and
#        start-up to the readiness marker under Xvfb.
# memory: qlfind's peak memory on a search of a million hits (HITS= another number) in a
#        tree of its own, walk only, with the index phase, and as JSON, which holds every
#        hit until the search ends (goal for the paths: under 100 MiB). Not part of all:
#        building the tree takes a few minutes the first time.
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
runs=${RUNS:-5}
scripts/setup.sh >/dev/null
scripts/build.sh >/dev/null

work=${BENCH_DIR:-/tmp/qingluan-bench}
tree=$work/tree
mkdir -p "$work"
if [ "$what" != memory ] && [ ! -f "$tree.done" ]; then
    rm -rf "$tree"
    build/bench/gentree "$tree" 30000 300000 1
    touch "$tree.done"
fi
qlfind=build/cli/qlfind
walkbench=build/bench/walkbench
floorwalk=build/bench/floorwalk

media=(mp3 mp4 m4a m4b wav aiff aif m4v mov flac)
# On Linux the macOS system folder names (Library, System, usr, ...) are skipped only
# directly under "/" (Library also at the top of a home folder or volume); the tree is
# neither, so only these are skipped everywhere, with the Trash folders of volumes.
skip=(.Trashes .Spotlight-V100 .fseventsd .DocumentRevisions-V100 .TemporaryItems .AppleDouble .DS_Store .Trash
      node_modules .git .svn .hg Caches Cache .npm .yarn .gradle .m2 DerivedData "Mobile Documents" '.Trash-[0-9]*')
packages=(app bundle framework plugin kext component vst vst3 aaxplugin logicx band photoslibrary musiclibrary
          tvlibrary imovielibrary fcpbundle rtfd pages numbers key xcodeproj xcworkspace pkg mpkg appex xpc prefpane
          qlgenerator mdimporter saver sparsebundle dsym playground xcarchive scptd)

find_cmd=(find "$tree" -mindepth 1 \( -type d \( -name '.?*')
for n in "${skip[@]}"; do find_cmd+=(-o -name "$n"); done
for p in "${packages[@]}"; do find_cmd+=(-o -iname "*.$p"); done
find_cmd+=(\) -prune \) -o \( -type f ! -name '.*' \()
first=1
for e in "${media[@]}"; do
    [ $first = 1 ] || find_cmd+=(-o)
    find_cmd+=(-iname "*.$e"); first=0
done
find_cmd+=(\) -printf '%s %T@ %p\n' \))

fd_cmd=(fdfind --no-ignore -t f)
fd16_cmd=(fdfind -j16 --no-ignore -t f)
for e in "${media[@]}"; do fd_cmd+=(-e "$e"); done
for n in "${skip[@]}"; do fd_cmd+=(-E "$n"); fd16_cmd+=(-E "$n"); done
for p in "${packages[@]}"; do fd_cmd+=(-E "*.$p"); fd16_cmd+=(-E "*.$p"); done
fd_cmd+=(. "$tree")
fd16_cmd+=(. "$tree")

# measure NAME CMD...: runs CMD once to warm up, then $runs times; records the medians.
# With cold=1 set, the page cache is dropped before each of $cold_runs runs instead.
declare -A wall cpu mem
cold=0
cold_runs=${COLD_RUNS:-3}
drop_cache() { sync && echo 3 > /proc/sys/vm/drop_caches; }
measure() {
    local name=$1; shift
    [ "$cold" = 1 ] || "$@" >/dev/null 2>&1 || true
    local samples=()
    for _ in $(seq "$([ "$cold" = 1 ] && echo "$cold_runs" || echo "$runs")"); do
        [ "$cold" = 1 ] && drop_cache
        /usr/bin/time -o "$work/time.txt" -f '%e %U %S %M' "$@" >/dev/null 2>&1 || true
        samples+=("$(tail -1 "$work/time.txt")")
    done
    wall[$name]=$(printf '%s\n' "${samples[@]}" | awk '{print $1}' | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
    cpu[$name]=$(printf '%s\n' "${samples[@]}" | awk '{print $2+$3}' | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}')
    mem[$name]=$(printf '%s\n' "${samples[@]}" | awk '{print $4}' | sort -g | tail -1)
    printf '  %-34s wall %7.3f s   cpu %7.3f s   peak %6.1f MiB\n' "$name" "${wall[$name]}" "${cpu[$name]}" \
        "$(echo "${mem[$name]}" | awk '{print $1/1024}')"
}
ratio() { awk -v a="$1" -v b="$2" 'BEGIN { if (b > 0) printf "%.2f", a / b; else print "n/a" }'; }
# plocate_db TREE: a plocate database of TREE at TREE.plocate.db, rebuilt when TREE.done is newer.
plocate_db() {
    if [ ! -f "$1.plocate.db" ] || [ "$1.done" -nt "$1.plocate.db" ]; then
        updatedb -l 0 -U "$1" -o "$1.plocate.db" --prunefs '' --prunepaths '' --prunenames ''
    fi
}

if [ "$what" = walk ] || [ "$what" = all ]; then
    echo "== walk: $(find "$tree" -type d | wc -l) folders, $(find "$tree" -type f | wc -l) files =="
    n_ql=$("$qlfind" --no-index --root "$tree" | wc -l)
    n_find=$("${find_cmd[@]}" | wc -l)
    n_fd=$("${fd_cmd[@]}" | wc -l)
    echo "  hits: qlfind $n_ql, find $n_find, fdfind $n_fd"
    if [ "$n_ql" != "$n_find" ] || [ "$n_ql" != "$n_fd" ]; then
        echo "  the three disagree on the number of hits" >&2
        exit 1
    fi
    "$qlfind" --no-index -0 --root "$tree" > "$work/parallel.out"
    "$walkbench" --readers 0 "$tree" > "$work/sequential.out"
    if ! cmp -s "$work/parallel.out" "$work/sequential.out"; then
        echo "  qlfind -0 differs from the walk without readers" >&2
        exit 1
    fi
    echo "  qlfind -0 and the walk without readers: byte-identical ($(wc -c < "$work/parallel.out") bytes)"

    names=("qlfind --no-index" "walk without readers" "one-thread floor" "fdfind (default threads)" "fdfind -j16"
           "find (same pruning)")
    run_all() {
        measure "${1}qlfind --no-index" "$qlfind" --no-index --root "$tree"
        measure "${1}walk without readers" "$walkbench" --readers 0 "$tree"
        measure "${1}one-thread floor" "$floorwalk" "$tree"
        measure "${1}fdfind (default threads)" "${fd_cmd[@]}"
        measure "${1}fdfind -j16" "${fd16_cmd[@]}"
        measure "${1}find (same pruning)" "${find_cmd[@]}"
    }
    echo "  -- warm cache, $runs runs each"
    run_all "warm "
    can_cold=0
    if [ "${COLD:-1}" = 1 ] && [ "$(id -u)" = 0 ] && drop_cache 2>/dev/null; then
        can_cold=1
        echo "  -- cold cache (page cache dropped before every run), $cold_runs runs each"
        cold=1
        run_all "cold "
        cold=0
    elif [ "${COLD:-1}" = 1 ]; then
        echo "  -- cold cache: NOT MEASURED: dropping the page cache needs root (sync; echo 3 > /proc/sys/vm/drop_caches)"
    fi

    echo "  -- side by side (median wall seconds; peak MiB)"
    printf '  %-26s %8s %8s %8s\n' "" warm cold "peak"
    for n in "${names[@]}"; do
        c="-"
        [ "$can_cold" = 1 ] && c=${wall[cold $n]}
        printf '  %-26s %8s %8s %8.1f\n' "$n" "${wall[warm $n]}" "$c" "$(echo "${mem[warm $n]}" | awk '{print $1/1024}')"
    done
    q="qlfind --no-index"
    echo "  warm: qlfind / one-thread floor $(ratio "${wall[warm $q]}" "${wall[warm one-thread floor]}")   (goal <= 1.3)"
    echo "  warm: qlfind / walk without readers $(ratio "${wall[warm $q]}" "${wall[warm walk without readers]}")"
    echo "  warm: qlfind / fdfind $(ratio "${wall[warm $q]}" "${wall[warm fdfind (default threads)]}"),  / find $(ratio "${wall[warm $q]}" "${wall[warm find (same pruning)]}")"
    if [ "$can_cold" = 1 ]; then
        echo "  cold: qlfind / fdfind default $(ratio "${wall[cold $q]}" "${wall[cold fdfind (default threads)]}")   (goal <= 0.8)"
        echo "  cold: qlfind / fdfind -j16 $(ratio "${wall[cold $q]}" "${wall[cold fdfind -j16]}")   (goal <= 1.2)"
        echo "  cold: qlfind / walk without readers $(ratio "${wall[cold $q]}" "${wall[cold walk without readers]}")"
    fi
    echo "  qlfind peak memory: $(echo "${mem[warm $q]}" | awk '{printf "%.1f", $1/1024}') MiB   (goal < 64)"
fi

if [ "$what" = index ] || [ "$what" = all ]; then
    plocate_db "$tree"
    db=$tree.plocate.db
    regex='\.(mp3|mp4|m4a|wav|aiff|aif|m4v|mov|flac)$'
    echo "== index phase: plocate database over the same tree, $runs runs =="
    echo "  paths the tool has for the question: $(plocate -d "$db" -b -i -N -c --regex "$regex")"
    measure "qlfind walk only" "$qlfind" --no-index --root "$tree"
    measure "qlfind walk + index" "$qlfind" --index-db "$db" --root "$tree"
    measure "plocate alone (20000 paths)" plocate -d "$db" -b -i -0 -N -l 20000 --regex "$regex"
    cost=$(awk -v a="${wall[qlfind walk + index]}" -v b="${wall[qlfind walk only]}" 'BEGIN { printf "%.3f", a - b }')
    echo "  index phase cost $cost s; / plocate alone: $(ratio "$cost" "${wall[plocate alone (20000 paths)]}")   (goal <= 2)"

    kw=live
    measure "qlfind walk only, keyword" "$qlfind" --no-index --root "$tree" "$kw"
    measure "qlfind walk + index, keyword" "$qlfind" --index-db "$db" --root "$tree" "$kw"
    measure "plocate alone, keyword (trigrams)" plocate -d "$db" -b -i -0 -N "$kw"
    measure "plocate, keyword + regex (scan)" plocate -d "$db" -b -i -0 -N --regex "$regex" "$kw"
    cost=$(awk -v a="${wall[qlfind walk + index, keyword]}" -v b="${wall[qlfind walk only, keyword]}" 'BEGIN { printf "%.3f", a - b }')
    echo "  index phase cost with keyword $cost s; / plocate alone: $(ratio "$cost" "${wall[plocate alone, keyword (trigrams)]}")   (goal <= 2)"
    echo "  keyword by trigrams / by regular expression: $(ratio "${wall[plocate alone, keyword (trigrams)]}" "${wall[plocate, keyword + regex (scan)]}")"
fi

if [ "$what" = window ] || [ "$what" = all ]; then
    echo "== window: a search of 8000 hits (keyword '-'), $runs runs =="
    : > "$work/window.txt"
    for _ in $(seq "$runs"); do build/bench/windowbench "$tree" - 2>/dev/null >> "$work/window.txt"; done
    med() { awk -v c="$1" '{print $c}' "$work/window.txt" | sort -g | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}'; }
    worst() { awk -v c="$1" '{print $c}' "$work/window.txt" | sort -g | tail -1; }
    measure "qlfind alone, same search" "$qlfind" --root "$tree" --limit 8000 -- -
    printf '  %-34s wall %7.3f s   (hits %s)\n' "window, request to summary" "$(med 1)" "$(med 4)"
    echo "  window / qlfind wall: $(ratio "$(med 1)" "${wall[qlfind alone, same search]}")   (goal <= 1.2)"
    echo "  longest main-thread stall: median $(med 2) ms, worst $(worst 2) ms   (goal < 50)"
    echo "  peak memory after the search: $(worst 3 | awk '{printf "%.1f", $1/1024}') MiB   (goal < 150)"

    home=$(mktemp -d /tmp/qingluan-start-XXXXXX)
    exec 3> "$home/display"
    Xvfb -displayfd 3 -screen 0 1280x800x24 -nolisten tcp >/dev/null 2>&1 &
    xvfb=$!
    exec 3>&-
    for _ in $(seq 50); do [ -s "$home/display" ] && break; sleep 0.1; done
    : > "$home/start.txt"
    for _ in $(seq "$runs"); do
        rm -rf "$home/h"; mkdir -p "$home/h"
        t0=$(date +%s%N)
        HOME="$home/h" DISPLAY=":$(head -n1 "$home/display")" build/app/qingluan >/dev/null 2>&1 &
        app=$!
        while [ ! -s "$home/h/.local/share/QingLuanXunQu/ui_ready.txt" ]; do sleep 0.005; done
        echo $(( ($(date +%s%N) - t0) / 1000000 )) >> "$home/start.txt"
        kill "$app"; wait "$app" 2>/dev/null || true
    done
    kill "$xvfb"
    echo "  start-up to readiness marker under Xvfb: median $(sort -n "$home/start.txt" | awk '{a[NR]=$1} END {print a[int((NR+1)/2)]}') ms   (goal < 1000)"
    rm -rf "$home"
fi

if [ "$what" = memory ]; then
    hits=${HITS:-1000000}
    mtree=$work/memory-$hits/tree
    if [ ! -f "$mtree.done" ]; then
        rm -rf "$mtree"
        # A thousand empty tracks a folder, under names as long as a music collection's.
        per=1000
        for ((d = 0; d * per < hits; d++)); do
            dir="$mtree/Artist $((d / 20)) Collective/Album $d (Deluxe Edition)"
            mkdir -p "$dir"
            n=$((hits - d * per < per ? hits - d * per : per))
            (cd "$dir" && seq -f "%04g Track Title (Extended Club Mix).mp3" 1 "$n" | xargs -d '\n' touch)
        done
        touch "$mtree.done"
    fi
    plocate_db "$mtree"
    echo "== qlfind peak memory, $hits hits (mean path $(find "$mtree" -type f | head -1000 | awk '{ n += length($0) + 1 } END { printf "%d", n / NR }') bytes), $runs runs =="
    got=$("$qlfind" --no-index --root "$mtree" | wc -l)
    [ "$got" = "$hits" ] || { echo "qlfind found $got hits, not $hits" >&2; exit 1; }
    measure "paths, walk only" "$qlfind" --no-index --root "$mtree"
    measure "paths, walk + index" "$qlfind" --index-db "$mtree.plocate.db" --root "$mtree"
    measure "JSON, walk only" "$qlfind" --no-index --json --root "$mtree"
    for name in "paths, walk only" "paths, walk + index" "JSON, walk only"; do
        echo "  $name: $(awk -v kb="${mem[$name]}" -v n="$hits" 'BEGIN { printf "%.0f", kb * 1024 / n }') bytes a hit"
    done
    echo "  goal for paths: under 100 MiB"
fi
