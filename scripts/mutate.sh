#!/usr/bin/env bash
# Mutation testing: plants each fault of scripts/mutations.txt in the product code, one at
# a time, rebuilds incrementally, runs the whole suite (end-to-end tests included) and
# tells whether some test failed on it.
#
#   scripts/mutate.sh [options] [PATTERN...]
#
# PATTERNs are extended regular expressions matched against the labels; without any,
# every entry runs. Options:
#   --list            list the chosen entries (label, file, whether the text is found
#                     once) and stop
#   --from TABLE      run the faults named in the first column of an earlier table (such
#                     as scripts/mutation-baseline.txt), to compare like with like
#   --faults FILE     the list of faults (default scripts/mutations.txt)
#   --resume          keep the results of an earlier run and run only what is missing
#   --all-tests       run every test on each fault (default: stop at the first failure)
#   --tests REGEX     run only the tests that match (ctest -R), for a quick look
#   --order TABLE     run first, for each fault, the tests that TABLE (an earlier result
#                     table) names in its FAILING TESTS column for the same label, and the
#                     rest of the suite only when they all pass: the same results as the
#                     whole suite, sooner. May be given more than once: a label takes its
#                     tests from the first table that names some. Ignored with --tests
#   --timeout SECS    limit for one test function and for one test without a limit of
#                     its own (default 240); a whole run gets 3 times the clean run + 120 s
#   --out FILE        also write the table to FILE
#   --build DIR       build folder (default build-mutate)
#   --shared-tmp      run the tests with the machine's /tmp; by default, where the system
#                     allows it (root, unshare), they get a private, empty /tmp (a folder
#                     of BUILD bound there), so that files other people leave in /tmp
#                     cannot decide a whole-disk search
#
# Each fault is applied to the working tree and taken back with git checkout, also when
# the run is interrupted, so the files it touches must be unmodified: the script refuses
# to start otherwise. The clean tree is built and tested first; a test that fails there
# is left out of every run and named. Results:
#   KILLED          some test failed (or the run exceeded its time)
#   SURVIVED        every test passed: a fault no test catches
#   NOT-COMPILED    the fault does not build (neither a kill nor a survivor)
#   NOT-APPLICABLE  the text is not found exactly once (the code changed: rewrite it)
# Score: killed / (killed + survived). Logs: BUILD/mutants/LABEL.log.
set -uo pipefail
cd "$(dirname "$0")/.."

list_file=scripts/mutations.txt
build=build-mutate
timeout_secs=240
resume=false
list_only=false
stop_on_failure=true
test_regex=
out_file=
from_table=
order_tables=()
private_tmp=true
patterns=()
while (($#)); do
    case $1 in
        --list) list_only=true ;;
        --from) from_table=$2; shift ;;
        --faults) list_file=$2; shift ;;
        --resume) resume=true ;;
        --all-tests) stop_on_failure=false ;;
        --tests) test_regex=$2; shift ;;
        --order) order_tables+=("$2"); shift ;;
        --timeout) timeout_secs=$2; shift ;;
        --out) out_file=$2; shift ;;
        --build) build=$2; shift ;;
        --shared-tmp) private_tmp=false ;;
        -h|--help) sed -n '2,40p' "$0" | sed 's/^# \{0,1\}//'; exit 0 ;;
        -*) echo "mutate.sh: unknown option '$1'" >&2; exit 2 ;;
        *) patterns+=("$1") ;;
    esac
    shift
done

# The entries are read and applied by Perl (always present on Debian): exact texts, any bytes.
read -r -d '' PERL <<'EOF'
use strict; use warnings;
my ($cmd, $list, $label) = @ARGV;
open(my $fh, '<:raw', $list) or die "cannot read $list\n";
my (@entries, $cur); my $state = 'out';
while (my $line = <$fh>) {
    $line =~ s/\n\z//;
    if ($state eq 'out') {
        next if $line =~ /^\s*$/ || $line =~ /^#/;
        $line =~ /^\[([^\]\s]+)\]\s+(\S+)\s*$/ or die "$list:$.: expected '[label] path'\n";
        $cur = { label => $1, path => $2, find => [], repl => [], text => "$line\n" };
        $state = 'head';
        next;
    }
    $cur->{text} .= "$line\n";
    if ($state eq 'head') { $line eq '<<<' or die "$list:$.: expected '<<<'\n"; $state = 'find'; }
    elsif ($state eq 'find') { if ($line eq '===') { $state = 'repl'; } else { push @{$cur->{find}}, $line; } }
    elsif ($line eq '>>>') { push @entries, $cur; $state = 'out'; }
    else { push @{$cur->{repl}}, $line; }
}
$state eq 'out' or die "$list: the last entry is not closed with '>>>'\n";
my %seen;
for (@entries) { die "$list: label '$_->{label}' twice\n" if $seen{$_->{label}}++; }

sub occurrences {
    my ($e) = @_;
    open(my $in, '<:raw', $e->{path}) or return (-1, undef);
    local $/; my $content = <$in>;
    my $find = join("\n", @{$e->{find}});
    return (0, $content) if $find eq '';
    my ($n, $pos) = (0, 0);
    while ((my $at = index($content, $find, $pos)) >= 0) { ++$n; $pos = $at + length($find); }
    return ($n, $content);
}

if ($cmd eq 'list') {
    for (@entries) { my ($n) = occurrences($_); print "$_->{label}\t$_->{path}\t$n\n"; }
    exit 0;
}
my ($e) = grep { $_->{label} eq $label } @entries;
die "no entry '$label'\n" unless $e;
if ($cmd eq 'text') { print $e->{text}; exit 0; }
if ($cmd eq 'apply') {
    my ($n, $content) = occurrences($e);
    if ($n != 1) { print "$n\n"; exit 3; }
    my $find = join("\n", @{$e->{find}});
    my $at = index($content, $find);
    substr($content, $at, length($find)) = join("\n", @{$e->{repl}});
    open(my $o, '>:raw', $e->{path}) or die "cannot write $e->{path}\n";
    print $o $content; close($o) or die "cannot write $e->{path}\n";
    exit 0;
}
die "unknown command $cmd\n";
EOF
tool() { perl -e "$PERL" -- "$@" "$list_file"; }
tool_label() { perl -e "$PERL" -- "$1" "$list_file" "$2"; }

entries=$(tool list) || exit 2

wanted=
if [ -n "$from_table" ]; then
    wanted=$(awk '{ print $1 }' "$from_table") || exit 2
fi
selected=()
while IFS=$'\t' read -r label path _; do
    if [ -n "$from_table" ] && ! grep -qxF -- "$label" <<<"$wanted"; then
        continue
    fi
    if ((${#patterns[@]})); then
        match=false
        for p in "${patterns[@]}"; do
            [[ $label =~ $p ]] && match=true
        done
        $match || continue
    fi
    selected+=("$label")
done <<<"$entries"
if ((${#selected[@]} == 0)); then
    echo "mutate.sh: no entry matches" >&2
    exit 2
fi

if $list_only; then
    for label in "${selected[@]}"; do
        printf '%s\n' "$entries" | awk -F'\t' -v l="$label" '$1 == l {
            printf "%-40s %-36s %s\n", $1, $2, $3 == 1 ? "" : "NOT APPLICABLE (found " $3 " times)" }'
    done
    exit 0
fi

# Restoring with git checkout throws away uncommitted changes: the files must be clean.
files=$(printf '%s\n' "$entries" | awk -F'\t' '{ print $2 }' | sort -u)
for f in $files; do
    if ! git ls-files --error-unmatch -- "$f" >/dev/null 2>&1; then
        echo "mutate.sh: $f is not tracked by git (entry list out of date?)" >&2
        exit 2
    fi
    if ! git diff --quiet HEAD -- "$f"; then
        echo "mutate.sh: $f has uncommitted changes; commit or stash them first" >&2
        exit 2
    fi
done

mutated=
runner=
restore() {
    if [ -n "$runner" ]; then
        kill -TERM "$runner" 2>/dev/null
        wait "$runner" 2>/dev/null
        runner=
    fi
    if [ -n "$mutated" ]; then
        git checkout -- "$mutated"
        mutated=
    fi
}
trap restore EXIT
trap 'echo; echo "mutate.sh: interrupted; the tree is restored" >&2; exit 130' INT TERM HUP

mkdir -p "$build/mutants"
results=$build/mutation-results.tsv
$resume || : >"$results"
touch "$results"

# Runs a command in the background with its output in log $1 (timeout gives it a process
# group of its own, which restore can end at once), waits for it and returns its status.
run_bg() {
    local log=$1
    shift
    "$@" >"$log" 2>&1 &
    runner=$!
    wait "$runner"
    local rc=$?
    runner=
    return $rc
}

build_tree() {
    run_bg "$1" timeout -k 20 7200 nice -n 19 cmake --build "$build"
}

# The private /tmp is an empty folder of the build folder's disk, not a tmpfs: the tests
# then meet the same file system as in an ordinary run (listing order included).
private_dir=$PWD/$build/private-tmp
tmp_wrapper=()
if $private_tmp; then
    if unshare -m --propagation private sh -c 'mount --bind / /tmp' 2>/dev/null; then
        # The folder itself is then covered with an empty one: a search of every disk would
        # meet the tests' files twice, under /tmp and under the build folder.
        tmp_wrapper=(unshare -m --propagation private sh -c \
            'mount --bind "$0" /tmp && mount -t tmpfs -o size=64k,mode=0755 none "$0" && exec "$@"' "$private_dir")
    else
        echo "note: no private /tmp here (needs root and unshare); the tests share the machine's" >&2
        private_tmp=false
    fi
fi
fresh_private_tmp() {
    $private_tmp || return 0
    if [ -d "$private_dir" ]; then
        chmod -R u+rwx "$private_dir" 2>/dev/null
        rm -rf "$private_dir"
    fi
    mkdir -p "$private_dir" && chmod 1777 "$private_dir"
}

# Runs ctest (minus the tests that fail on the clean tree) into log $1 within $2 seconds;
# $3, when given, names the tests to run (a regular expression) and $4 those to leave out
# besides. Returns 0 when all passed, 1 when some failed, 2 when the run ran out of time.
run_ctest() {
    local log=$1 budget=$2 only=${3:-} skip=${4:-}
    local args=(--test-dir "$build" -j2 --output-on-failure --timeout "$timeout_secs")
    $stop_on_failure && args+=(--stop-on-failure)
    if [ -n "$only" ]; then
        args+=(-R "$only")
    elif [ -n "$test_regex" ]; then
        args+=(-R "$test_regex")
    fi
    # ctest takes one -E: the clean tree's failures and the tests already run, together.
    skip=${excluded:-}${excluded:+${skip:+|}}$skip
    [ -n "$skip" ] && args+=(-E "$skip")
    fresh_private_tmp
    run_bg "$log" timeout -k 20 "$budget" "${tmp_wrapper[@]}" env QTEST_FUNCTION_TIMEOUT=$((timeout_secs * 1000)) \
        nice -n 19 ctest "${args[@]}"
    local rc=$?
    ((rc == 0)) && return 0
    ((rc == 124 || rc == 137)) && return 2
    return 1
}

# Runs the suite into log $1 within $2 seconds; with $3 (a regular expression naming the
# tests that caught this fault before), those first and the rest only when they all pass.
# Sets suite_detail to the failing tests with their failing functions, as in
# tst_walk(filters,limitStopsTheWalk). Returns as run_ctest.
suite_detail=
run_suite() {
    local log=$1 budget=$2 first=${3:-} rc t funcs start=$SECONDS
    if [ -z "$first" ] || [ -n "$test_regex" ]; then
        run_ctest "$log" "$budget"
        rc=$?
    else
        run_ctest "$log" "$budget" "$first"
        rc=$?
        if ((rc == 0)) || { ((rc == 1)) && ! $stop_on_failure; }; then
            local left=$((budget - (SECONDS - start)))
            ((left < 10)) && left=10
            run_ctest "$log.rest" "$left" "" "$first"
            local rest=$?
            cat "$log.rest" >>"$log" && rm -f "$log.rest"
            ((rest > rc)) && rc=$rest
        fi
    fi
    suite_detail=$(
        for t in $(sed -n 's/^[[:space:]]*[0-9]\{1,\} - \([^ ]*\) (.*$/\1/p' "$log" | sort -u); do
            funcs=$(sed -n 's/^FAIL!  : \([A-Za-z0-9_]*\)::\([A-Za-z0-9_]*\)(.*$/\1 \2/p' "$log" |
                awk -v t="$t" 'tolower($1) == t && !seen[$2]++ { printf "%s%s", n++ ? "," : "", $2 }')
            printf '%s%s ' "$t" "${funcs:+($funcs)}"
        done | sed 's/ $//')
    return $rc
}

# The tests an earlier table names for each label, as label<TAB>^(a|b)$, from the first
# table that names some for it.
first_tests=
if ((${#order_tables[@]})); then
    for table in "${order_tables[@]}"; do
        [ -r "$table" ] || { echo "mutate.sh: cannot read $table" >&2; exit 2; }
    done
    first_tests=$(awk '
        $3 ~ /^(KILLED|SURVIVED|NOT-COMPILED|NOT-APPLICABLE)$/ && !($1 in done) {
            names = ""
            for (k = 4; k <= NF; ++k) {
                t = $k
                if (t == "time" && $(k + 1) == "out:") { ++k; continue }
                sub(/\(.*$/, "", t)
                if (t !~ /^[A-Za-z0-9_.+-]+$/ || t in seen) continue
                seen[t] = 1
                gsub(/[.+]/, "\\\\&", t)
                names = names (names == "" ? "" : "|") t
            }
            delete seen
            if (names != "") { done[$1] = 1; printf "%s\t^(%s)$\n", $1, names }
        }' "${order_tables[@]}")
fi

if [ ! -f "$build/CMakeCache.txt" ]; then
    echo "== configuring $build"
    launcher=()
    command -v ccache >/dev/null && launcher=(-DCMAKE_CXX_COMPILER_LAUNCHER=ccache)
    nice -n 19 cmake -S . -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DQL_BUILD_BENCH=OFF "${launcher[@]}" >/dev/null || exit 2
fi

echo "== the clean tree: building and running the suite"
if ! build_tree "$build/mutants/clean-build.log"; then
    echo "mutate.sh: the clean tree does not build; see $build/mutants/clean-build.log" >&2
    exit 2
fi
excluded=
start=$SECONDS
# Every test, also after a failure, so that each one failing here is known.
keep_stop=$stop_on_failure
stop_on_failure=false
run_suite "$build/mutants/clean.log" 7200
clean_rc=$?
stop_on_failure=$keep_stop
failing=$suite_detail
clean_secs=$((SECONDS - start))
if ((clean_rc != 0)); then
    if [ -z "$failing" ]; then
        echo "mutate.sh: the suite did not finish on the clean tree; see $build/mutants/clean.log" >&2
        exit 2
    fi
    echo "warning: these tests fail on the clean tree and are left out of every run: $failing"
    excluded="^($(echo "$failing" | sed 's/([^)]*)//g' | tr ' ' '|'))\$"
fi
budget=$((3 * clean_secs + 120))
echo "   the suite took ${clean_secs} s; each run may take ${budget} s"

n=${#selected[@]}
i=0
for label in "${selected[@]}"; do
    ((++i))
    sum=$(tool_label text "$label" | cksum | cut -d' ' -f1)
    if $resume && awk -F'\t' -v l="$label" -v s="$sum" '$1 == l && $2 == s { found = 1 } END { exit !found }' "$results"; then
        echo "[$i/$n] $label: kept from the earlier run"
        continue
    fi
    path=$(printf '%s\n' "$entries" | awk -F'\t' -v l="$label" '$1 == l { print $2 }')
    log=$build/mutants/$label.log
    printf '[%d/%d] %-40s ' "$i" "$n" "$label"
    t0=$SECONDS
    detail=
    mutated=$path
    if ! found=$(tool_label apply "$label"); then
        mutated=
        status=NOT-APPLICABLE
        detail="found ${found:-?} times"
    elif ! build_tree "$log"; then
        status=NOT-COMPILED
    else
        first=$(printf '%s\n' "$first_tests" | awk -F'\t' -v l="$label" '$1 == l { print $2 }')
        run_suite "$log.tests" "$budget" "$first"
        rc=$?
        detail=$suite_detail
        case $rc in
            0) status=SURVIVED ;;
            1) status=KILLED ;;
            *) status=KILLED; detail="time out${detail:+: $detail}" ;;
        esac
        cat "$log.tests" >>"$log" && rm -f "$log.tests"
    fi
    restore
    secs=$((SECONDS - t0))
    echo "$status ${detail:+($detail) }${secs}s"
    awk -F'\t' -v l="$label" '$1 != l' "$results" >"$results.tmp" && mv "$results.tmp" "$results"
    printf '%s\t%s\t%s\t%s\t%s\t%s\n' "$label" "$sum" "$path" "$status" "$detail" "$secs" >>"$results"
done

# Leave the build folder built from the clean tree.
build_tree "$build/mutants/clean-build.log" || true

report() {
    echo "Mutation testing: $(git rev-parse --short HEAD) ($(git log -1 --format=%cd --date=short)), $n faults from $list_file"
    echo "Suite on the clean tree: ${clean_secs} s, $($private_tmp && echo "each run with a private /tmp" || echo "with the machine's /tmp")${excluded:+; left out, failing on the clean tree: $failing}"
    echo
    printf '%-40s %-36s %-15s %s\n' FAULT FILE RESULT 'FAILING TESTS'
    for label in "${selected[@]}"; do
        awk -F'\t' -v l="$label" '$1 == l { printf "%-40s %-36s %-15s %s\n", $1, $3, $4, $5 }' "$results"
    done
    awk -F'\t' -v list="$(printf '%s\n' "${selected[@]}")" '
        BEGIN { split(list, a, "\n"); for (k in a) want[a[k]] = 1 }
        want[$1] { count[$4]++ }
        END {
            k = count["KILLED"] + 0; s = count["SURVIVED"] + 0
            printf "\nkilled %d, survived %d, not compiled %d, not applicable %d\n", k, s, count["NOT-COMPILED"], count["NOT-APPLICABLE"]
            printf "score: %d/%d = %.1f%%\n", k, k + s, k + s ? 100 * k / (k + s) : 0
        }' "$results"
    echo
    echo "Survivors (faults no test catches):"
    for label in "${selected[@]}"; do
        awk -F'\t' -v l="$label" '$1 == l && $4 == "SURVIVED" { print "  " $1 "  (" $3 ")" }' "$results"
    done
}
echo
report | tee ${out_file:+"$out_file"}
