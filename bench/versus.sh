#!/usr/bin/env bash
# Times this build's export against another build's, side by side in one run on one
# throwaway cluster: pgbench_accounts at scale 10 (1,000,000 rows), the wide table
# (bench/wide.sql, 200,000 rows x 20 columns), 1,000 rows of 1 MB texts (wide_rows) and ten
# tables of 100,000 rows ticked together, each by farm-bench, the two programs in turn
# (A B A B ...), so that the ratio holds while the machine's speed drifts.
#   bench/versus.sh OTHER_KESTROVE_BENCH [RUNS]
# The other build, for example of the commit before a change:
#   git worktree add --detach /tmp/before HEAD~1 &&
#   cmake -S /tmp/before -B /tmp/before-build -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
#       -DKESTROVE_BUILD_TESTS=OFF && cmake --build /tmp/before-build --target kestrove-bench
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
other=${1:?usage: bench/versus.sh OTHER_KESTROVE_BENCH [RUNS]}
runs=${2:-5}
bench="$root/build/kestrove-bench"
[ -x "$bench" ] || { echo "build first: scripts/build.sh" >&2; exit 1; }
work=$(mktemp -d /tmp/kestrove-versus.XXXXXX)
trap 'bash "$root/tests/support/pg-testbed.sh" stop "$work/state"; rm -rf "$work"' EXIT
bash "$root/tests/support/pg-testbed.sh" start "$work/state"
# shellcheck disable=SC1091
source "$work/state/connection.env"
export PGPASSWORD=$KESTROVE_PG_PASSWORD
connect=(-h "$KESTROVE_PG_SERVER" -p "$KESTROVE_PG_PORT" -U "$KESTROVE_PG_USER" -d "$KESTROVE_PG_DATABASE")
"$KESTROVE_PG_BIN/pgbench" -q -i -s 10 "${connect[@]}" >/dev/null 2>&1
"$KESTROVE_PG_BIN/psql" -X -q "${connect[@]}" -f "$root/bench/wide.sql"
"$KESTROVE_PG_BIN/psql" -X -q "${connect[@]}" \
    -c "CREATE TABLE wide_rows AS SELECT g AS id, repeat(md5(g::text), 32768) AS text FROM generate_series(1, 1000) AS g"
ten=(ten_{1..10})
for table in "${ten[@]}"; do
    echo "CREATE TABLE $table AS SELECT * FROM pgbench_accounts WHERE aid <= 100000;"
done | "$KESTROVE_PG_BIN/psql" -X -q -v ON_ERROR_STOP=1 "${connect[@]}" -f -
"$KESTROVE_PG_BIN/psql" -X -q "${connect[@]}" -c "VACUUM ANALYZE pgbench_accounts, wide, wide_rows, $(IFS=,; echo "${ten[*]}")"
connection="Driver={PostgreSQL Unicode};Server=$KESTROVE_PG_SERVER;Port=$KESTROVE_PG_PORT;Uid=$KESTROVE_PG_USER;Pwd=$KESTROVE_PG_PASSWORD;Database=$KESTROVE_PG_DATABASE"
for tables in pgbench_accounts wide wide_rows "${ten[*]}"; do
    read -r -a table <<<"$tables"
    echo
    echo "$tables: A = $bench, B = $other"
    # Each run first removes the workbook of the one before: an export never overwrites.
    fresh=(sh -c 'rm -f "$0"; exec "$@"')
    farm-bench -n "$runs" --timeout 600 \
        --vs "$(printf '%q ' "${fresh[@]}" "$work/b.xlsx" "$other" --connection "$connection" --out "$work/b.xlsx" "${table[@]}")" \
        -- "${fresh[@]}" "$work/a.xlsx" "$bench" --connection "$connection" --out "$work/a.xlsx" "${table[@]}"
    # The ten tables hold the same keys each, which check_rows.py does not take.
    [ "${#table[@]}" -gt 1 ] && continue
    rows=$("$KESTROVE_PG_BIN/psql" -X -At "${connect[@]}" -c "select count(*) from ${table[0]}")
    /usr/bin/python3 "$root/bench/check_rows.py" "$work/a.xlsx" "$rows" | tail -n 1
done
