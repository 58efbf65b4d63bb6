#!/usr/bin/python3
"""Reads a workbook with openpyxl and prints, as JSON, per worksheet: the
column widths as shown (characters) and the cell values, typed as read."""
import json
import sys

import openpyxl
from openpyxl.utils import get_column_letter


def shown_width(dim):
    # Worksheets store the width padded by 5 pixels of a 7-pixel character.
    return None if dim.width is None else max(0, round((round(dim.width * 7) - 5) / 7))


def sheet(ws):
    columns = range(1, ws.max_column + 1)
    return {
        "widths": [shown_width(ws.column_dimensions[get_column_letter(c)]) for c in columns],
        "values": [[c.value for c in line] for line in ws.iter_rows(min_row=1)],
    }


if __name__ == "__main__":
    book = openpyxl.load_workbook(sys.argv[1])
    json.dump({"sheets": [sheet(ws) for ws in book.worksheets]}, sys.stdout, ensure_ascii=False)
