#!/usr/bin/env python3
"""Fails when a Markdown file of the repository links to a path that does not exist, or
names one in backticks, so that a renamed or removed file cannot leave a guide pointing
at nothing.

check_doc_paths.py SOURCE_DIR

A relative link ([text](path), ![alt](path)) is resolved from the Markdown file's folder,
and must exist. In backticks, inline or in a fenced block, a word is a repository path when
its first component is a top-level entry of the repository (scripts/test, dist/readme.txt);
it must exist, read from the repository's root. A ":38-43" after a file names its lines and
is left off; "<scenario>" and "*" stand for any name. What a build makes, under build/, is
left out, as are the Markdown files there.
"""
import glob
import os
import re
import sys

LEFT_OUT = {".git", "build"}
LINK = re.compile(r"!?\[[^\]]*\]\(\s*<?([^)\s>]+)>?(?:\s+\"[^\"]*\")?\s*\)")
INLINE_CODE = re.compile(r"(`+)(.+?)\1")
FENCE = re.compile(r"^\s*(```|~~~)")
SCHEME = re.compile(r"^[A-Za-z][A-Za-z0-9+.-]*:")
LINES = re.compile(r":\d+(-\d+)?$")
PLACEHOLDER = re.compile(r"<[^<>/]+>")


def markdown_files(root):
    for folder, subfolders, files in os.walk(root):
        if folder == root:
            subfolders[:] = [d for d in subfolders if d not in LEFT_OUT]
        subfolders[:] = [d for d in subfolders if not d.startswith(".")]
        subfolders.sort()
        for name in sorted(files):
            if name.endswith(".md"):
                yield os.path.join(folder, name)


def exists(path):
    if any(c in path for c in "*?["):
        return bool(glob.glob(path))
    return os.path.lexists(path)


def code_words(lines):
    """(line number, word) for each word in backticks: inline spans, and fenced blocks."""
    fenced = False
    for number, line in enumerate(lines, 1):
        if FENCE.match(line):
            fenced = not fenced
            continue
        spans = [line] if fenced else [m.group(2) for m in INLINE_CODE.finditer(line)]
        for span in spans:
            for word in span.split():
                yield number, word


def repository_path(word, top):
    """The path a word in backticks names, or None when it names none of the repository."""
    word = re.sub(r"'s\W*$", "", word).strip("\"'(),;")  # wine/'s, scripts/test's
    word = LINES.sub("", word.rstrip(".:"))
    if "=" in word:  # PYTHONPATH=. , --link=PATH: the value alone
        word = word.split("=", 1)[1]
    first = word.split("/", 1)[0]
    if first in LEFT_OUT or first not in top:
        return None
    return word


def problems(root):
    top = {name for name in os.listdir(root) if name not in LEFT_OUT}
    found = []
    for md in markdown_files(root):
        shown = os.path.relpath(md, root)
        with open(md, encoding="utf-8") as f:
            lines = f.read().splitlines()
        for number, line in enumerate(lines, 1):
            for match in LINK.finditer(line):
                target = match.group(1)
                if SCHEME.match(target) or target.startswith("#"):
                    continue
                target = target.split("#", 1)[0]
                resolved = (os.path.join(root, target.lstrip("/")) if target.startswith("/")
                            else os.path.join(os.path.dirname(md), target))
                first = os.path.relpath(resolved, root).split(os.sep, 1)[0]
                if first in LEFT_OUT:
                    continue
                if not exists(resolved):
                    found.append(f"{shown}:{number}: links to {target}, which does not exist "
                                 f"({os.path.relpath(resolved, root)})")
        for number, word in code_words(lines):
            path = repository_path(word, top)
            if path is None:
                continue
            if not exists(os.path.join(root, PLACEHOLDER.sub("*", path))):
                found.append(f"{shown}:{number}: names `{path}` in backticks, which does not "
                             "exist")
    return found


def main():
    if len(sys.argv) != 2:
        print(__doc__.strip().split("\n\n")[1], file=sys.stderr)
        return 2
    root = os.path.abspath(sys.argv[1])
    found = problems(root)
    for problem in found:
        print(f"FAIL: {problem}")
    checked = sum(1 for _ in markdown_files(root))
    if not checked:
        print(f"FAIL: no Markdown file found in {root}")
        return 1
    print(f"{checked} Markdown files checked: " +
          (f"{len(found)} paths that do not exist" if found else "every path they name exists"))
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main())
