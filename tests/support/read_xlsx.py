"""Prints a workbook as JSON, read with openpyxl: the tabs in order, each with its
cells (row by row; numbers as numbers, text as text, empty as null, a date or time as
{"shown": the text its number format shows, "format": that format}), the widths of the
columns that have one set, the frozen pane, the filter's range, which cells of row 1 are
bold, which cells wrap their text, and whether it is the active tab. Every part of the
package must first parse as strict XML. Texts are decoded as spreadsheet programs read
them ("_xHHHH_" is the character HHHH), which openpyxl leaves to its caller; so are sheet
names."""
import datetime
import json
import re
import sys
import xml.parsers.expat
import zipfile

import openpyxl

ESCAPE = re.compile("_x([0-9A-Fa-f]{4})_")


def shown(value, form):
    """The text a yyyy-mm-dd / hh:mm:ss[.0-3] format shows for a date or time, with the
    literal text that ends it ("+05:45")."""
    literal = re.search(r'"([^"]*)"$', form)
    form = form[:literal.start()] if literal else form
    parts = []
    if form.startswith("yyyy"):
        parts.append(value.strftime("%Y-%m-%d"))
    if "hh" in form:
        moment = value.time() if isinstance(value, datetime.datetime) else value
        text = moment.strftime("%H:%M:%S")
        digits = len(form.rsplit(".", 1)[1]) if "ss." in form else 0
        if digits:
            fraction = round(moment.microsecond / 10 ** (6 - digits))
            text += "." + str(fraction).zfill(digits)
        parts.append(text)
    return " ".join(parts) + (literal.group(1) if literal else "")


def decoded(cell):
    value = cell.value
    if isinstance(value, (datetime.datetime, datetime.date, datetime.time)):
        return {"shown": shown(value, cell.number_format), "format": cell.number_format}
    if isinstance(value, str):
        return ESCAPE.sub(lambda match: chr(int(match.group(1), 16)), value)
    return value


with zipfile.ZipFile(sys.argv[1]) as package:
    if package.testzip() is not None:
        sys.exit("a damaged part")
    for name in package.namelist():
        if name.endswith((".xml", ".rels")):
            # Namespace-aware, as ElementTree parses, but without building a tree: a sheet
            # of a million rows takes a second, not seven.
            xml.parsers.expat.ParserCreate(namespace_separator="}").Parse(package.read(name), True)

book = openpyxl.load_workbook(sys.argv[1])
sheets = []
for sheet in book.worksheets:
    rows, wrapped = [], []
    for row in sheet.iter_rows():
        rows.append([decoded(cell) for cell in row])
        wrapped += [cell.coordinate for cell in row if cell.has_style and cell.alignment.wrap_text]
    widths = {key: dim.width for key, dim in sheet.column_dimensions.items() if dim.customWidth}
    sheets.append({"name": ESCAPE.sub(lambda match: chr(int(match.group(1), 16)), sheet.title), "rows": rows, "widths": widths,
                   "active": sheet is book.active, "frozen": sheet.freeze_panes,
                   "filter": sheet.auto_filter.ref,
                   "bold": [bool(cell.font.b) for cell in next(sheet.iter_rows(max_row=1), ())],
                   "wrapped": wrapped})
json.dump(sheets, sys.stdout, default=str)
