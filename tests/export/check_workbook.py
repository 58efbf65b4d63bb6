#!/usr/bin/python3
"""Reads a workbook with openpyxl and prints, as JSON, per worksheet: merged
ranges, column widths as shown (characters), row heights,
cell values and their types, header formatting, and each cell's
borders collapsed to one word."""
import json
import sys

import openpyxl
from openpyxl.utils import get_column_letter


def shown_width(dim):
    # Worksheets store the width padded by 5 pixels of a 7-pixel character.
    return None if dim.width is None else max(0, round((round(dim.width * 7) - 5) / 7))


def colour(c):
    return c.rgb if c is not None and isinstance(c.rgb, str) else None


def border(b):
    kinds = {"%s/%s" % (s.style, colour(s.color)) for s in (b.left, b.right, b.top, b.bottom)}
    return kinds.pop() if len(kinds) == 1 else "mixed"


def sheet(ws):
    rows, cols = ws.max_row, ws.max_column
    dims = [ws.column_dimensions[get_column_letter(c)] for c in range(1, cols + 1)]
    cells = [[ws.cell(r, c) for c in range(1, cols + 1)] for r in range(1, rows + 1)]
    return {
        "maxRow": rows, "maxCol": cols,
        "merged": sorted(str(r) for r in ws.merged_cells.ranges),
        "widths": [shown_width(d) for d in dims],
        # One row past the data shows that the heights stop where the table does.
        "heights": [ws.row_dimensions[r].height for r in range(1, rows + 2)],
        "values": [[c.value for c in line] for line in cells],
        "types": sorted({type(c.value).__name__ for line in cells for c in line}),
        "headers": sorted({json.dumps([bool(c.font.b), colour(c.fill.fgColor), c.fill.fill_type,
                                       c.alignment.horizontal, c.alignment.vertical])
                           for c in cells[1]}) if rows > 1 else [],
        "dataBold": any(c.font.b for line in cells[2:] for c in line),
        "borders": [[border(c.border) for c in line] for line in cells],
    }


if __name__ == "__main__":
    book = openpyxl.load_workbook(sys.argv[1])
    json.dump({"sheets": [sheet(ws) for ws in book.worksheets]}, sys.stdout, ensure_ascii=False)
