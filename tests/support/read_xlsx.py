"""Prints a workbook as JSON, read with openpyxl: the tabs in order, each with its
cells (row by row; numbers as numbers, text as text, empty as null) and the widths of
the columns that have one set."""
import json
import sys

import openpyxl

book = openpyxl.load_workbook(sys.argv[1])
sheets = []
for sheet in book.worksheets:
    rows = [list(row) for row in sheet.iter_rows(values_only=True)]
    widths = {key: dim.width for key, dim in sheet.column_dimensions.items() if dim.customWidth}
    sheets.append({"name": sheet.title, "rows": rows, "widths": widths})
json.dump(sheets, sys.stdout, default=str)
