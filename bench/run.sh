#!/usr/bin/env bash
# Times, in one run on one throwaway cluster, the export of pgbench_accounts at scale 10
# (1,000,000 rows) and of a wide, text-heavy table (bench/wide.sql, 200,000 rows x 20
# columns): kestrove-bench, pandas + xlsxwriter, and psql's \copy to /dev/null; then a
# table of 1,000 rows of 1 MB texts (kestrove and \copy only), for memory.
#   bench/run.sh [SCALE]        (build first: scripts/build.sh)
# Above scale 10 (bench/run.sh 100: 10,000,000 rows over ten sheets) pandas is left out
# (it would need about 8 GB), the wide table too. The pgbench workbook is checked row by
# row: one header per sheet, every key once.
# Exits non-zero when any export fails, reports anything (but the cut of the 1 MB texts)
# or loses a row.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
scale=${1:-10}
bench="$root/build/kestrove-bench"
[ -x "$bench" ] || { echo "build first: scripts/build.sh" >&2; exit 1; }
work=$(mktemp -d /tmp/kestrove-bench.XXXXXX)
trap 'bash "$root/tests/support/pg-testbed.sh" stop "$work/state"; rm -rf "$work"' EXIT
bash "$root/tests/support/pg-testbed.sh" start "$work/state"
# shellcheck disable=SC1091
source "$work/state/connection.env"
export PGPASSWORD=$KESTROVE_PG_PASSWORD
connect=(-h "$KESTROVE_PG_SERVER" -p "$KESTROVE_PG_PORT" -U "$KESTROVE_PG_USER")
"$KESTROVE_PG_BIN/pgbench" -q -i -s "$scale" "${connect[@]}" "$KESTROVE_PG_DATABASE" >/dev/null 2>&1
tables=(pgbench_accounts)
if [ "$scale" -le 10 ]; then
    "$KESTROVE_PG_BIN/psql" -X -q "${connect[@]}" -d "$KESTROVE_PG_DATABASE" -f "$root/bench/wide.sql"
    "$KESTROVE_PG_BIN/psql" -X -q "${connect[@]}" -d "$KESTROVE_PG_DATABASE" \
        -c "CREATE TABLE wide_rows AS SELECT g AS id, repeat(md5(g::text), 32768) AS text FROM generate_series(1, 1000) AS g"
    tables+=(wide wide_rows)
fi
echo "$(nproc) cores, pgbench scale $scale"

# Prints "<seconds> <peak MB>" of a command, from GNU time.
measure() {
    local log="$work/time.log"
    /usr/bin/time -f "%e %M" -o "$log" "$@" >"$work/out.log" 2>"$work/err.log" ||
        { cat "$work/err.log" >&2; exit 1; }
    awk '{ printf "%.2f %.1f\n", $1, $2 / 1024 }' "$log"
}

connection="Driver={PostgreSQL Unicode};Server=$KESTROVE_PG_SERVER;Port=$KESTROVE_PG_PORT;Uid=$KESTROVE_PG_USER;Pwd=$KESTROVE_PG_PASSWORD;Database=$KESTROVE_PG_DATABASE"
for table in "${tables[@]}"; do
    rows=$("$KESTROVE_PG_BIN/psql" -X -At "${connect[@]}" -d "$KESTROVE_PG_DATABASE" -c "select count(*) from $table")
    echo
    echo "$table: $rows rows"
    # The 1 MB texts are cut to fit their cells, which kestrove-bench reports (status 1).
    reports=()
    [ "$table" = wide_rows ] && reports=(bash -c '"$@" || [ $? = 1 ]' -)
    read -r k_s k_mb < <(measure "${reports[@]}" "$bench" --connection "$connection" --out "$work/kestrove-$table.xlsx" "$table")
    k_line=$(tail -n 1 "$work/out.log")
    # The only report allowed there: every 1 MB text cut, once, with its count.
    if [ "$table" = wide_rows ]; then
        [ "$(grep -c 'Application Error' "$work/err.log")" = 1 ] &&
            grep -q 'was cut to fit its cell. (1000 cells)' "$work/err.log" && [[ $k_line == rows=1000\ * ]] ||
            { cat "$work/err.log" >&2; echo "wide_rows: not every row, or another report" >&2; exit 1; }
    fi
    p_s=- p_mb=-
    [ "$scale" -le 10 ] && [ "$table" != wide_rows ] && read -r p_s p_mb < <(measure /usr/bin/python3 "$root/bench/pandas_export.py" \
        "$KESTROVE_PG_SERVER" "$KESTROVE_PG_PORT" "$KESTROVE_PG_USER" "$KESTROVE_PG_PASSWORD" \
        "$KESTROVE_PG_DATABASE" "$table" "$work/pandas-$table.xlsx")
    read -r c_s c_mb < <(measure "$KESTROVE_PG_BIN/psql" -X "${connect[@]}" -d "$KESTROVE_PG_DATABASE" \
        -c "\\copy $table to '/dev/null' csv")

    printf '%-22s %9s %9s\n' "" seconds peak_MB
    printf '%-22s %9s %9s\n' kestrove-bench "$k_s" "$k_mb" pandas+xlsxwriter "$p_s" "$p_mb" "psql \\copy" "$c_s" "$c_mb"
    echo "kestrove-bench: $k_line"
    awk -v k="$k_s" -v p="$p_s" -v c="$c_s" -v km="$k_mb" -v pm="$p_mb" 'BEGIN {
        if (p != "-") printf "pandas / kestrove: %.1fx time, %.1fx memory; ", p / k, pm / km
        printf "kestrove / \\copy: %.1fx time\n", k / c }'
    ls -l "$work"/*-"$table".xlsx | awk '{ print $5, $9 }'
    if [ "$table" = pgbench_accounts ]; then
        /usr/bin/python3 "$root/bench/check_rows.py" "$work/kestrove-$table.xlsx" "$rows"
    fi
done

# The temporary files and the workbook on one disk of 1.3 times the workbook's size: the
# save must fit, since each sheet's temporary rows are given back as they are copied.
size=$(stat -c %s "$work/kestrove-pgbench_accounts.xlsx")
tight="$work/tight"
mkdir -p "$tight"
if mount -t tmpfs -o size=$((size * 13 / 10)) tmpfs "$tight" 2>/dev/null; then
    trap 'umount "$tight" 2>/dev/null || true; bash "$root/tests/support/pg-testbed.sh" stop "$work/state"; rm -rf "$work"' EXIT
    ( peak=0
      while :; do
          used=$(df --output=used -B1 "$tight" | tail -n 1)
          [ "$used" -gt "$peak" ] && peak=$used && echo "$peak" >"$work/peak"
          sleep 0.02
      done ) &
    watcher=$!
    TMPDIR=$tight "$bench" --connection "$connection" --out "$tight/k.xlsx" pgbench_accounts >"$work/out.log" 2>&1 ||
        { kill "$watcher"; wait "$watcher" 2>/dev/null; cat "$work/out.log" >&2; echo "the export did not fit on one disk of 1.3x its size" >&2; exit 1; }
    kill "$watcher"
    wait "$watcher" 2>/dev/null || true
    echo
    awk -v s="$size" -v p="$(cat "$work/peak")" 'BEGIN {
        printf "pgbench_accounts with TMPDIR and --out on one tmpfs of %.1f MB (1.3x the workbook): saved whole; peak use %.1f MB (%.2fx the workbook)\n",
            s * 1.3 / 1048576, p / 1048576, p / s }'
    umount "$tight" || umount -l "$tight"
else
    echo "pgbench_accounts on a tmpfs of 1.3x the workbook: not measured (no tmpfs could be mounted; run as root)"
fi
