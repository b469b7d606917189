"""Prints a workbook as JSON, read with openpyxl: the tabs in order, each with its
cells (row by row; numbers as numbers, text as text, empty as null), the widths of the
columns that have one set, and the active tab. Every part of the package must first
parse as strict XML. Texts are decoded as spreadsheet programs read them ("_xHHHH_" is
the character HHHH), which openpyxl leaves to its caller."""
import json
import re
import sys
import xml.etree.ElementTree as ElementTree
import zipfile

import openpyxl

ESCAPE = re.compile("_x([0-9A-Fa-f]{4})_")


def decoded(value):
    if isinstance(value, str):
        return ESCAPE.sub(lambda match: chr(int(match.group(1), 16)), value)
    return value


with zipfile.ZipFile(sys.argv[1]) as package:
    if package.testzip() is not None:
        sys.exit("a damaged part")
    for name in package.namelist():
        if name.endswith((".xml", ".rels")):
            ElementTree.fromstring(package.read(name))

book = openpyxl.load_workbook(sys.argv[1])
sheets = []
for sheet in book.worksheets:
    rows = [[decoded(value) for value in row] for row in sheet.iter_rows(values_only=True)]
    widths = {key: dim.width for key, dim in sheet.column_dimensions.items() if dim.customWidth}
    sheets.append({"name": sheet.title, "rows": rows, "widths": widths,
                   "active": sheet is book.active})
json.dump(sheets, sys.stdout, default=str)
