#!/usr/bin/env python3
"""What tests/check_doc_paths.py counts as a path that does not exist, one case per way a
Markdown file can name a path, in a small repository of its own."""
import os
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_doc_paths  # noqa: E402

# The repository every case reads: these files, plus the case's own Markdown text.
FILES = ["README.md", "scripts/test", "dist/readme.txt", "docs/wine.md",
         "tests/e2e/scenarios.py", "build/native/ctest-output.log"]

# (what the case shows, where the Markdown file is, its text, the problems expected as
# (line, the path named)).
CASES = [
    ("a link to a file that exists", "docs/a.md", "see [the guide](wine.md)", []),
    ("a link up to the root", "docs/a.md", "see [the front page](../README.md)", []),
    ("a link with a section", "docs/a.md", "see [exit statuses](wine.md#the-run)", []),
    ("a link to a file that does not exist", "docs/a.md", "x\nsee [the guide](windows9x.md)",
     [(2, "windows9x.md")]),
    ("a link from the root to a missing folder", "a.md", "[tests](tests/unit/)",
     [(1, "tests/unit/")]),
    ("a picture that does not exist", "a.md", "![the dialog](docs/dialog.png)",
     [(1, "docs/dialog.png")]),
    ("a web link is not a repository path", "a.md", "[CMake](https://cmake.org/x.html)", []),
    ("a link within the page", "a.md", "[below](#the-run)", []),
    ("a link into build/ is left out", "a.md", "[log](build/native/missing.log)", []),
    ("a path in backticks that exists", "a.md", "run `scripts/test`", []),
    ("a file's lines after it", "a.md", "in `dist/readme.txt:20-22`, and `scripts/test:4`.", []),
    ("a possessive after a path", "a.md", "```\nscripts/test's output, dist/'s files\n```", []),
    ("a path in backticks that does not exist", "a.md", "run `scripts/demo` first",
     [(1, "scripts/demo")]),
    ("a path among other words in backticks", "a.md", "`python3 tests/e2e/missing.py --runs 2`",
     [(1, "tests/e2e/missing.py")]),
    ("a value after =", "a.md", "`PYTHONPATH=. python3 scripts/stress.py`",
     [(1, "scripts/stress.py")]),
    ("a first component that is no top-level entry", "a.md",
     "`/dev/ttyUSB0`, `unit/wine`, `~/gyrelle-prefix`, `$WINEPREFIX/gyrsetup-logs/`", []),
    ("a path under build/ is left out", "a.md", "`build/native/tools/simulator/x`", []),
    ("a placeholder stands for any name", "a.md", "`tests/<folder>/scenarios.py`", []),
    ("a placeholder that matches nothing", "a.md", "`tests/<folder>/stress.py`",
     [(1, "tests/<folder>/stress.py")]),
    ("a path in a fenced block", "a.md", "```\nscripts/test -R Census\nscripts/bench\n```",
     [(3, "scripts/bench")]),
]


class DocPathsTest(unittest.TestCase):
    def test_cases(self):
        for shown, md, text, expected in CASES:
            with self.subTest(shown), tempfile.TemporaryDirectory() as root:
                for name in FILES:
                    os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
                    open(os.path.join(root, name), "w").close()
                with open(os.path.join(root, md), "w") as f:
                    f.write(text + "\n")
                found = check_doc_paths.problems(root)
                self.assertEqual(len(found), len(expected), found)
                for problem, (line, path) in zip(found, expected):
                    self.assertTrue(problem.startswith(f"{md}:{line}: "), problem)
                    self.assertIn(path, problem)

    def test_markdown_under_build_is_not_read(self):
        with tempfile.TemporaryDirectory() as root:
            os.makedirs(os.path.join(root, "build", "deps"))
            os.makedirs(os.path.join(root, "scripts"))
            with open(os.path.join(root, "build", "deps", "README.md"), "w") as f:
                f.write("`scripts/missing`\n")
            with open(os.path.join(root, "README.md"), "w") as f:
                f.write("`scripts/`\n")
            self.assertEqual(check_doc_paths.problems(root), [])


if __name__ == "__main__":
    unittest.main()
