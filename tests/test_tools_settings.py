"""The parameters of a run are declared once: the command's options, the functions' keywords, the
manifest and the tags all follow ConnectivitySettings."""
import inspect

import rasterio
from test_tools_cli import RUN, condition_tif  # noqa: F401 (condition_tif is a fixture)

import velkan_tools
from velkan_tools.cli.command import build_parser
from velkan_tools.cli.options import option_of, settings_from_options
from velkan_tools.settings import ConnectivitySettings, declared
from velkan_tools.streaming import NOT_RECORDED


def connectivity_parser():
    subparsers = next(a for a in build_parser()._actions if a.dest == "command")
    return subparsers.choices["connectivity"]


def test_every_parameter_is_one_option_of_the_command_with_the_same_default():
    options = {action.dest: action for action in connectivity_parser()._actions}
    for spec in declared():
        assert option_of(spec) in options[spec.name].option_strings, spec.name
    args = connectivity_parser().parse_args(["c.tif", "-o", "o.tif"])
    assert settings_from_options(args) == ConnectivitySettings()


def test_every_function_takes_the_parameters_from_the_declaration_only():
    names = {spec.name for spec in declared()}
    for function in (velkan_tools.connectivity, velkan_tools.connectivity_tiled, velkan_tools.connectivity_dask,
                     velkan_tools.connectivity_from_files):
        signature = inspect.signature(function)
        assert "settings" in signature.parameters, function.__name__
        assert signature.parameters["parameters"].kind is inspect.Parameter.VAR_KEYWORD, function.__name__
        assert not names & set(signature.parameters), (function.__name__, names & set(signature.parameters))


def test_the_tags_record_every_parameter_that_shapes_the_values(tmp_path, condition_tif):  # noqa: F811
    from velkan_tools.cli import main

    out = str(tmp_path / "out.tif")
    assert main(["connectivity", condition_tif, "-o", out, "--max-cost", "7", "-q"] + RUN) == 0
    with rasterio.open(out) as source:
        tags = source.tags()
    recorded = ConnectivitySettings(max_cost=7, levels=[1, 2, 4], outer_window=5).record()
    for name, value in recorded.items():
        if name not in NOT_RECORDED + ("protected_cover",):
            assert tags[f"velkan_{name}"] == str(value), name
