#!/usr/bin/env python3
"""Reads an .xlsx back with openpyxl and compares every cell with the expected values.

usage: check_xlsx.py WORKBOOK EXPECTED
EXPECTED holds one line per row (header row first); cells are separated by blanks, each the hex of the
cell's UTF-8 text, or "#" and a decimal number for a numeric cell. Every part of the package must also
pass `xmllint --noout`. Text cells are decoded the way spreadsheet programs read them: "_xHHHH_"
stands for the character U+HHHH.
"""
import os
import re
import subprocess
import sys
import tempfile
import zipfile

import openpyxl


def decode(text):
    return re.sub(r"_x([0-9A-Fa-f]{4})_", lambda m: chr(int(m.group(1), 16)), text)


def main():
    book, expected_path = sys.argv[1], sys.argv[2]
    with zipfile.ZipFile(book) as z, tempfile.TemporaryDirectory() as tmp:
        for name in z.namelist():
            path = os.path.join(tmp, "part.xml")
            with open(path, "wb") as f:
                f.write(z.read(name))
            rc = subprocess.run(["xmllint", "--noout", path]).returncode
            if rc != 0:
                print(f"{name}: not well-formed XML")
                return 1
    expected = []
    with open(expected_path, encoding="ascii") as f:
        for line in f.read().split("\n"):
            if not line:
                continue
            row = []
            for cell in line.split(" "):
                if cell.startswith("#"):
                    row.append(int(cell[1:]))
                else:
                    row.append(bytes.fromhex(cell[1:]).decode("utf-8"))
            expected.append(row)
    ws = openpyxl.load_workbook(book).active
    if ws.title != "Sessions":
        print(f"sheet title {ws.title!r}")
        return 1
    got = []
    for row in ws.iter_rows(values_only=True):
        got.append([decode(v) if isinstance(v, str) else ("" if v is None else v) for v in row])
    if got != expected:
        for i, (g, e) in enumerate(zip(got, expected)):
            if g != e:
                print(f"row {i + 1}: got {g!r}, expected {e!r}")
        print(f"rows: got {len(got)}, expected {len(expected)}")
        return 1
    print(f"OK {len(got)} rows")
    return 0


if __name__ == "__main__":
    sys.exit(main())
