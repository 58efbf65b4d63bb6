#!/usr/bin/python3
"""Reads a workbook with openpyxl and prints what the tests compare, as JSON.

For every worksheet: its name, merged ranges, the column widths as Excel shows
them (characters) and whether a column is hidden, the row heights, the cell
values with their Python types, and the formatting of the title cell, of the
header cells and of every cell's borders.
"""
import json
import sys

import openpyxl
from openpyxl.utils import get_column_letter


def shown_width(dim):
    # Worksheets store the width padded by 5 pixels of a 7-pixel character.
    if dim.width is None:
        return None
    pixels = round(dim.width * 7)
    return max(0, round((pixels - 5) / 7))


def colour(c):
    if c is None:
        return None
    return c.rgb if isinstance(c.rgb, str) else None


def side(s):
    return {"style": s.style, "color": colour(s.color)}


def main(path):
    book = openpyxl.load_workbook(path)
    sheets = []
    for ws in book.worksheets:
        cols = ws.max_column
        rows = ws.max_row
        sheet = {
            "name": ws.title,
            "maxRow": rows,
            "maxCol": cols,
            "merged": sorted(str(r) for r in ws.merged_cells.ranges),
            "widths": [shown_width(ws.column_dimensions[get_column_letter(c)])
                       for c in range(1, cols + 1)],
            "hidden": [bool(ws.column_dimensions[get_column_letter(c)].hidden)
                       for c in range(1, cols + 1)],
            # One row past the data shows that the heights stop where the table does.
            "heights": [ws.row_dimensions[r].height for r in range(1, rows + 2)],
            "values": [[ws.cell(r, c).value for c in range(1, cols + 1)]
                       for r in range(1, rows + 1)],
            "types": sorted({type(ws.cell(r, c).value).__name__
                             for r in range(1, rows + 1) for c in range(1, cols + 1)}),
        }
        t = ws.cell(1, 1)
        sheet["titleFormat"] = {
            "size": t.font.sz, "bold": bool(t.font.b), "wrap": bool(t.alignment.wrap_text),
            "h": t.alignment.horizontal, "v": t.alignment.vertical,
        }
        sheet["headerFormat"] = [{
            "bold": bool(ws.cell(2, c).font.b),
            "fill": colour(ws.cell(2, c).fill.fgColor),
            "pattern": ws.cell(2, c).fill.fill_type,
            "h": ws.cell(2, c).alignment.horizontal,
            "v": ws.cell(2, c).alignment.vertical,
        } for c in range(1, cols + 1)]
        sheet["dataBold"] = any(ws.cell(r, c).font.b
                                for r in range(3, rows + 1) for c in range(1, cols + 1))
        # Each cell's four sides, collapsed: "thin/FF000000" when all four are
        # thin black, otherwise what the sides are.
        borders = []
        for r in range(1, rows + 1):
            line = []
            for c in range(1, cols + 1):
                b = ws.cell(r, c).border
                sides = [side(b.left), side(b.right), side(b.top), side(b.bottom)]
                kinds = {"%s/%s" % (s["style"], s["color"]) for s in sides}
                line.append(kinds.pop() if len(kinds) == 1 else "mixed")
            borders.append(line)
        sheet["borders"] = borders
        sheets.append(sheet)
    json.dump({"sheets": sheets}, sys.stdout, ensure_ascii=False)


if __name__ == "__main__":
    main(sys.argv[1])
