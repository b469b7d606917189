"""The comparison: a psycopg2 server-side (named) cursor read with fetchmany, written by
xlsxwriter in constant-memory mode (each row flushed to a temporary file as it is done).
Dates, timestamps and times get a date format, as in the other workbooks; a table of more
rows than a sheet holds goes on over further sheets, each with the header. Exits 1 when a
cell could not be written whole.
    xlsxwriter_export.py HOST PORT USER PASSWORD DATABASE TABLE OUT"""
import sys

import psycopg2
import xlsxwriter

BATCH = 10000
SHEET_ROWS = 1048576  # header included

host, port, user, password, database, table, out = sys.argv[1:8]
connection = psycopg2.connect(host=host, port=port, user=user, password=password, dbname=database)
cursor = connection.cursor(name="export")
cursor.itersize = BATCH
cursor.execute(f'SELECT * FROM "{table}"')
workbook = xlsxwriter.Workbook(out, {"constant_memory": True, "strings_to_formulas": False,
                                     "strings_to_urls": False, "remove_timezone": True})
bold = workbook.add_format({"bold": True})
# Date formats by PostgreSQL type OID: date, timestamp, timestamptz, time, timetz.
date_formats = {oid: workbook.add_format({"num_format": pattern}) for oid, pattern in (
    (1082, "yyyy-mm-dd"), (1114, "yyyy-mm-dd hh:mm:ss"), (1184, "yyyy-mm-dd hh:mm:ss"),
    (1083, "hh:mm:ss"), (1266, "hh:mm:ss"))}
formats = None
header = None
sheet = None
row = SHEET_ROWS
sheets = 0
while True:
    batch = cursor.fetchmany(BATCH)
    if formats is None:  # a named cursor knows its columns once it has fetched
        header = [column.name for column in cursor.description]
        formats = [date_formats.get(column.type_code) for column in cursor.description]
    if not batch:
        break
    for values in batch:
        if row == SHEET_ROWS:
            sheets += 1
            sheet = workbook.add_worksheet(table[:31] if sheets == 1 else f"{table[:25]} ({sheets})")
            sheet.write_row(0, 0, header, bold)
            row = 1
        for column, value in enumerate(values):
            if value is not None and sheet.write(row, column, value, formats[column]):
                sys.exit(f"row {row + 1}, column {column + 1}: not written as it is")
        row += 1
if sheet is None:
    sheet = workbook.add_worksheet(table[:31])
    sheet.write_row(0, 0, header, bold)
cursor.close()
connection.close()
workbook.close()
