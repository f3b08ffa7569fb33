"""Every Python block of README.md runs as written, as a script.

A block runs alone, in a fresh interpreter under ``-W error`` and as
``__main__`` (so a block that starts worker processes must guard itself). A
block that builds on another says so in an HTML comment just above its
fence, ``<!-- continues: NAME -->``, where NAME is given to the earlier
block by ``<!-- name: NAME -->``; it then runs after that block (and after
whatever that one continues).
"""
from __future__ import annotations

import os
import re
import subprocess
import sys
from pathlib import Path

import pytest

README = Path(__file__).resolve().parents[3] / "README.md"
_FENCE = re.compile(r"^```python\n(.*?)^```", re.S | re.M)
_COMMENT = re.compile(r"<!--\s*(name|continues):\s*([\w-]+)\s*-->")


def readme_blocks(text):
    """(line, code, name, continues) for each ```python block of the text."""
    blocks = []
    for match in _FENCE.finditer(text):
        before = text[: match.start()].rstrip("\n").splitlines()
        marks = {}
        # The comments directly above the fence (no prose in between).
        while before and _COMMENT.fullmatch(before[-1].strip()):
            key, value = _COMMENT.fullmatch(before.pop().strip()).groups()
            marks[key] = value
        line = text.count("\n", 0, match.start()) + 1
        blocks.append((line, match.group(1), marks.get("name"), marks.get("continues")))
    return blocks


def script_of(blocks, index):
    """The block's code after the code of every block it continues."""
    by_name = {name: i for i, (_, _, name, _) in enumerate(blocks) if name}
    parts, seen = [], set()
    while index is not None:
        if index in seen:
            raise ValueError(f"README block at line {blocks[index][0]} continues itself")
        seen.add(index)
        line, code, _, continues = blocks[index]
        parts.append(code)
        if continues is not None and continues not in by_name:
            raise ValueError(f"README block at line {line} continues {continues!r}, which no block is named")
        index = by_name.get(continues)
    return "\n".join(reversed(parts))


BLOCKS = readme_blocks(README.read_text(encoding="utf-8"))


def test_the_convention_is_read():
    text = (
        "<!-- name: a -->\n```python\nx = 1\n```\nprose\n\n"
        "<!-- continues: a -->\n```python\ny = x\n```\n"
        "<!-- continues: nowhere -->\n\nprose between\n```python\nz = 2\n```\n"
    )
    blocks = readme_blocks(text)
    assert [(name, continues) for _, _, name, continues in blocks] == [("a", None), (None, "a"), (None, None)]
    assert script_of(blocks, 1) == "x = 1\n\ny = x\n"
    with pytest.raises(ValueError, match="which no block is named"):
        script_of([(1, "", None, "missing")], 0)


def test_the_readme_has_blocks():
    assert len(BLOCKS) >= 10


@pytest.mark.parametrize("index", range(len(BLOCKS)), ids=[f"line{b[0]}" for b in BLOCKS])
def test_readme_block_runs_as_a_script(index, tmp_path):
    script = tmp_path / "readme_block.py"
    script.write_text(script_of(BLOCKS, index), encoding="utf-8")
    # Any free port for a Dask dashboard: a second cluster on the machine (a
    # parallel test run) must not make the block fail on 8787.
    env = dict(os.environ, DASK_DISTRIBUTED__SCHEDULER__DASHBOARD__ADDRESS=":0")
    done = subprocess.run(
        [sys.executable, "-W", "error", str(script)], cwd=tmp_path, capture_output=True, text=True, timeout=300,
        env=env,
    )
    assert done.returncode == 0, f"README block at line {BLOCKS[index][0]} failed:\n{done.stderr[-3000:]}"
