"""Compares the sheets of two workbooks part by part, as parsed XML: the tab names and
active tab, and per sheet its dimension, selection, column widths and every cell's
reference, type, style and value. Prints each difference; exits 1 when there is one."""
import sys
import xml.etree.ElementTree as ElementTree
import zipfile

MAIN = "{http://schemas.openxmlformats.org/spreadsheetml/2006/main}"
RELS = "{http://schemas.openxmlformats.org/officeDocument/2006/relationships}"


def summary(path):
    with zipfile.ZipFile(path) as package:
        book = ElementTree.fromstring(package.read("xl/workbook.xml"))
        rels = ElementTree.fromstring(package.read("xl/_rels/workbook.xml.rels"))
        targets = {rel.get("Id"): rel.get("Target") for rel in rels}
        view = book.find(f"{MAIN}bookViews/{MAIN}workbookView")
        result = {"active": view.get("activeTab", "0") if view is not None else "0"}
        for sheet in book.iter(f"{MAIN}sheet"):
            part = ElementTree.fromstring(package.read("xl/" + targets[sheet.get(f"{RELS}id")]))
            cells = {}
            for cell in part.iter(f"{MAIN}c"):
                kind = cell.get("t", "n")
                if kind == "inlineStr":
                    value = "".join(t.text or "" for t in cell.iter(f"{MAIN}t"))
                else:
                    value = float(cell.find(f"{MAIN}v").text)
                cells[cell.get("r")] = (kind, cell.get("s", "0"), value)
            widths = {col.get("min"): float(col.get("width")) for col in part.iter(f"{MAIN}col")}
            view = part.find(f"{MAIN}sheetViews/{MAIN}sheetView")
            result[sheet.get("name")] = {
                "dimension": part.find(f"{MAIN}dimension").get("ref"),
                "selected": view.get("tabSelected", "0"),
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
