#!/usr/bin/env bash
# Builds the Debian package and checks it as a user of it would: lintian finds no error,
# apt installs it, the driver is registered, the programs, manual pages, desktop entry and
# AppStream file in /usr work (one export against a throwaway PostgreSQL), and removing
# it leaves nothing of it behind. Run as root: it removes an installed kestrove first.
#   scripts/package-test.sh          the package built in build-package/
#   scripts/package-test.sh build    the package of what scripts/build.sh built (CI's choice:
#                                    the same program, compiled once)
set -euo pipefail
cd "$(dirname "$0")/.."
export DEBIAN_FRONTEND=noninteractive
fail() {
    echo "package-test: $*" >&2
    exit 1
}

[ "$(id -u)" = 0 ] || fail "run it as root: it installs and removes the package"
scripts/install-deps.sh lintian desktop-file-utils appstream man-db postgresql python3 python3-openpyxl
dir=${1:-build-package}
deb=$(scripts/package.sh "$dir")
version=$(dpkg-deb -f "$deb" Version)
echo "package-test: $deb"

# lintian: any E: line fails; the rest is shown.
report=$(lintian --fail-on none "$deb" 2>&1) || fail "lintian did not run: $report"
[ -z "$report" ] || echo "$report"
! grep -q '^E:' <<<"$report" || fail "lintian found errors"

# What the program calls by name at run time is a dependency, beside what shlibdeps found.
depends=$(dpkg-deb -f "$deb" Depends)
for needed in odbc-postgresql unixodbc xdg-utils libqt6widgets6 libodbc2; do
    grep -qE "(^|, )$needed( |,|$)" <<<"$depends" || fail "Depends lacks $needed: $depends"
done
[ -n "$(dpkg-deb -f "$deb" Recommends)" ] || fail "no spreadsheet program is recommended"
# Every file the package holds, to check after its removal.
mapfile -t files < <(dpkg-deb -c "$deb" | awk '$1 !~ /^d/ { sub(/^\./, "", $6); print $6 }')
for path in /usr/bin/kestrove /usr/bin/kestrove-export /usr/share/man/man1/kestrove.1.gz \
    /usr/share/man/man1/kestrove-export.1.gz /usr/share/doc/kestrove/copyright /usr/share/doc/kestrove/changelog.gz; do
    printf '%s\n' "${files[@]}" | grep -qx "$path" || fail "the package lacks $path"
done

work=$(mktemp -d)
cleanup() {
    tests/support/pg-testbed.sh stop "$work/db" >/dev/null 2>&1 || true
    rm -rf "$work"
}
trap cleanup EXIT

# A kestrove left installed by an earlier run goes first, so that this is a fresh install.
if dpkg-query -W -f='${Status}' kestrove 2>/dev/null | grep -q "ok installed"; then
    apt-get purge -y kestrove
fi
apt-get install -y --no-install-recommends "$deb"
[ "$(dpkg-query -W -f='${Status} ${Version}' kestrove)" = "install ok installed $version" ] ||
    fail "apt did not install kestrove $version"
odbcinst -q -d | grep -qx '\[PostgreSQL Unicode\]' || fail "the driver \"PostgreSQL Unicode\" is not registered"
# apt holds the driver for the package: removing the driver would remove kestrove.
apt-get -s remove odbc-postgresql | grep -q '^Remv kestrove ' || fail "kestrove does not hold odbc-postgresql"

[ "$(/usr/bin/kestrove-export --version)" = "kestrove-export $version" ] || fail "kestrove-export --version"
for page in kestrove kestrove-export; do
    [ "$(man -w "$page")" = "/usr/share/man/man1/$page.1.gz" ] ||
        fail "man -w $page: $(man -w "$page" 2>&1) (is /usr/share/man left out by a path-exclude in /etc/dpkg/dpkg.cfg.d?)"
done
desktop-file-validate /usr/share/applications/kestrove.desktop
metainfo=/usr/share/metainfo/example.drumlane.kestrove.metainfo.xml
appstreamcli validate --no-net "$metainfo"
launchable=$(sed -n 's:.*<launchable type="desktop-id">\(.*\)</launchable>.*:\1:p' "$metainfo")
[ -f "/usr/share/applications/$launchable" ] || fail "the metainfo launches $launchable, which is not installed"
for size in 32 48 128 256; do
    [ -f "/usr/share/icons/hicolor/${size}x$size/apps/kestrove.png" ] || fail "no ${size}px icon"
done

# Every option --help names is on the manual page and in the README, and every option of
# the page's OPTIONS is one --help knows.
/usr/bin/kestrove-export --help >"$work/help.txt"
MANWIDTH=200 man kestrove-export >"$work/page.txt" 2>/dev/null
/usr/bin/python3 - "$work/help.txt" "$work/page.txt" README.md <<'PYTHON'
import re
import sys

help_text, page, readme = (open(path, encoding="utf-8").read() for path in sys.argv[1:])
option = re.compile(r"(?<![\w-])(--?[A-Za-z?][\w-]*)")

def options_in(lines):
    return {name for line in lines for name in option.findall(line.split("  ")[0])}

listed = help_text.split("Options:")[1].split("Arguments:")[0]
in_help = options_in(line.strip() for line in listed.splitlines() if line.strip().startswith("-"))
section = page.split("\nOPTIONS\n")[1].split("\nENVIRONMENT\n")[0]
in_page = options_in(line.strip() for line in section.splitlines() if line.startswith("       -"))
usage = readme.split("## Without a window: kestrove-export")[1].split("\n## ")[0]
in_readme = {name for name in in_help if re.search(r"`%s[ `]" % re.escape(name), usage)}
problems = [f"{name}: in --help, not on the manual page" for name in sorted(in_help - in_page)]
problems += [f"{name}: on the manual page, not in --help" for name in sorted(in_page - in_help)]
problems += [f"{name}: in --help, not in the README" for name in sorted(in_help - in_readme)]
if not in_help or problems:
    sys.exit("package-test: " + ("; ".join(problems) or "no options read from --help"))
PYTHON

# One export of the sample database from /usr/bin, in a home of its own.
tests/support/pg-testbed.sh start "$work/db" scripts/sample.sql >/dev/null
# shellcheck disable=SC1091
. "$work/db/connection.env"
mkdir -p "$work/home"
workbook=$(env -i PATH=/usr/bin:/bin HOME="$work/home" PGPASSWORD="$KESTROVE_PG_PASSWORD" \
    /usr/bin/kestrove-export -h "$KESTROVE_PG_SERVER" -p "$KESTROVE_PG_PORT" -U "$KESTROVE_PG_USER" \
    -d "$KESTROVE_PG_DATABASE" -w -f "$work/sample.xlsx" --all)
[ "$workbook" = "$work/sample.xlsx" ] || fail "kestrove-export printed '$workbook'"
# Each table's name and rows, as the server counts them.
PGPASSWORD="$KESTROVE_PG_PASSWORD" psql -X -At -F ' ' -h "$KESTROVE_PG_SERVER" -p "$KESTROVE_PG_PORT" \
    -U "$KESTROVE_PG_USER" -d "$KESTROVE_PG_DATABASE" >"$work/tables.txt" <<'SQL'
SELECT format('SELECT %L, count(*) FROM %I.%I', tablename, schemaname, tablename)
  FROM pg_tables WHERE schemaname NOT IN ('pg_catalog', 'information_schema') \gexec
SQL
/usr/bin/python3 - "$workbook" "$work/tables.txt" <<'PYTHON'
import sys
import openpyxl

sheets = {sheet.title: sheet.max_row - 1 for sheet in openpyxl.load_workbook(sys.argv[1], read_only=True).worksheets}
tables = {name: int(rows) for name, rows in (line.split() for line in open(sys.argv[2]) if line.strip())}
if sheets != tables:
    sys.exit(f"package-test: the workbook's sheets and rows {sheets} are not the tables' {tables}")
print("package-test: the export from /usr/bin holds", ", ".join(f"{name} ({rows} rows)" for name, rows in sheets.items()))
PYTHON

# The wizard starts from /usr/bin (offscreen: no display here) and waits for its user.
env -u DISPLAY -u WAYLAND_DISPLAY HOME="$work/home" XDG_CONFIG_HOME="$work/home/.config" \
    QT_QPA_PLATFORM=offscreen /usr/bin/kestrove >"$work/wizard.log" 2>&1 &
wizard=$!
sleep 3
kill -0 "$wizard" 2>/dev/null || fail "/usr/bin/kestrove ended at start: $(cat "$work/wizard.log")"
kill -TERM "$wizard"
status=0
wait "$wizard" || status=$?
[ "$status" = 143 ] || fail "/usr/bin/kestrove ended with $status on SIGTERM: $(cat "$work/wizard.log")"

# Those who build by hand still install with cmake.
cmake --install "$dir" --prefix "$work/prefix" >/dev/null
for path in bin/kestrove-export share/man/man1/kestrove-export.1.gz share/applications/kestrove.desktop \
    share/metainfo/example.drumlane.kestrove.metainfo.xml; do
    [ -f "$work/prefix/$path" ] || fail "cmake --install put no $path"
done

apt-get remove -y kestrove
! dpkg-query -W -f='${Status}' kestrove 2>/dev/null | grep -q "ok installed" || fail "kestrove is still installed"
for path in "${files[@]}" /usr/share/doc/kestrove; do
    [ ! -e "$path" ] || fail "$path is left after apt-get remove kestrove"
done
echo "package-test: $deb installs, works from /usr/bin and leaves nothing when removed"
