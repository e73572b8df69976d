#!/bin/sh
# The share of 4K pictures a fusion recording keeps on this machine, by H.264
# preset (and target picture rate), as `orvane record` reports it. Usage:
#   bench/fusion_presets.sh [build dir] [seconds] [presets...]
# Prints one table row per preset: preset, rate, pictures offered, kept, share.
set -eu
build=${1:-build}
seconds=${2:-4}
[ $# -ge 2 ] && shift 2 || shift $#
presets=${*:-ultrafast superfast veryfast faster medium}
orvane="$build/apps/orvane"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
export ORVANE_SIM="tandro:SIM-PRESETS,delays=log"
printf '%-10s %-6s %8s %6s %6s\n' preset rate offered kept share
for preset in $presets; do
    for rate in all 10; do
        set -- --preset "$preset"
        [ "$rate" = all ] || set -- "$@" --picture-rate "$rate"
        line=$("$orvane" record SIM-PRESETS "$dir/take.raw" --stream both --duration "${seconds}s" \
            --quiet --force "$@" | grep -o '[0-9]* pictures kept of [0-9]*')
        kept=${line%% *}
        offered=${line##* }
        printf '%-10s %-6s %8s %6s %5s%%\n' "$preset" "$rate" "$offered" "$kept" \
            "$((offered ? kept * 100 / offered : 0))"
    done
done
