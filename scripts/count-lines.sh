#!/usr/bin/env bash
# How big the tests are next to the product code: non-blank lines that are not wholly
# comments, over the files git tracks.
#   tests: tests/ (*.cpp *.h *.sh)
#   code:  engine actions players window app platform cli (*.cpp *.h *.mm *.sh)
# bench/ and scripts/ count on neither side. A line is a comment when, after leading
# blanks, it starts with // (or, in a shell script, with # but not #!).
# Prints both counts and the tests' share of the whole; --check exits 1 when the tests are
# more than a third of it, otherwise the exit status is always 0. --files lists per file.
set -euo pipefail
cd "$(dirname "$0")/.."

check=false
perfile=false
for a in "$@"; do
    case $a in
        --check) check=true ;;
        --files) perfile=true ;;
        -h|--help) sed -n '2,9p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "count-lines.sh: unknown option '$a'" >&2; exit 2 ;;
    esac
done

# Prints "count path" for each file given on standard input (NUL-separated).
count_files() {
    xargs -0 -r awk '
        FNR == 1 { if (file != "") print n, file; file = FILENAME; n = 0; sh = FILENAME ~ /\.sh$/ }
        /^[[:space:]]*$/ { next }
        /^[[:space:]]*\/\// { next }
        sh && /^[[:space:]]*#/ && !/^#!/ { next }
        { ++n }
        END { if (file != "") print n, file }'
}

tests_list=$(git ls-files -z -- 'tests/*.cpp' 'tests/*.h' 'tests/*.sh' | count_files)
code_patterns=()
for d in engine actions players window app platform cli; do
    code_patterns+=("$d/*.cpp" "$d/*.h" "$d/*.mm" "$d/*.sh")
done
code_list=$(git ls-files -z -- "${code_patterns[@]}" | count_files)

sum() { awk '{ s += $1 } END { print s + 0 }'; }
tests=$(printf '%s\n' "$tests_list" | sed '/^$/d' | sum)
code=$(printf '%s\n' "$code_list" | sed '/^$/d' | sum)

if $perfile; then
    echo "== tests =="; printf '%s\n' "$tests_list" | sort -rn
    echo "== code =="; printf '%s\n' "$code_list" | sort -rn
fi

total=$((tests + code))
share=$(awk -v t="$tests" -v s="$total" 'BEGIN { printf "%.1f", s ? 100 * t / s : 0 }')
ratio=$(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.2f", c ? t / c : 0 }')
echo "tests: $tests lines"
echo "code:  $code lines"
echo "tests are ${share}% of tests + code (${ratio} of the code)"
# Integer comparisons: 4 * tests < total is "under a quarter", 3 * tests > total "over a third".
if ((4 * tests < total)); then
    echo "below the 25-33% range: under a quarter"
elif ((3 * tests > total)); then
    # A third of tests + code is half the code.
    echo "above the 25-33% range: more than a third (at most $((code / 2)) test lines for this code: $((tests - code / 2)) over)"
else
    echo "within the 25-33% range"
fi

if $check && ((3 * tests > total)); then
    exit 1
fi
exit 0
