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
# After each table's timings, the database server's cpu of each run (the backends its
# connections started, until they have ended: bench/server-cpu.sh), as min, median and max
# of the counted runs of A and of B, and A/B pair by pair. Each run's wall includes the
# wait for its backends to end, a few ms.
#   KESTROVE_BENCH_PIN=1 bench/versus.sh OTHER_KESTROVE_BENCH [RUNS]
# pins the server (its postmaster and every process it starts) to cpu 0 and the two
# exports to cpu 1, as with a database on a machine of its own.
#   KESTROVE_BENCH_TABLES="pgbench_accounts wide" bench/versus.sh ...
# times only those of the four (the ten tables are "ten").
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
other=${1:?usage: bench/versus.sh OTHER_KESTROVE_BENCH [RUNS]}
runs=${2:-5}
bench="$root/build/kestrove-bench"
[ -x "$bench" ] || { echo "build first: scripts/build.sh" >&2; exit 1; }
ten=(ten_{1..10})
sets=(pgbench_accounts wide wide_rows "${ten[*]}")
if [ -n "${KESTROVE_BENCH_TABLES:-}" ]; then
    sets=()
    for name in $KESTROVE_BENCH_TABLES; do
        case "$name" in
        pgbench_accounts | wide | wide_rows) sets+=("$name") ;;
        ten) sets+=("${ten[*]}") ;;
        *) echo "KESTROVE_BENCH_TABLES: $name is not pgbench_accounts, wide, wide_rows or ten" >&2; exit 2 ;;
        esac
    done
fi
work=$(mktemp -d /tmp/kestrove-versus.XXXXXX)
trap 'bash "$root/tests/support/pg-testbed.sh" stop "$work/state"; rm -rf "$work"' EXIT
bash "$root/tests/support/pg-testbed.sh" start "$work/state"
# shellcheck disable=SC1091
source "$work/state/connection.env"
export PGPASSWORD=$KESTROVE_PG_PASSWORD
connect=(-h "$KESTROVE_PG_SERVER" -p "$KESTROVE_PG_PORT" -U "$KESTROVE_PG_USER" -d "$KESTROVE_PG_DATABASE")
server_cpu="$root/bench/server-cpu.sh"
"$server_cpu" init "$work/server" "$KESTROVE_PG_DIR/data"
client=()
if [ "${KESTROVE_BENCH_PIN:-0}" != 0 ]; then
    "$server_cpu" pin "$work/server" "$KESTROVE_PG_BIN/psql" -X -q "${connect[@]}" -c "select pg_sleep(0.2)"
    client=(taskset -c 1)
    echo "the two exports pinned to cpu 1"
fi
"$KESTROVE_PG_BIN/pgbench" -q -i -s 10 "${connect[@]}" >/dev/null 2>&1
"$KESTROVE_PG_BIN/psql" -X -q "${connect[@]}" -f "$root/bench/wide.sql"
"$KESTROVE_PG_BIN/psql" -X -q "${connect[@]}" \
    -c "CREATE TABLE wide_rows AS SELECT g AS id, repeat(md5(g::text), 32768) AS text FROM generate_series(1, 1000) AS g"
for table in "${ten[@]}"; do
    echo "CREATE TABLE $table AS SELECT * FROM pgbench_accounts WHERE aid <= 100000;"
done | "$KESTROVE_PG_BIN/psql" -X -q -v ON_ERROR_STOP=1 "${connect[@]}" -f -
"$KESTROVE_PG_BIN/psql" -X -q "${connect[@]}" -c "VACUUM ANALYZE pgbench_accounts, wide, wide_rows, $(IFS=,; echo "${ten[*]}")"
connection="Driver={PostgreSQL Unicode};Server=$KESTROVE_PG_SERVER;Port=$KESTROVE_PG_PORT;Uid=$KESTROVE_PG_USER;Pwd=$KESTROVE_PG_PASSWORD;Database=$KESTROVE_PG_DATABASE"
# Prints min, median and max of the server's cpu of the counted runs (the first of each
# command is the warm-up), of A, of B and of A/B pair by pair.
server_rows() {
    awk 'function row(what, v, n,   i, j, t) {
             if (n < 1) { printf "%-14s  no runs\n", what; return }
             for (i = 2; i <= n; i++)
                 for (j = i; j > 1 && v[j - 1] > v[j]; j--) { t = v[j]; v[j] = v[j - 1]; v[j - 1] = t }
             printf "%-14s%10.2f%12.2f%12.2f\n", what, v[1], (n % 2 ? v[(n + 1) / 2] : (v[n / 2] + v[n / 2 + 1]) / 2), v[n]
         }
         FNR == 1 { next }
         { if (NF > 1) unsettled = 1 }
         FILENAME == ARGV[1] { a[++na] = $1 }
         FILENAME == ARGV[2] { b[++nb] = $1 }
         END {
             n = na < nb ? na : nb
             for (i = 1; i <= n; i++) { if (b[i] > 0) r[++nr] = a[i] / b[i]; else zero = 1 }
             row("A server cpu s", a, na)
             row("B server cpu s", b, nb)
             if (zero) print "A/B server cpu  n/a: the server cpu of B was 0 in a pair"
             else row("A/B server cpu", r, nr)
             if (unsettled) print "note: in some run a server process other than its backends ran too (an autovacuum worker?), counted there"
         }' "$1" "$2"
}

for tables in "${sets[@]}"; do
    read -r -a table <<<"$tables"
    echo
    echo "$tables: A = $bench, B = $other"
    # Each run first removes the workbook of the one before: an export never overwrites.
    fresh=(sh -c 'rm -f "$0"; exec "$@"')
    : >"$work/a.server"
    : >"$work/b.server"
    measured=("$server_cpu" run "$work/server")
    "${client[@]}" farm-bench -n "$runs" --timeout 600 \
        --vs "$(printf '%q ' "${measured[@]}" "$work/b.server" "${fresh[@]}" "$work/b.xlsx" "$other" --connection "$connection" --out "$work/b.xlsx" "${table[@]}")" \
        -- "${measured[@]}" "$work/a.server" "${fresh[@]}" "$work/a.xlsx" "$bench" --connection "$connection" --out "$work/a.xlsx" "${table[@]}"
    server_rows "$work/a.server" "$work/b.server"
    # The ten tables hold the same keys each, which check_rows.py does not take.
    [ "${#table[@]}" -gt 1 ] && continue
    rows=$("$KESTROVE_PG_BIN/psql" -X -At "${connect[@]}" -c "select count(*) from ${table[0]}")
    /usr/bin/python3 "$root/bench/check_rows.py" "$work/a.xlsx" "$rows" | tail -n 1
done
