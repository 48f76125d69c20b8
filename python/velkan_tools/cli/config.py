"""A run described in a TOML file: `--config run.toml` holds any option of the subcommand by its long
name (`max-cost` or `max_cost`), in TOML's own types (`levels = [1, 2, 4, 8]`, `max_cost = 10.0`),
input and output paths relative to the file; options on the command line override the file.
`--write-config run.toml` writes the run as resolved, in the same form, and runs nothing."""
import argparse
import math
import os
import tomllib

from .errors import InputError

PARAMETERS_EXPLAINED = ("Every option explained (its unit, default and ecological reading): docs/parameters.md in "
                        "velkan's source tree.")
# Options whose values are paths: relative ones are relative to the file that names them.
PATHS = {"condition", "output", "mask", "protected", "traversal", "transition", "plot", "reclass", "polygons",
         "like", "raster"}
# Options a file cannot hold, and those it may hold but a written run leaves out: they are about
# one invocation, not about the run.
NOT_READ = {"config", "write_config", "help"}
NOT_WRITTEN = NOT_READ | {"quiet", "verbose", "no_progress", "overwrite", "resume"}


def add_config_options(parser):
    parser.add_argument("--config", metavar="RUN.toml",
                        help="read the run from a TOML file: any option by its long name, paths relative to the "
                             "file; options given here override it")
    parser.add_argument("--write-config", metavar="RUN.toml",
                        help="write the run as resolved (the file's options and these) as TOML, and run nothing")


def run_actions(parser, left_out=NOT_READ):
    """{dest: action} of the options and arguments a file may hold."""
    return {action.dest: action for action in parser._actions
            if action.dest not in left_out and action.dest != argparse.SUPPRESS and
            not isinstance(action, (argparse._HelpAction, argparse._VersionAction))}


def key_of(action):
    """The name a file gives an option: its long name, with underscores."""
    return next((s[2:] for s in action.option_strings if s.startswith("--")), action.dest).replace("-", "_")


def action_for(key, actions, path):
    name = key.replace("-", "_")
    for dest, action in actions.items():
        if name in (dest, key_of(action)):
            return action
    raise InputError(f"--config {path}: no option named {key} (the options: "
                     f"{', '.join(sorted(key_of(a) for a in actions.values()))})")


def as_option_value(action, value, folder):
    """A TOML value as the parser would have made it from the command line."""
    if action.dest in PATHS:
        paths = value if isinstance(value, list) else [value]
        resolved = [p if os.path.isabs(p) or p.startswith("/vsi") or "://" in p else os.path.join(folder, p)
                    for p in map(str, paths)]
        return resolved if isinstance(value, list) else resolved[0]
    if isinstance(action, argparse._StoreTrueAction):
        return bool(value)
    if isinstance(action, argparse._AppendAction):  # --co: a table or a list of KEY=VALUE
        return [f"{k}={v}" for k, v in value.items()] if isinstance(value, dict) else [str(v) for v in value]
    if isinstance(value, list):  # a list parameter, as its option writes it
        return ",".join(format_number(v) for v in value)
    return value


def format_number(value):
    return repr(value) if isinstance(value, float) else str(value)


def read_config(path, parser):
    """{dest: value} of a run file, for the subcommand's parser."""
    try:
        with open(path, "rb") as source:
            text = source.read()
        table = tomllib.loads(text.decode("utf-8"))
    except OSError as error:
        raise InputError(f"--config {path}: cannot read it ({error.strerror})") from None
    except (tomllib.TOMLDecodeError, UnicodeDecodeError) as error:
        raise InputError(f"--config {path}: not TOML ({error})") from None
    actions, folder = run_actions(parser), os.path.dirname(os.path.abspath(path))
    values = {}
    for key, value in table.items():
        action = action_for(key, actions, path)
        values[action.dest] = as_option_value(action, value, folder)
    return values, text.decode("utf-8")


def parse_with_config(parser, subparser, argv):
    """The arguments of `argv`, with those of its --config file under them."""
    args = parser.parse_args(argv)
    args.config_text = None
    if getattr(args, "config", None):
        values, args_text = read_config(args.config, subparser)
        subparser.set_defaults(**values)
        args = parser.parse_args(argv)
        args.config_text = args_text
    missing = [name for name, shown in getattr(args, "required", ()) if getattr(args, name) in (None, [])]
    if missing:
        subparser.error(f"the following arguments are required: {', '.join(dict(args.required)[m] for m in missing)}")
    return args


def toml_value(value):
    if isinstance(value, bool):
        return "true" if value else "false"
    if isinstance(value, (int, float)) and not (isinstance(value, float) and not math.isfinite(value)):
        return format_number(value)
    if isinstance(value, (list, tuple)):
        return "[" + ", ".join(toml_value(v) for v in value) + "]"
    text = str(value).replace("\\", "\\\\").replace('"', '\\"')
    return f'"{text}"'


def written_value(dest, value, folder):
    """A resolved option as the file holds it: paths relative to the file, lists as TOML lists."""
    if dest in PATHS:
        paths = value if isinstance(value, list) else [value]
        relative = [p if p.startswith("/vsi") or "://" in p else os.path.relpath(os.path.abspath(p), folder)
                    for p in paths]
        return relative if isinstance(value, list) else relative[0]
    return list(value) if isinstance(value, tuple) else value


def write_config(path, args, subparser, resolved=None):
    """Writes the run of `args` as TOML at `path`: every option that has a value; `resolved` gives
    values the run resolved itself (its settings, with their defaults)."""
    folder = os.path.dirname(os.path.abspath(path))
    lines = [f"# velkan {args.command}: the run as resolved; options on the command line override it"]
    for dest, action in run_actions(subparser, NOT_WRITTEN).items():
        value = (resolved or {}).get(dest, getattr(args, dest, None))
        if value is None or value == [] or (isinstance(action, argparse._StoreTrueAction) and not value):
            continue
        lines.append(f"{key_of(action)} = {toml_value(written_value(dest, value, folder))}")
    with open(path, "w") as target:
        target.write("\n".join(lines) + "\n")
