#!/usr/bin/python3
"""Reads a workbook with openpyxl and prints, as JSON, per worksheet: the
column widths as shown (characters), the cell values, typed as read, the
look of the table in one line, and the name and stored dimension (which
readers that stream a worksheet take for its size)."""
import json
import re
import sys
import zipfile

import openpyxl
from openpyxl.utils import get_column_letter


def shown_width(dim):
    # Worksheets store the width padded by 5 pixels of a 7-pixel character.
    return None if dim.width is None else max(0, round((round(dim.width * 7) - 5) / 7))


def colour(c):
    return c.rgb if c is not None and isinstance(c.rgb, str) else None


def kinds(cells, describe):
    return "+".join(sorted({describe(c) for c in cells}))


def border(c):
    return kinds((c.border.left, c.border.right, c.border.top, c.border.bottom),
                 lambda s: "%s/%s" % (s.style, colour(s.color)))


def look(ws):
    """merged ranges | title cell | title, table and next row heights | header
    cells | data cells | title borders | table borders"""
    rows = list(ws.iter_rows(min_row=1))
    table = [c for line in rows[1:] for c in line]
    heights = [ws.row_dimensions[r].height for r in range(1, ws.max_row + 2)]
    return " | ".join([
        ",".join(sorted(str(r) for r in ws.merged_cells.ranges)),
        "size=%s wrap=%s align=%s/%s" % (rows[0][0].font.sz, rows[0][0].alignment.wrap_text,
                                         rows[0][0].alignment.horizontal, rows[0][0].alignment.vertical),
        "%s %s %s" % (heights[0], "+".join(sorted({str(h) for h in heights[1:-1]})), heights[-1]),
        kinds(rows[1], lambda c: "bold=%s fill=%s/%s align=%s/%s" % (
            c.font.b, c.fill.fill_type, colour(c.fill.fgColor), c.alignment.horizontal, c.alignment.vertical)),
        kinds([c for line in rows[2:] for c in line], lambda c: "bold=%s" % c.font.b),
        kinds(rows[0], border),
        kinds(table, border),
    ])


def sheet(ws, xml):
    columns = range(1, ws.max_column + 1)
    return {
        "widths": [shown_width(ws.column_dimensions[get_column_letter(c)]) for c in columns],
        "values": [[c.value for c in line] for line in ws.iter_rows(min_row=1)],
        "look": look(ws),
        "print": "fit=%s/%s/%s titles=%s" % (
            ws.sheet_properties.pageSetUpPr.fitToPage if ws.sheet_properties.pageSetUpPr else None,
            # A width of one page is the default, which files leave out.
            1 if ws.page_setup.fitToWidth is None else ws.page_setup.fitToWidth,
            ws.page_setup.fitToHeight, ws.print_title_rows),
        "name": "%s %s" % (ws.title, re.search(rb'<dimension ref="([^"]*)"', xml).group(1).decode()),
    }


if __name__ == "__main__":
    book = openpyxl.load_workbook(sys.argv[1])
    with zipfile.ZipFile(sys.argv[1]) as z:
        xml = [z.read("xl/worksheets/sheet%d.xml" % (i + 1))[:2000] for i in range(len(book.worksheets))]
    json.dump({"sheets": [sheet(ws, x) for ws, x in zip(book.worksheets, xml)]}, sys.stdout, ensure_ascii=False)
