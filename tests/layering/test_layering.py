"""The include rule of ARCHITECTURE.md: every `#include "..."` line in a
product folder names a file of its own folder or of a folder its layer may
include. The rule is the layer table in ARCHITECTURE.md, read here, so it is
written only there."""
import os
import re
import tempfile
import unittest

ROOT = os.path.normpath(os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
TABLE_HEADER = re.compile(r"^\|\s*layer\s*\|\s*may include\s*\|")
FOLDER = re.compile(r"`([a-z_]+)/`")
INCLUDE = re.compile(r'^\s*#\s*include\s+"([^"]+)"')
SOURCES = (".h", ".cpp", ".in", ".rc")


def read_rule(architecture):
    """{layer: the folders it may include} from the layer table."""
    lines = architecture.splitlines()
    start = next((i for i, line in enumerate(lines) if TABLE_HEADER.match(line)), None)
    if start is None:
        raise AssertionError("ARCHITECTURE.md has no table headed | layer | may include |")
    rule = {}
    for line in lines[start + 2:]:
        if not line.startswith("|"):
            break
        cells = [cell.strip() for cell in line.strip().strip("|").split("|")]
        layer = FOLDER.fullmatch(cells[0])
        if layer is None:
            raise AssertionError(f"not a layer: {line}")
        rule[layer.group(1)] = set(FOLDER.findall(cells[1]))
    return rule


def broken_arrows(root, rule):
    """One line per include that breaks the rule: file, line, arrow."""
    broken = []
    for layer in sorted(rule):
        allowed = rule[layer] | {layer}
        for directory, folders, files in os.walk(os.path.join(root, layer)):
            folders.sort()
            for name in sorted(f for f in files if f.endswith(SOURCES)):
                path = os.path.join(directory, name)
                with open(path, encoding="utf-8") as f:
                    for number, line in enumerate(f, 1):
                        match = INCLUDE.match(line)
                        if not match:
                            continue
                        included = match.group(1)
                        target = included.split("/")[0] if "/" in included else None
                        if target not in allowed:
                            where = os.path.relpath(path, root)
                            arrow_end = f"{target}/" if target else included
                            broken.append(f'{where}:{number}: {layer}/ -> {arrow_end}'
                                          f' (#include "{included}"); {layer}/ may include '
                                          + (", ".join(f"{t}/" for t in sorted(rule[layer])) or "nothing"))
    return broken


class LayeringTest(unittest.TestCase):
    def test_every_include_follows_the_rule(self):
        with open(os.path.join(ROOT, "ARCHITECTURE.md"), encoding="utf-8") as f:
            rule = read_rule(f.read())
        for layer in rule:
            self.assertTrue(os.path.isdir(os.path.join(ROOT, layer)), f"the table names {layer}/, which is gone")
        broken = broken_arrows(ROOT, rule)
        self.assertEqual(broken, [], "includes against ARCHITECTURE.md:\n" + "\n".join(broken))

    def test_an_upward_include_is_reported_with_file_line_and_arrow(self):
        table = ("| layer | may include | what |\n|---|---|---|\n"
                 "| `format/` | nothing | x |\n| `base/` | `format/` | x |\n| `child/` | `base/`, `format/` | x |\n")
        files = {"base/failure.cpp": '#include "base/failure.h"\n#include "child/cleanup.h"\n',
                 "base/failure.h": '#pragma once\n#include "format/container.h"\n#include <stdint.h>\n',
                 "child/cleanup.cpp": '#include "base/failure.h"\n#include "format/container.h"\n',
                 "format/container.h": '#include "plain.h"\n'}
        with tempfile.TemporaryDirectory() as root:
            for name, text in files.items():
                os.makedirs(os.path.dirname(os.path.join(root, name)), exist_ok=True)
                with open(os.path.join(root, name), "w", encoding="utf-8") as f:
                    f.write(text)
            self.assertEqual(broken_arrows(root, read_rule(table)), [
                'base/failure.cpp:2: base/ -> child/ (#include "child/cleanup.h"); base/ may include format/',
                'format/container.h:1: format/ -> plain.h (#include "plain.h"); format/ may include nothing'])


if __name__ == "__main__":
    unittest.main()
