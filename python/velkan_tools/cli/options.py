"""The command's options of a connectivity run, made from the one declaration of its parameters
(velkan_tools.settings), and read back into ConnectivitySettings."""
from ..settings import ConnectivitySettings, SettingError, declared, float_tuple, int_tuple, scale_tuple, shown
from .errors import InputError

# How a list parameter is written on the command line: numbers separated by commas.
LIST_EXAMPLES = {int_tuple: "whole numbers separated by commas, as in 1,2,4,8",
                 float_tuple: "numbers separated by commas, as in 2,20,200",
                 scale_tuple: 'numbers or std separated by commas, as in 100,std'}


def option_of(spec):
    """The long option of a declared parameter: --max-cost for max_cost, unless it names its own."""
    return spec.metadata["option"] or "--" + spec.name.replace("_", "-")


def default_text(spec):
    default = spec.default
    return "every processor" if default is None else shown(default) if default != () else "none"


def add_setting_options(parser):
    """One option per declared parameter, with its help and default."""
    for spec in declared():
        meta = spec.metadata
        if meta["flag"]:
            parser.add_argument(option_of(spec), dest=spec.name, action="store_true", help=meta["help"])
            continue
        kind = meta["kind"]
        parser.add_argument(option_of(spec), dest=spec.name, default=None, metavar=meta["metavar"],
                            choices=meta["choices"], type=None if kind in LIST_EXAMPLES or meta["choices"] else kind,
                            help=f"{meta['help']} (default {default_text(spec)})")


def parsed_list(spec, text):
    try:
        return [spec.metadata["kind"]([v])[0] for v in text.split(",")] if text else []
    except ValueError:
        raise InputError(f"{option_of(spec)} {text}: give {LIST_EXAMPLES[spec.metadata['kind']]}") from None


def settings_from_options(args):
    """The run's ConnectivitySettings from the options given (the others keep their defaults);
    a parameter outside its rule is an InputError naming the option."""
    given = {}
    for spec in declared():
        value = getattr(args, spec.name)
        if spec.metadata["flag"] and not value:
            continue
        if value is not None:
            given[spec.name] = parsed_list(spec, value) if spec.metadata["kind"] in LIST_EXAMPLES else value
    try:
        return ConnectivitySettings(**given)
    except SettingError as error:
        spec = next(s for s in declared() if s.name == error.name)
        shown_value = getattr(args, spec.name) if getattr(args, spec.name) is not None else error.value
        raise InputError(f"{option_of(spec)} {shown_value}: {error.problem}") from None
