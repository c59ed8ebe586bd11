"""The module tree that `import rainmill` builds, and the properties every class shares."""

import importlib
import importlib.machinery
import importlib.util
import shutil
import subprocess
import sys

import pytest
import rainmill

TREE = {
    "utils": ["ContinuousTimeSeries", "IncrementalTimeSeries"],
    "reach": ["run_muskingum_routing"],
    "reservoir": ["reservoir_utils", "run_level_pool_routing", "LevelPoolResult"],
    "rainfall_transform": ["run_clark_uh"],
    "rainfall_loss": ["DeficitConstantResult", "run_deficit_and_constant"],
    "baseflow": ["run_linear_reservoir", "LinearReservoir"],
    "metrics": ["calculate_kge"],
}
RESERVOIR_UTILS = [
    "ElevationDischarge",
    "ElevationStorage",
    "ControlledDischargeInfo",
    "UnControlledDischargeInfo",
    "SpecifiedDischargeInfo",
    "ConstantDischargeInfo",
]
STANDALONE = {
    "init_reach": "reach",
    "init_reservoir": "reservoir",
    "init_transform": "rainfall_transform",
    "init_loss": "rainfall_loss",
    "init_baseflow": "baseflow",
    "init_metrics": "metrics",
}


def test_top_module():
    assert rainmill.__all__ == list(TREE)
    assert rainmill.__doc__ == ""
    assert rainmill.__name__ == "rainmill"


@pytest.mark.parametrize("name", list(TREE))
def test_submodules_are_attributes_with_bare_names(name):
    module = getattr(rainmill, name)
    assert module.__name__ == name
    assert module.__doc__ is None
    assert name not in sys.modules and f"rainmill.{name}" not in sys.modules
    # Members arrive with their computations; whatever is there is in order.
    members = getattr(module, "__all__", [])
    assert members == TREE[name][: len(members)]
    for member in members:
        assert hasattr(module, member)


def test_utils_and_reservoir_utils_contents():
    assert rainmill.utils.__all__ == TREE["utils"]
    if "reservoir_utils" in getattr(rainmill.reservoir, "__all__", []):
        assert rainmill.reservoir.reservoir_utils.__name__ == "reservoir_utils"
        assert rainmill.reservoir.reservoir_utils.__all__ == RESERVOIR_UTILS


def test_submodules_are_not_importable_by_dotted_path():
    from rainmill import reach  # noqa: F401  (attribute access works)

    with pytest.raises(ModuleNotFoundError):
        importlib.import_module("rainmill.reach")


@pytest.mark.parametrize("cls", [rainmill.utils.ContinuousTimeSeries, rainmill.utils.IncrementalTimeSeries])
def test_class_identity(cls):
    name = cls.__name__
    assert cls.__module__ == "builtins"
    assert cls.__qualname__ == name
    assert repr(cls) == f"<class 'builtins.{name}'>"
    assert cls.__text_signature__ == "(data, time_step, kind)"
    # The interpreter strips the text signature line from the class docstring.
    assert cls.__doc__.startswith("A uniformly-spaced time series where each value represents a quantity")
    assert cls.total_duration.__text_signature__ == "($self)"
    assert cls.__base__ is object
    assert not hasattr(cls, "__dict__") or "__dict__" not in cls.__dict__
    assert cls.__weakrefoffset__ == 0
    assert not cls.__flags__ & (1 << 14)  # no garbage-collector support


def test_instances_take_no_other_attributes(series):
    with pytest.raises(AttributeError):
        series.foo = 1
    with pytest.raises(AttributeError):
        series.data = [1.0]
    with pytest.raises(AttributeError):
        del series.kind


def test_python_subclass(series_args):
    class Gauged(rainmill.utils.ContinuousTimeSeries):
        pass

    gauged = Gauged(*series_args)
    assert type(gauged) is Gauged
    gauged.station = "upstream"  # the subclass has its own __dict__
    assert gauged.data == list(series_args[0])


def test_same_type_objects_after_reimport(series_args):
    before = rainmill.utils.ContinuousTimeSeries(*series_args)
    saved = sys.modules.pop("rainmill")
    try:
        again = importlib.import_module("rainmill")
        assert again is not saved
        after = again.utils.ContinuousTimeSeries(*series_args)
        assert type(before) is type(after)
        assert again.__all__ == list(TREE)
    finally:
        sys.modules["rainmill"] = saved


def _load_standalone(name):
    spec = importlib.util.spec_from_file_location(name, rainmill.__file__)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


@pytest.mark.parametrize("name, submodule", STANDALONE.items())
def test_standalone_modules_share_the_submodule_contents(name, submodule):
    module = _load_standalone(name)
    reference = getattr(rainmill, submodule)
    assert module.__doc__ == ""
    assert getattr(module, "__all__", []) == getattr(reference, "__all__", [])
    for member in getattr(module, "__all__", []):
        value = getattr(module, member)
        if isinstance(value, type):
            assert value is getattr(reference, member)  # one type object per process


def test_panic_exception_is_not_a_module_attribute():
    def walk(module):
        yield module
        for name in getattr(module, "__all__", []):
            value = getattr(module, name)
            if type(value) is type(rainmill):
                yield from walk(value)

    for module in walk(rainmill):
        assert "PanicException" not in dir(module)


@pytest.mark.skipif(shutil.which("nm") is None, reason="needs binutils nm")
def test_only_the_entry_points_are_exported():
    out = subprocess.run(
        ["nm", "-D", "--defined-only", rainmill.__file__], capture_output=True, text=True, check=True
    ).stdout
    symbols = sorted(line.split()[-1] for line in out.splitlines() if line.strip())
    assert symbols == sorted(
        [
            "PyInit_rainmill",
            "PyInit_init_reach",
            "PyInit_init_reservoir",
            "PyInit_init_transform",
            "PyInit_init_loss",
            "PyInit_init_baseflow",
            "PyInit_init_metrics",
        ]
    )


FUNCTIONS = [
    ("reach", "run_muskingum_routing", "(inflow, k, x, sub_reaches, initial_outflow)"),
    ("reservoir", "run_level_pool_routing", "(inflow, initial_elevation, elevation_storage, discharge_info)"),
    ("rainfall_transform", "run_clark_uh", "(rainfall, basin_area, tc, storage_r)"),
    (
        "rainfall_loss",
        "run_deficit_and_constant",
        "(rainfall, initial_deficit, max_deficit, constant_loss_per_hr, time_to_dry)",
    ),
    ("baseflow", "run_linear_reservoir", "(basin_area, rainfall, reservoirs)"),
    ("metrics", "calculate_kge", "(sim, obs, use_log=False)"),
]


@pytest.mark.parametrize("module_name, name, signature", FUNCTIONS)
def test_functions_are_bound_to_their_submodule(module_name, name, signature):
    module = getattr(rainmill, module_name)
    function = getattr(module, name)
    assert function.__self__ is module
    assert function.__module__ == module_name
    assert function.__name__ == name
    assert function.__text_signature__ == signature
    assert function.__doc__ and not function.__doc__.startswith(name + "(")


def test_only_linear_reservoir_refuses_subclassing():
    ru = rainmill.reservoir.reservoir_utils
    classes = [
        rainmill.utils.ContinuousTimeSeries,
        rainmill.utils.IncrementalTimeSeries,
        rainmill.reservoir.LevelPoolResult,
        rainmill.rainfall_loss.DeficitConstantResult,
        *(getattr(ru, name) for name in RESERVOIR_UTILS),
    ]
    for cls in classes:
        type("Sub", (cls,), {})
    with pytest.raises(TypeError):
        type("Sub", (rainmill.baseflow.LinearReservoir,), {})


@pytest.mark.parametrize("cls", [rainmill.reservoir.LevelPoolResult, rainmill.rainfall_loss.DeficitConstantResult])
def test_result_classes_cannot_be_instantiated(cls):
    with pytest.raises(TypeError):
        cls()
    assert cls.__doc__.startswith("Results from ")
