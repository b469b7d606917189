"""Checks a workbook of one table exported by kestrove: every sheet starts with the same
header row, and the first column's integers (the table's key) are each present exactly
once over all sheets, 1 to N. Prints one line per sheet and the total; exits 1 on a fault.
Reads the sheet parts as a stream, so it copes with millions of rows.
    check_rows.py WORKBOOK N"""
import re
import sys
import zipfile

ROW = re.compile(rb'<row r="(\d+)">(.*?)</row>', re.S)
FIRST = re.compile(rb'<c r="A\d+"(?: s="\d+")?(?: t="inlineStr")?>(?:<v>([^<]*)</v>|<is><t[^>]*>([^<]*)</t></is>)')

path, expected = sys.argv[1], int(sys.argv[2])
seen = bytearray(expected + 1)
headers = set()
total = 0
faults = 0
with zipfile.ZipFile(path) as package:
    sheets = sorted((n for n in package.namelist() if n.startswith("xl/worksheets/")),
                    key=lambda n: int(re.sub(r"\D", "", n)))
    for name in sheets:
        rows = 0
        pending = b""
        with package.open(name) as part:
            while True:
                chunk = part.read(1 << 22)
                data = pending + chunk
                last = 0
                for match in ROW.finditer(data):
                    last = match.end()
                    number, cells = int(match.group(1)), match.group(2)
                    first = FIRST.search(cells)
                    value = (first.group(1) or first.group(2)) if first else b""
                    if number == 1:
                        headers.add(cells)
                        continue
                    rows += 1
                    key = int(value)
                    if key < 1 or key > expected or seen[key]:
                        faults += 1
                    else:
                        seen[key] = 1
                pending = data[last:]
                if not chunk:
                    break
        total += rows
        print(f"{name}: {rows} rows after its header")
missing = expected - sum(seen)
print(f"{len(sheets)} sheets, {total} rows, {len(headers)} distinct header rows, "
      f"{missing} keys missing, {faults} repeated or foreign")
sys.exit(0 if total == expected and missing == 0 and faults == 0 and len(headers) == 1 else 1)
