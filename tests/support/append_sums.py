"""Copies a workbook with one row more on one of its sheets: under its last row, a SUM
(or another function of a range, as MAX) over rows 2 to the last of every column, without
a cached result and with the workbook marked to be computed on load, so that the
spreadsheet that opens the copy computes each one from the cells as they were written.

    append_sums.py BOOK COPY SHEET_NUMBER LAST_ROW COLUMNS [FUNCTION]"""
import re
import sys
import zipfile

book, copy, sheet, last, columns = sys.argv[1], sys.argv[2], int(sys.argv[3]), int(sys.argv[4]), int(sys.argv[5])
function = sys.argv[6] if len(sys.argv) > 6 else "SUM"


def letters(column):
    name = ""
    while column:
        column, rest = divmod(column - 1, 26)
        name = chr(ord("A") + rest) + name
    return name


part = f"xl/worksheets/sheet{sheet}.xml"
row = last + 1
cells = "".join(f'<c r="{letters(c)}{row}"><f>{function}({letters(c)}2:{letters(c)}{last})</f></c>'
                for c in range(1, columns + 1))
with zipfile.ZipFile(book) as source, zipfile.ZipFile(copy, "w", zipfile.ZIP_DEFLATED) as target:
    for item in source.infolist():
        data = source.read(item.filename)
        if item.filename == part:
            text = data.decode("utf-8").replace("</sheetData>", f'<row r="{row}">{cells}</row></sheetData>', 1)
            # The used range grows by the new row.
            text = re.sub(r'<dimension ref="([A-Z]+[0-9]+):([A-Z]+)[0-9]+"/>',
                          lambda m: f'<dimension ref="{m.group(1)}:{m.group(2)}{row}"/>', text, 1)
            data = text.encode("utf-8")
        elif item.filename == "xl/workbook.xml":
            data = data.replace(b"</workbook>", b'<calcPr fullCalcOnLoad="1"/></workbook>', 1)
        target.writestr(item, data)
