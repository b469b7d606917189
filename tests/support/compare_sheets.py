"""Compares the sheets of two workbooks part by part, as parsed XML: the tab names, the
active tab and the defined names (a filter's range by sheet), and per sheet its
dimension, selection, frozen pane, filter, column widths and every cell's reference,
type, value and style as resolved in the styles part (its number format's code, whether
its font is bold and whether it wraps its text). Prints each difference; exits 1 when there is one."""
import sys
import xml.etree.ElementTree as ElementTree
import zipfile

MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
RELS = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}"


def resolved_styles(package):
    """Each cell style's (number format code, bold, wrapped), by index."""
    root = ElementTree.fromstring(package.read("xl/styles.xml"))
    # The built-in formats a workbook may name by id alone.
    codes = {"0": "General", "1": "0", "2": "0.00"}
    for form in root.iter(f"{MAIN}numFmt"):
        codes[form.get("numFmtId")] = form.get("formatCode")
    bold = [font.find(f"{MAIN}b") is not None for font in root.find(f"{MAIN}fonts")]
    return [(codes.get(xf.get("numFmtId", "0"), "builtin " + xf.get("numFmtId", "0")), bold[int(xf.get("fontId", "0"))],
             xf.find(f"{MAIN}alignment") is not None and xf.find(f"{MAIN}alignment").get("wrapText") in ("1", "true"))
            for xf in root.find(f"{MAIN}cellXfs")]


def unquoted_reference(text):
    """'O''Brien & Co'!$A$1:$B$3 or First!$A$1 as (sheet, range)."""
    sheet, cells = text.rsplit("!", 1)
    if sheet.startswith("'"):
        sheet = sheet[1:-1].replace("''", "'")
    return sheet, cells


def summary(path):
    with zipfile.ZipFile(path) as package:
        styles = resolved_styles(package)
        book = ElementTree.fromstring(package.read("xl/workbook.xml"))
        rels = ElementTree.fromstring(package.read("xl/_rels/workbook.xml.rels"))
        targets = {rel.get("Id"): rel.get("Target") for rel in rels}
        view = book.find(f"{MAIN}bookViews/{MAIN}workbookView")
        result = {"active": view.get("activeTab", "0") if view is not None else "0"}
        names = [sheet.get("name") for sheet in book.iter(f"{MAIN}sheet")]
        result["defined names"] = sorted(
            (name.get("name"), names[int(name.get("localSheetId"))], name.get("hidden", "0"))
            + unquoted_reference(name.text) for name in book.iter(f"{MAIN}definedName"))
        for sheet in book.iter(f"{MAIN}sheet"):
            part = ElementTree.fromstring(package.read("xl/" + targets[sheet.get(f"{RELS}id")]))
            cells = {}
            for cell in part.iter(f"{MAIN}c"):
                kind = cell.get("t", "n")
                if kind == "inlineStr":
                    value = "".join(t.text or "" for t in cell.iter(f"{MAIN}t"))
                else:
                    value = float(cell.find(f"{MAIN}v").text)
                cells[cell.get("r")] = (kind, styles[int(cell.get("s", "0"))], value)
            widths = {col.get("min"): float(col.get("width")) for col in part.iter(f"{MAIN}col")}
            view = part.find(f"{MAIN}sheetViews/{MAIN}sheetView")
            pane = view.find(f"{MAIN}pane")
            found = part.find(f"{MAIN}autoFilter")
            result[sheet.get("name")] = {
                "dimension": part.find(f"{MAIN}dimension").get("ref"),
                "selected": view.get("tabSelected", "0"),
                "pane": dict(pane.attrib) if pane is not None else None,
                "selection": [dict(selection.attrib) for selection in view.iter(f"{MAIN}selection")],
                "filter": found.get("ref") if found is not None else None,
                "widths": widths,
                "cells": cells,
            }
        return result


ours, theirs = summary(sys.argv[1]), summary(sys.argv[2])
differences = 0
if list(ours) != list(theirs):
    print("sheets:", list(ours), "against", list(theirs))
    differences += 1
for name in ours:
    if name in theirs and ours[name] != theirs[name]:
        for key in ours[name] if isinstance(ours[name], dict) else [None]:
            a = ours[name][key] if key else ours[name]
            b = theirs[name][key] if key else theirs[name]
            if a != b:
                print(f"{name} {key}: {a!r} against {b!r}")
                differences += 1
sys.exit(1 if differences else 0)
