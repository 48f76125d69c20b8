"""The engine's folders form one layering: each folder includes exactly the folders that
CMakeLists.txt links it with, and those links have no cycle, so no folder reaches one above it."""
import re
from pathlib import Path

ROOT = Path(__file__).resolve().parent.parent
MODULE = re.compile(r"^velkan_module\((\w+)(?:\s+DEPS\s+([\w\s]+))?\)", re.MULTILINE)
INCLUDE = re.compile(r'^#include "(\w+)/', re.MULTILINE)


def declared_links():
    """Every folder's links, as CMakeLists.txt's velkan_module lines give them."""
    text = (ROOT / "CMakeLists.txt").read_text()
    return {name: set((deps or "").split()) for name, deps in MODULE.findall(text)}


def included_folders(folder):
    """The other folders that the sources of src/<folder> include."""
    found = set()
    for path in (ROOT / "src" / folder).glob("*.[ch]*"):
        found.update(INCLUDE.findall(path.read_text()))
    return found - {folder}


def test_every_folder_includes_exactly_what_it_links():
    links = declared_links()
    assert {p.name for p in (ROOT / "src").iterdir() if p.is_dir()} - set(links) == {"lib"}  # lib sits on top
    wrong = {folder: (sorted(included_folders(folder)), sorted(deps)) for folder, deps in links.items()
             if included_folders(folder) != deps}
    assert not wrong, f"folder: (includes, links) that differ: {wrong}"


def test_the_links_have_no_cycle():
    links = declared_links()
    placed = []
    while len(placed) < len(links):
        ready = [folder for folder, deps in links.items() if folder not in placed and deps <= set(placed)]
        assert ready, f"a cycle among {sorted(set(links) - set(placed))}"
        placed += sorted(ready)
