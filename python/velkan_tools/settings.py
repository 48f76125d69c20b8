"""One description of a connectivity run: every parameter declared once, with its default, its
rule, its help text and its tag name. The `velkan` command's options, the Python functions'
keywords, the checkpoint's manifest and the outputs' tags all come from `ConnectivitySettings`,
so that defaults and checks are the same everywhere.

>>> settings = ConnectivitySettings(max_cost=20)
>>> settings.max_cost, settings.levels, settings.lambdas
(20.0, (1, 2, 4, 8), (2.0, 20.0, 200.0))
>>> ConnectivitySettings(levels=[1, 3])
Traceback (most recent call last):
...
velkan_tools.settings.SettingError: levels 1,3: levels must be 1, 2, 4, ... (each twice the one before)
"""
import dataclasses
import math
from dataclasses import dataclass, field, fields

from .checks import MAX_COST_LIMIT, MAX_COST_REASON, threads_problem
from .errors import InputError
from .grid import DEFAULT_TILE_SIZE, search_reach


class SettingError(InputError):
    """A parameter outside its rule: `name` (the parameter's), `value` and `problem` say which and why."""

    def __init__(self, name, value, problem):
        super().__init__(f"{name} {value}: {problem}")
        self.name, self.value, self.problem = name, value, problem


# ---- the rules: each returns what is wrong with a value, or None ----

def doubling_levels(levels):
    if not levels or list(levels) != [2 ** k for k in range(len(levels))]:
        return "levels must be 1, 2, 4, ... (each twice the one before)"
    return None


def positive_bandwidths(lambdas):
    if not lambdas or not all(math.isfinite(v) and v > 0 for v in lambdas):
        return "give one or more positive bandwidths in km, as in 2,20,200"
    return None


def sound_max_cost(value):
    if not (math.isfinite(value) and value >= 1):
        return "give a finite number of at least 1; below 1, degraded cells would be cheaper to cross than intact ones"
    if value >= MAX_COST_LIMIT:
        return MAX_COST_REASON
    return None


def odd_width(value):
    return None if value >= 1 and value % 2 == 1 else "must be a positive odd number"


def at_least_one(value):
    return None if value is None or value >= 1 else "must be at least 1"


def startable_threads(value):
    return at_least_one(value) or threads_problem(value)


def positive_scale(value):
    return None if math.isfinite(value) and value > 0 else "give a positive number to divide the values by"


def fraction_of_a_cell(value):
    return None if 0 < value <= 1 else "give a fraction of a cell above 0 and at most 1"


def one_of(*choices):
    def check(value):
        return None if value in choices else f"give one of {', '.join(choices)}"
    return check


# ---- conversions: a value as the run keeps it ----

def int_tuple(value):
    return tuple(int(v) for v in value)


def float_tuple(value):
    return tuple(float(v) for v in value)


def optional_int(value):
    return None if value is None else int(value)


def scale_tuple(value):
    """Divisors of the transition grids' bands: numbers, or "std" for a band's standard deviation."""
    return tuple("std" if isinstance(v, str) and v.strip().lower() == "std" else float(v) for v in value)


def band_divisors(value):
    if any(v != "std" and not (math.isfinite(v) and v > 0) for v in value):
        return 'give positive numbers or "std", one for every band or one for all'
    return None


KIND_NAMES = {int_tuple: "whole numbers", float_tuple: "numbers", float: "a number", int: "a whole number",
              str: "a text", bool: "true or false", optional_int: "a whole number",
              scale_tuple: 'numbers or "std"'}


def parameter(default, kind, help, check=None, option=None, metavar=None, choices=None, flag=False):
    """A field of ConnectivitySettings with what the command, the checks and the tags need of it."""
    return field(default=default, metadata=dict(kind=kind, help=help, check=check, option=option, metavar=metavar,
                                                 choices=choices, flag=flag))


@dataclass(frozen=True)
class ConnectivitySettings:
    """Every parameter of a connectivity run, checked when it is made (SettingError, an InputError)."""

    levels: tuple = parameter((1, 2, 4, 8), int_tuple, "resolution levels: the base cells and overviews of "
                              "2 x 2, 4 x 4, ... cells", doubling_levels, metavar="L,L,...")
    lambdas: tuple = parameter((2.0, 20.0, 200.0), float_tuple, "distance-decay bandwidths of the kernels, in km",
                               positive_bandwidths, metavar="KM,KM,...")
    max_cost: float = parameter(10.0, float, "path weight of a cell of traversal 0: such a cell costs N times its "
                                "length, an intact one (traversal 1) once; at least 1", sound_max_cost, metavar="N")
    window_size: int = parameter(3, int, "odd window width, in cells of each level below the coarsest", odd_width,
                                 metavar="N")
    outer_window: int = parameter(11, int, "odd window width, in cells of the coarsest level (used when at least "
                                  "the window width)", metavar="N")
    window_mode: str = parameter("circular", str, "shape of the windows", one_of("circular", "square"),
                                 choices=("circular", "square"))
    pa_to_pa: bool = parameter(False, bool, "KOVA: only protected cells count as destinations", flag=True)
    transition_scale: tuple = parameter((), scale_tuple, "divide each band of the transition grids by S (or by its "
                                        "standard deviation over the raster, std), one for every band or one for "
                                        "all, so that a difference of 1 is as dissimilar as an environment can be "
                                        "within reach", band_divisors, metavar="S,S,...")
    protected_cover: float = parameter(0.5, float, "fraction of a cell that protected polygons must cover to "
                                       "protect it", fraction_of_a_cell, metavar="F")
    condition_scale: float = parameter(1.0, float, "divide the condition values by S first (100 for percentages)",
                                       positive_scale, metavar="S")
    traversal_scale: float = parameter(1.0, float, "divide the traversal values by S first", positive_scale,
                                       metavar="S")
    n_threads: int | None = parameter(None, optional_int, "threads per native call (default: every processor)",
                                      startable_threads, option="--threads", metavar="N")
    tile_size: int = parameter(DEFAULT_TILE_SIZE, int, "tile (or dask chunk) side in cells", at_least_one,
                               metavar="N")

    def __post_init__(self):
        for spec in fields(self):
            value = getattr(self, spec.name)
            try:
                value = spec.metadata["kind"](value)
            except (TypeError, ValueError):
                raise SettingError(spec.name, value, f"give {KIND_NAMES[spec.metadata['kind']]}") from None
            object.__setattr__(self, spec.name, value)
            check = spec.metadata["check"]
            if check and (problem := check(value)):
                raise SettingError(spec.name, shown(value), problem)
        if self.outer_window >= self.window_size and self.outer_window % 2 == 0:  # a narrower one is not used
            raise SettingError("outer_window", self.outer_window, "must be odd")

    def replace(self, **changes):
        """These settings with some parameters changed (and checked)."""
        return dataclasses.replace(self, **changes)

    @property
    def halo(self):
        return search_reach(self.levels, self.window_size, self.outer_window)

    def record(self):
        """{name: value} of every parameter, as JSON and the tags keep them."""
        return {spec.name: list(value) if isinstance(value := getattr(self, spec.name), tuple) else value
                for spec in fields(self)}


def shown(value):
    """A value as a user wrote it: lists comma-separated."""
    return ",".join(f"{v:g}" if isinstance(v, float) else str(v) for v in value) if isinstance(value, tuple) else value


def declared():
    """The declared parameters: dataclasses.Field objects of ConnectivitySettings."""
    return fields(ConnectivitySettings)


def settings_from(settings=None, **keywords):
    """`settings` (or the defaults) with `keywords` over them; TypeError for a name no parameter has."""
    unknown = set(keywords) - {spec.name for spec in declared()}
    if unknown:
        raise TypeError(f"unknown connectivity parameter {sorted(unknown)[0]!r}; the parameters are "
                        f"{', '.join(spec.name for spec in declared())}")
    return (settings or ConnectivitySettings()).replace(**keywords) if keywords else (settings or
                                                                                      ConnectivitySettings())
