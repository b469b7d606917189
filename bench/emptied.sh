#!/usr/bin/env bash
# Times the export of a log table whose rows are mostly deleted, the usual state of such a
# table, against psql's \copy of it, side by side in one run on one throwaway cluster:
# 20,000,000 rows of pgbench_accounts' shape, all but the last 10,000 deleted, then
# VACUUM (the table keeps its 88,000 blocks). With another build's kestrove-bench as a
# second argument, that build is timed against this one as well.
#   bench/emptied.sh [OTHER_KESTROVE_BENCH] [RUNS]   (build first: scripts/build.sh)
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
other=${1:-}
runs=${2:-5}
bench="$root/build/kestrove-bench"
[ -x "$bench" ] || { echo "build first: scripts/build.sh" >&2; exit 1; }
work=$(mktemp -d /tmp/kestrove-emptied.XXXXXX)
trap 'bash "$root/tests/support/pg-testbed.sh" stop "$work/state"; rm -rf "$work"' EXIT
bash "$root/tests/support/pg-testbed.sh" start "$work/state"
# shellcheck disable=SC1091
source "$work/state/connection.env"
export PGPASSWORD=$KESTROVE_PG_PASSWORD
connect=(-h "$KESTROVE_PG_SERVER" -p "$KESTROVE_PG_PORT" -U "$KESTROVE_PG_USER" -d "$KESTROVE_PG_DATABASE")
psql=("$KESTROVE_PG_BIN/psql" -X -q -v ON_ERROR_STOP=1 "${connect[@]}")
"${psql[@]}" -c "CREATE TABLE emptied AS SELECT g - 19990000 AS aid, g % 10 AS bid, 0 AS abalance, \
repeat(' ', 84)::char(84) AS filler FROM generate_series(1, 20000000) AS g"
"${psql[@]}" -c "DELETE FROM emptied WHERE aid <= 0"
"${psql[@]}" -c "VACUUM ANALYZE emptied"
"${psql[@]}" -At -c "SELECT 'emptied: ' || pg_relation_size('emptied') / 8192 || ' blocks, ' || count(*) || ' rows' FROM emptied"
connection="Driver={PostgreSQL Unicode};Server=$KESTROVE_PG_SERVER;Port=$KESTROVE_PG_PORT;Uid=$KESTROVE_PG_USER;Pwd=$KESTROVE_PG_PASSWORD;Database=$KESTROVE_PG_DATABASE"
fresh=(sh -c 'rm -f "$0"; exec "$@"')
export_with() { exported=("${fresh[@]}" "$work/$2.xlsx" "$1" --connection "$connection" --out "$work/$2.xlsx" emptied); }
export_with "$bench" a
ours=("${exported[@]}")
echo
echo "A = $bench, B = psql \\copy emptied to /dev/null"
farm-bench -n "$runs" --timeout 1200 --vs "$(printf '%q ' "${psql[@]}" -c '\copy emptied to /dev/null')" \
    -- "${ours[@]}"
if [ -n "$other" ]; then
    export_with "$other" b
    echo
    echo "A = $bench, B = $other"
    farm-bench -n "$runs" --timeout 1800 --vs "$(printf '%q ' "${exported[@]}")" -- "${ours[@]}"
fi
/usr/bin/python3 "$root/bench/check_rows.py" "$work/a.xlsx" 10000 | tail -n 1
