"""docs/parameters.md explains every option of the `velkan` command, each in the section of its
subcommand, and names no option that the command does not have."""
import re
from pathlib import Path

from velkan_tools.cli.command import build_parser, common_options

PAGE = (Path(__file__).resolve().parent.parent / "docs" / "parameters.md").read_text()
OPTION = re.compile(r"(?<![\w-])(--[a-z][a-z0-9-]*|-[a-zA-Z](?![\w-]))")


def options(parser):
    return {name for action in parser._actions for name in action.option_strings}


def subcommands():
    return next(a for a in build_parser()._actions if a.dest == "command").choices


def section(title):
    """The page's text under `## title`, up to the next heading of that level."""
    found = re.search(rf"^## {re.escape(title)}\n(.*?)(?=^## |\Z)", PAGE, flags=re.S | re.M)
    assert found, f"docs/parameters.md has no section '## {title}'"
    return found[1]


def named(text):
    return set(OPTION.findall(text))


def test_each_section_explains_exactly_the_options_of_its_subcommand():
    common = options(common_options()) | options(build_parser())  # -q, -v; -h, --help, --version
    assert named(section("Common options")) == common
    for name, parser in subcommands().items():
        own = options(parser) - common
        text = named(section(f"Options of `velkan {name}`"))
        assert own <= text, (name, sorted(own - text))
        assert text - own - common == set(), (name, sorted(text - own - common))


def test_the_page_names_no_option_the_command_lacks():
    known = options(build_parser()) | set().union(*(options(parser) for parser in subcommands().values()))
    assert named(PAGE) - known == set(), sorted(named(PAGE) - known)
