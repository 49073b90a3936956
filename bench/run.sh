#!/usr/bin/env bash
# Benchmarks qlfind against its peers on a generated tree, warm cache, several runs each,
# and prints median wall and CPU times and the ratios.
#
#   bench/run.sh [walk|index|window|all]   (default all; builds first; RUNS=5 by default)
#
# walk:  qlfind --no-index, GNU find with the same pruning and name tests (printing size
#        and time, as qlfind's hits carry them), fdfind with the same exclusions.
# index: qlfind with the index phase on a plocate database built over the tree, beside
#        plocate alone answering the same question.
# window: the search window offscreen on a search of 8000 hits beside qlfind alone on the
#        same search (time to the summary, longest main-thread stall, peak memory), and
#        start-up to the readiness marker under Xvfb.
set -euo pipefail
cd "$(dirname "$0")/.."
what=${1:-all}
runs=${RUNS:-5}
scripts/setup.sh >/dev/null
scripts/build.sh >/dev/null

work=${BENCH_DIR:-/tmp/qingluan-bench}
tree=$work/tree
mkdir -p "$work"
if [ ! -f "$work/tree.done" ]; then
    rm -rf "$tree"
    build/bench/gentree "$tree" 30000 300000 1
    touch "$work/tree.done"
fi
qlfind=build/cli/qlfind

media=(mp3 mp4 m4a m4b wav aiff aif m4v mov flac)
skip=(.Trashes .Spotlight-V100 .fseventsd .DocumentRevisions-V100 .TemporaryItems .AppleDouble .DS_Store .Trash
      node_modules .git .svn .hg Caches Cache .npm .yarn .gradle .m2 DerivedData Library "Mobile Documents" System
      private usr opt dev net home cores Applications InstallerSandboxes)
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
for e in "${media[@]}"; do fd_cmd+=(-e "$e"); done
for n in "${skip[@]}"; do fd_cmd+=(-E "$n"); done
for p in "${packages[@]}"; do fd_cmd+=(-E "*.$p"); done
fd_cmd+=(. "$tree")

# measure NAME CMD...: runs CMD once to warm up, then $runs times; records the medians.
declare -A wall cpu mem
measure() {
    local name=$1; shift
    "$@" >/dev/null 2>&1 || true
    local samples=()
    for _ in $(seq "$runs"); do
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

if [ "$what" = walk ] || [ "$what" = all ]; then
    echo "== walk: $(find "$tree" -type d | wc -l) folders, $(find "$tree" -type f | wc -l) files, $runs runs, warm cache =="
    n_ql=$("$qlfind" --no-index --root "$tree" | wc -l)
    n_find=$("${find_cmd[@]}" | wc -l)
    n_fd=$("${fd_cmd[@]}" | wc -l)
    echo "  hits: qlfind $n_ql, find $n_find, fdfind $n_fd"
    if [ "$n_ql" != "$n_find" ] || [ "$n_ql" != "$n_fd" ]; then
        echo "  the three disagree on the number of hits" >&2
        exit 1
    fi
    measure "qlfind --no-index" "$qlfind" --no-index --root "$tree"
    measure "find (same pruning, size+time)" "${find_cmd[@]}"
    measure "fdfind (same exclusions)" "${fd_cmd[@]}"
    echo "  qlfind / fdfind wall: $(ratio "${wall[qlfind --no-index]}" "${wall[fdfind (same exclusions)]}")   (goal <= 0.50)"
    echo "  qlfind / find wall:   $(ratio "${wall[qlfind --no-index]}" "${wall[find (same pruning, size+time)]}")   (goal <= 0.25)"
    echo "  qlfind peak memory:   $(echo "${mem[qlfind --no-index]}" | awk '{printf "%.1f", $1/1024}') MiB   (goal < 64)"
fi

if [ "$what" = index ] || [ "$what" = all ]; then
    db=$work/tree.plocate.db
    if [ ! -f "$db" ] || [ "$work/tree.done" -nt "$db" ]; then
        updatedb -l 0 -U "$tree" -o "$db" --prunefs '' --prunepaths '' --prunenames ''
    fi
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
