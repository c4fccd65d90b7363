#!/usr/bin/env python3
"""Checks every #include "..." of every first-party C++ file against the table of who may include
whom in docs/architecture.md, which this script reads, so that the document and the check are one.

A file belongs to the table's folder that is the longest prefix of its path; so does the header it
includes, which is looked up beside the including file first and then from the top of the tree and
from include/, as the compiler looks up a quoted include. A file may include the headers of its own folder, and those
that its row names: a folder (ending in "/") for every header that belongs to it, or one header by
its path. Prints one line for each include the table does not allow and exits 1 when there is any.
"""
import os
import re
import subprocess
import sys

TABLE_HEADING = "## Who may include whom"
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')


def read_table(document):
    """The rows of the first table under TABLE_HEADING: {folder: [allowed entries]}."""
    rows = {}
    in_section = False
    with open(document, encoding="utf-8") as f:
        for line in f:
            if line.startswith("## "):
                if in_section and rows:
                    break
                in_section = line.strip() == TABLE_HEADING
                continue
            if not in_section or not line.startswith("|"):
                if in_section and rows and not line.strip():
                    break
                continue
            cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
            if len(cells) < 2 or set(cells[0]) <= set("-: "):
                continue
            folders = re.findall(r"`([^`]+)`", cells[0])
            if not folders:
                continue  # the heading row
            allowed = re.findall(r"`([^`]+)`", cells[1])
            for folder in folders:
                if not folder.endswith("/"):
                    sys.exit(f"{document}: the folder `{folder}` of the include table must end in '/'; write it so")
                rows[folder] = allowed
    if not rows:
        sys.exit(f"{document}: no table under \"{TABLE_HEADING}\"; restore it, the include check reads it")
    for folder, allowed in rows.items():
        for entry in allowed:
            if entry.endswith("/") and entry not in rows:
                sys.exit(f"{document}: `{folder}` may include `{entry}`, which has no row of its own; add one")
    return rows


def folder_of(path, rows):
    """The table's folder that `path` belongs to, or None."""
    best = None
    for folder in rows:
        if path.startswith(folder) and (best is None or len(folder) > len(best)):
            best = folder
    return best


# Where the compiler finds a quoted include that is not beside the file: the folders by their path
# from the top, and the shared headers of include/ ("kestrova/text.h").
SEARCH_ROOTS = ["", "include"]


def resolve(source, name, top):
    """The included file's path from the top of the tree, or None when it is in no such place."""
    for base in [os.path.dirname(source)] + SEARCH_ROOTS:
        path = os.path.normpath(os.path.join(base, name))
        if os.path.isfile(os.path.join(top, path)):
            return path
    return None


def main():
    top = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    document = os.path.join(top, "docs", "architecture.md")
    rows = read_table(document)
    for folder in rows:
        if not os.path.isdir(os.path.join(top, folder)):
            sys.exit(f"{document}: the include table names `{folder}`, which is no folder of the tree; remove its row")
    # The files git knows and the new ones it would take, so that a check before a commit sees them.
    listed = subprocess.run(["git", "-C", top, "ls-files", "--cached", "--others", "--exclude-standard", "*.cpp",
                             "*.h", "*.c"], check=True, capture_output=True, text=True).stdout.split()
    files = sorted(path for path in set(listed) if os.path.isfile(os.path.join(top, path)))
    problems = []
    for source in files:
        own = folder_of(source, rows)
        if own is None:
            problems.append(f"{source}: its folder has no row in the include table of docs/architecture.md; add one")
            continue
        with open(os.path.join(top, source), encoding="utf-8", errors="replace") as f:
            for number, line in enumerate(f, 1):
                match = INCLUDE.match(line)
                if not match:
                    continue
                name = match.group(1)
                target = resolve(source, name, top)
                if target is None:
                    problems.append(f"{source}:{number}: includes \"{name}\", which is no file of the tree; "
                                    "name it by its path from the top")
                    continue
                folder = folder_of(target, rows) or "no folder of the table"
                allowed = rows[own]
                if folder == own or target in allowed or folder in allowed:
                    continue
                problems.append(f"{source}:{number}: includes \"{name}\" (of `{folder}`), which the row of "
                                f"`{own}` does not allow; use what the row allows, or change the table in "
                                "docs/architecture.md with the reason")
    for problem in problems:
        print(problem)
    if problems:
        print(f"{len(problems)} include(s) break the table of who may include whom")
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
