#!/usr/bin/env bash
# Times, in one run on one throwaway cluster, the export of pgbench_accounts at scale 10
# (1,000,000 rows) and of a wide, text-heavy table (bench/wide.sql, 200,000 rows x 20
# columns) by six programs side by side: psql's \copy to a CSV file (best of three),
# kestrove-bench (and its reader alone, writing nothing: --read-only), GDAL's ogr2ogr, a
# psycopg2 named cursor into xlsxwriter in constant-memory mode, pandas read_sql +
# to_excel, and \copy to CSV then Gnumeric's ssconvert to xlsx.
# Then a table of 1,000 rows of 1 MB texts (kestrove and \copy to /dev/null only), for
# memory; then ten tables of 100,000 rows ticked together: kestrove-bench reading them at
# once and one at a time (--jobs 1), against one psql session copying the ten (best of three).
#   bench/run.sh [SCALE]        (build first: scripts/build.sh)
# Above scale 10 (bench/run.sh 100: 10,000,000 rows over ten sheets) pandas, ogr2ogr,
# xlsxwriter and ssconvert are left out (pandas alone would need about 8 GB), the wide
# table too. The pgbench workbook is checked row by row: one header per sheet, every key
# once. The comparison programs are installed from Debian when missing (as root, or sudo).
# Each figure is of one run: wall seconds and peak MiB (GNU time's maximum resident set),
# the command's own cpu (user + system), and the database server's cpu for the run: that
# of the backends the command's connections started, from the moment it starts until they
# have ended (bench/server-cpu.sh).
#   KESTROVE_BENCH_PIN=1 bench/run.sh [SCALE]
# pins the server (its postmaster and every process it starts) to cpu 0 and each measured
# command to cpu 1, as with a database on a machine of its own.
# Exits non-zero when any export fails, reports anything (but the cut of the 1 MB texts)
# or loses a row.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
scale=${1:-10}
bench="$root/build/kestrove-bench"
[ -x "$bench" ] || { echo "build first: scripts/build.sh" >&2; exit 1; }
missing=()
command -v ogr2ogr >/dev/null || missing+=(gdal-bin)
command -v ssconvert >/dev/null || missing+=(gnumeric)
for module in xlsxwriter:python3-xlsxwriter psycopg2:python3-psycopg2 pandas:python3-pandas openpyxl:python3-openpyxl; do
    /usr/bin/python3 -c "import ${module%%:*}" 2>/dev/null || missing+=("${module#*:}")
done
if [ "${#missing[@]}" -gt 0 ]; then
    echo "installing ${missing[*]}" >&2
    sudo=()
    [ "$(id -u)" = 0 ] || sudo=(sudo)
    "${sudo[@]}" apt-get -q update >/dev/null
    "${sudo[@]}" env DEBIAN_FRONTEND=noninteractive apt-get -q install -y --no-install-recommends "${missing[@]}" >/dev/null
fi
work=$(mktemp -d /tmp/kestrove-bench.XXXXXX)
trap 'bash "$root/tests/support/pg-testbed.sh" stop "$work/state"; rm -rf "$work"' EXIT
bash "$root/tests/support/pg-testbed.sh" start "$work/state"
# shellcheck disable=SC1091
source "$work/state/connection.env"
export PGPASSWORD=$KESTROVE_PG_PASSWORD
connect=(-h "$KESTROVE_PG_SERVER" -p "$KESTROVE_PG_PORT" -U "$KESTROVE_PG_USER")
server_cpu="$root/bench/server-cpu.sh"
"$server_cpu" init "$work/server" "$KESTROVE_PG_DIR/data"
client=()
if [ "${KESTROVE_BENCH_PIN:-0}" != 0 ]; then
    "$server_cpu" pin "$work/server" "$KESTROVE_PG_BIN/psql" -X -q "${connect[@]}" -d "$KESTROVE_PG_DATABASE" -c "select pg_sleep(0.2)"
    client=(taskset -c 1)
    echo "each measured command pinned to cpu 1"
fi
"$KESTROVE_PG_BIN/pgbench" -q -i -s "$scale" "${connect[@]}" "$KESTROVE_PG_DATABASE" >/dev/null 2>&1
tables=(pgbench_accounts)
if [ "$scale" -le 10 ]; then
    "$KESTROVE_PG_BIN/psql" -X -q "${connect[@]}" -d "$KESTROVE_PG_DATABASE" -f "$root/bench/wide.sql"
    "$KESTROVE_PG_BIN/psql" -X -q "${connect[@]}" -d "$KESTROVE_PG_DATABASE" \
        -c "CREATE TABLE wide_rows AS SELECT g AS id, repeat(md5(g::text), 32768) AS text FROM generate_series(1, 1000) AS g"
    tables+=(wide wide_rows)
fi
# Ten tables of 100,000 rows each (every scale has at least 100,000 accounts), and the
# psql script that copies them in one session.
ten=(ten_{1..10})
for table in "${ten[@]}"; do
    echo "CREATE TABLE $table AS SELECT * FROM pgbench_accounts WHERE aid <= 100000;"
    echo "\\copy $table to '$work/$table.csv' csv" >>"$work/ten-copy.sql"
done | "$KESTROVE_PG_BIN/psql" -X -q -v ON_ERROR_STOP=1 "${connect[@]}" -d "$KESTROVE_PG_DATABASE" -f -
# Every table vacuumed and analyzed now, so that no autovacuum worker does it during a run
# and its cpu is not taken for the server's work on that run.
"$KESTROVE_PG_BIN/psql" -X -q -v ON_ERROR_STOP=1 "${connect[@]}" -d "$KESTROVE_PG_DATABASE" \
    -c "VACUUM ANALYZE $(IFS=,; echo "${tables[*]},${ten[*]}")"
echo "$(nproc) cores, pgbench scale $scale"

# Prints "<seconds> <peak MiB> <cpu seconds> <server cpu seconds>" of a command, the first
# three from GNU time.
measure() {
    local log="$work/time.log"
    "$server_cpu" run "$work/server" "$work/server.log" "${client[@]}" /usr/bin/time -f "%e %M %U %S" -o "$log" "$@" \
        >"$work/out.log" 2>"$work/err.log" || { cat "$work/err.log" >&2; exit 1; }
    awk -v server="$(tail -n 1 "$work/server.log")" '{ printf "%.2f %.1f %.2f %s\n", $1, $2 / 1024, $3 + $4, server }' "$log"
}

# Prints the figures of measure of the fastest of three runs of a command.
best_of_three() {
    local runs="" _
    for _ in 1 2 3; do
        runs+=$(measure "$@")$'\n' || exit 1
    done
    printf '%s' "$runs" | LC_ALL=C sort -n -k1,1 | head -n 1
}

# One row of a results table: what, seconds, peak MiB, cpu seconds, server cpu seconds.
row() { printf '| %-50s | %7s | %7s | %7s | %12s |\n' "$@"; }
header() { row tool seconds "peak MiB" "cpu s" "server cpu s"; echo "|---|---:|---:|---:|---:|"; }

# "a / b: N.Nx", or n/a when b measured as zero.
ratio() { awk -v a="$2" -v b="$3" -v what="$1" 'BEGIN { if (b > 0) printf "%s: %.1fx\n", what, a / b; else printf "%s: n/a\n", what }'; }

psql=("$KESTROVE_PG_BIN/psql" -X -q -v ON_ERROR_STOP=1 "${connect[@]}" -d "$KESTROVE_PG_DATABASE")
mkdir -p "$work/home"

connection="Driver={PostgreSQL Unicode};Server=$KESTROVE_PG_SERVER;Port=$KESTROVE_PG_PORT;Uid=$KESTROVE_PG_USER;Pwd=$KESTROVE_PG_PASSWORD;Database=$KESTROVE_PG_DATABASE"
for table in "${tables[@]}"; do
    rows=$("$KESTROVE_PG_BIN/psql" -X -At "${connect[@]}" -d "$KESTROVE_PG_DATABASE" -c "select count(*) from $table")
    echo
    echo "$table: $rows rows"
    # The 1 MB texts are cut to fit their cells, which kestrove-bench reports (status 1).
    reports=()
    [ "$table" = wide_rows ] && reports=(bash -c '"$@" || [ $? = 1 ]' -)
    read -r k_s k_mb k_cpu k_srv < <(measure "${reports[@]}" "$bench" --connection "$connection" --out "$work/kestrove-$table.xlsx" "$table")
    k_line=$(tail -n 1 "$work/out.log")
    [[ $k_line == rows=$rows\ * ]] || { echo "$table: kestrove-bench wrote $k_line, not $rows rows" >&2; exit 1; }
    # The only report allowed there: every 1 MB text cut, once, with its count.
    if [ "$table" = wide_rows ]; then
        [ "$(grep -c 'Application Error' "$work/err.log")" = 1 ] &&
            grep -q 'was cut to fit its cell. (1000 cells)' "$work/err.log" && [[ $k_line == rows=1000\ * ]] ||
            { cat "$work/err.log" >&2; echo "wide_rows: not every row, or another report" >&2; exit 1; }
    fi
    if [ "$table" = wide_rows ]; then
        c_label="psql \\copy to /dev/null" c_ratio="kestrove / \\copy"
        read -r c_s c_mb c_cpu c_srv < <(measure "$KESTROVE_PG_BIN/psql" -X "${connect[@]}" -d "$KESTROVE_PG_DATABASE" \
            -c "\\copy $table to '/dev/null' csv")
    else
        c_label="psql \\copy to a CSV file (best of 3)" c_ratio="kestrove / best \\copy"
        read -r c_s c_mb c_cpu c_srv < <(best_of_three "${psql[@]}" -c "\\copy $table to '$work/copy-$table.csv' csv")
    fi
    # The program's own reader alone, writing nothing: the share of the time that goes to
    # fetching the rows through the driver. (The 1 MB texts are there for memory only.)
    r_s=- r_mb=- r_cpu=- r_srv=-
    if [ "$table" != wide_rows ]; then
        read -r r_s r_mb r_cpu r_srv < <(measure "$bench" --read-only --connection "$connection" "$table")
        r_line=$(tail -n 1 "$work/out.log")
        [[ $r_line == rows=$rows\ * ]] || { echo "$table: kestrove-bench --read-only read $r_line, not $rows rows" >&2; exit 1; }
    fi
    o_s=- o_mb=- o_cpu=- o_srv=- x_s=- x_mb=- x_cpu=- x_srv=- p_s=- p_mb=- p_cpu=- p_srv=- s_s=- s_mb=- s_cpu=- s_srv=-
    if [ "$scale" -le 10 ] && [ "$table" != wide_rows ]; then
        args=("$KESTROVE_PG_SERVER" "$KESTROVE_PG_PORT" "$KESTROVE_PG_USER" "$KESTROVE_PG_PASSWORD" "$KESTROVE_PG_DATABASE" "$table")
        # Through a query, not the table's name: GDAL takes an integer primary key (aid) for
        # its feature id and would leave that column out of the workbook.
        read -r o_s o_mb o_cpu o_srv < <(measure ogr2ogr -f XLSX "$work/ogr2ogr-$table.xlsx" \
            "PG:host=$KESTROVE_PG_SERVER port=$KESTROVE_PG_PORT user=$KESTROVE_PG_USER password=$KESTROVE_PG_PASSWORD dbname=$KESTROVE_PG_DATABASE" \
            -sql "SELECT * FROM \"$table\"" -nln "$table")
        read -r x_s x_mb x_cpu x_srv < <(measure /usr/bin/python3 "$root/bench/xlsxwriter_export.py" "${args[@]}" "$work/xlsxwriter-$table.xlsx")
        read -r p_s p_mb p_cpu p_srv < <(measure /usr/bin/python3 "$root/bench/pandas_export.py" "${args[@]}" "$work/pandas-$table.xlsx")
        # \copy with a header row, then ssconvert, timed together. ssconvert wants a writable
        # home; its GLib warnings (no display) go to the log.
        read -r s_s s_mb s_cpu s_srv < <(measure env HOME="$work/home" GSETTINGS_BACKEND=memory bash -c \
            '"${@:4}" -c "$1" && ssconvert --import-type=Gnumeric_stf:stf_csvtab --export-type=Gnumeric_Excel:xlsx2 "$2" "$3"' - \
            "\\copy $table to '$work/ssconvert-$table.csv' csv header" "$work/ssconvert-$table.csv" \
            "$work/ssconvert-$table.xlsx" "${psql[@]}")
    fi

    header
    row "$c_label" "$c_s" "$c_mb" "$c_cpu" "$c_srv"
    row kestrove-bench "$k_s" "$k_mb" "$k_cpu" "$k_srv"
    row "kestrove-bench --read-only (reading alone)" "$r_s" "$r_mb" "$r_cpu" "$r_srv"
    row "ogr2ogr -f XLSX" "$o_s" "$o_mb" "$o_cpu" "$o_srv"
    row "psycopg2 named cursor + xlsxwriter constant_memory" "$x_s" "$x_mb" "$x_cpu" "$x_srv"
    row "pandas read_sql + to_excel" "$p_s" "$p_mb" "$p_cpu" "$p_srv"
    row "psql \\copy to CSV + ssconvert to xlsx" "$s_s" "$s_mb" "$s_cpu" "$s_srv"
    echo "kestrove-bench: $k_line"
    ratio "$c_ratio (time)" "$k_s" "$c_s"
    ratio "$c_ratio (server cpu)" "$k_srv" "$c_srv"
    if [ "$r_s" != - ]; then
        ratio "kestrove reading alone / best \\copy (time)" "$r_s" "$c_s"
    fi
    if [ "$p_s" != - ]; then
        ratio "pandas / kestrove (time)" "$p_s" "$k_s"
        ratio "pandas / kestrove (memory)" "$p_mb" "$k_mb"
    fi
    echo "longest stall of kestrove-bench: $(sed -n 's/.*max_stall_ms=\([0-9]*\).*/\1/p' <<<"$k_line") ms"
    ls -l "$work"/*-"$table".xlsx | awk '{ print $5, $9 }'
    if [ "$table" = pgbench_accounts ]; then
        /usr/bin/python3 "$root/bench/check_rows.py" "$work/kestrove-$table.xlsx" "$rows"
    fi
done

# Ten tables ticked together: read at once (as many at a time as the program chooses),
# one at a time, and copied by one psql session.
echo
echo "ten tables of 100000 rows (ten_1 ... ten_10), ticked together:"
read -r t_s t_mb t_cpu t_srv < <(measure "$bench" --connection "$connection" --out "$work/kestrove-ten.xlsx" "${ten[@]}")
t_line=$(tail -n 1 "$work/out.log")
read -r j_s j_mb j_cpu j_srv < <(measure "$bench" --jobs 1 --connection "$connection" --out "$work/kestrove-ten-jobs1.xlsx" "${ten[@]}")
j_line=$(tail -n 1 "$work/out.log")
for line in "$t_line" "$j_line"; do
    [[ $line == rows=$((10 * 100000))\ * ]] || { echo "ten tables: kestrove-bench wrote $line" >&2; exit 1; }
done
read -r q_s q_mb q_cpu q_srv < <(best_of_three "${psql[@]}" -f "$work/ten-copy.sql")
header
row "kestrove-bench, ten at once" "$t_s" "$t_mb" "$t_cpu" "$t_srv"
row "kestrove-bench --jobs 1" "$j_s" "$j_mb" "$j_cpu" "$j_srv"
row "one psql session: ten \\copy to CSV (best of 3)" "$q_s" "$q_mb" "$q_cpu" "$q_srv"
echo "kestrove-bench: $t_line"
echo "kestrove-bench --jobs 1: $j_line"
ratio "kestrove / psql session (time)" "$t_s" "$q_s"
ratio "kestrove / psql session (server cpu)" "$t_srv" "$q_srv"
ratio "--jobs 1 / at once (speed-up)" "$j_s" "$t_s"
ls -l "$work"/kestrove-ten*.xlsx | awk '{ print $5, $9 }'

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
    TMPDIR=$tight "${client[@]}" "$bench" --connection "$connection" --out "$tight/k.xlsx" pgbench_accounts >"$work/out.log" 2>&1 ||
        { kill "$watcher"; wait "$watcher" 2>/dev/null || true; cat "$work/out.log" >&2; echo "the export did not fit on one disk of 1.3x its size" >&2; exit 1; }
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
