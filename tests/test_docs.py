"""The README is a manual: its layout block names folders that exist, its links resolve, and it
keeps no benchmark tables or development history (those live in docs/ and the benchmark scripts)."""

from __future__ import annotations

import re
from pathlib import Path

ROOT = Path(__file__).resolve().parents[1]
README = (ROOT / "README.md").read_text(encoding="utf-8")


def test_layout_block_names_only_existing_folders():
    block = re.search(r"^## Layout\n+```\n(.*?)^```", README, re.S | re.M)
    assert block, "README has no layout block"
    names = re.findall(r"^(\S+/)", block.group(1), re.M)
    assert len(names) >= 6
    for name in names:
        assert (ROOT / name).is_dir(), name


def test_every_relative_link_resolves():
    for doc in [ROOT / "README.md", *sorted((ROOT / "docs").glob("*.md"))]:
        text = doc.read_text(encoding="utf-8")
        for target in re.findall(r"\]\(([^)#\s]+)(?:#[^)]*)?\)", text):
            if "://" in target:
                continue
            assert (doc.parent / target).exists(), "{}: broken link {}".format(doc.name, target)


def test_readme_links_every_manual_page_and_keeps_no_benchmark_tables():
    for page in ("operators", "analysis", "data", "performance", "architecture"):
        assert "docs/{}.md".format(page) in README
    assert not re.search(r"^\|[^\n]*(before|after)[^\n]*\|", README, re.M | re.I)
    assert not re.search(r"\d+(\.\d+)?x (numpy|pandas)", README)
