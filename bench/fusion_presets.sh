#!/bin/sh
# The share of 4K pictures a fusion recording keeps on this machine, by H.264
# preset (and target picture rate), as `orvane record` reports it. Usage:
#   bench/fusion_presets.sh [build dir] [seconds] [presets...]
# Prints one row per preset and rate: pictures offered to the recording, left
# out for the target rate, kept (encoded), the kept share and kept per second.
set -eu
build=${1:-build}
seconds=${2:-4}
[ $# -ge 2 ] && shift 2 || shift $#
presets=${*:-ultrafast superfast veryfast faster medium}
orvane="$build/apps/orvane"
dir=$(mktemp -d)
trap 'rm -rf "$dir"' EXIT
export ORVANE_SIM="tandro:SIM-PRESETS,delays=log"
printf '%-10s %-5s %8s %8s %6s %6s %8s\n' preset rate offered thinned kept share kept/s
for preset in $presets; do
    for rate in all 10; do
        set -- --preset "$preset"
        [ "$rate" = all ] || set -- "$@" --picture-rate "$rate"
        # The recorder's own count: pictures offered while the recording was on.
        line=$(ORVANE_LOG_LEVEL=2 "$orvane" record SIM-PRESETS "$dir/take.raw" --stream both \
            --duration "${seconds}s" --quiet --force "$@" 2>&1 >/dev/null |
            grep -o 'kept [0-9]* of [0-9]* pictures ([0-9]* left out' | tr -dc '0-9 \n')
        set -- $line
        kept=$1 offered=$2 thinned=$3
        printf '%-10s %-5s %8s %8s %6s %5s%% %8s\n' "$preset" "$rate" "$offered" "$thinned" \
            "$kept" "$((offered ? kept * 100 / offered : 0))" \
            "$(awk "BEGIN { printf \"%.1f\", $kept / $seconds }")"
    done
done
