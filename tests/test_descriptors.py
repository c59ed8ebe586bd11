"""The call frame refuses, at compile time, a descriptor that does not describe its C++ function.

Each case compiles a small binding unit against the frame's headers; a slip in the descriptor must
stop the compiler with the message that names it, and the correct descriptor must compile.
"""

import pathlib
import shutil
import subprocess
import sysconfig

import pytest

SRC = pathlib.Path(__file__).resolve().parent.parent / "src"
COMPILER = shutil.which("g++") or shutil.which("c++")

pytestmark = pytest.mark.skipif(COMPILER is None or not SRC.is_dir(), reason="needs a C++ compiler and the sources")

UNIT = """
#include "frame.hpp"
#include "utils/time_series.hpp"
namespace rainmill::py {{
double f(std::vector<double> a, WithDefault<bool, false> b);
std::int64_t steps(const IncrementalTimeSeries& series, std::int32_t step);
double peak(Borrowed<ContinuousTimeSeries> series);
constexpr Param kParams[] = {{{params}}};
constexpr Signature kSig{{{signature}}};
PyMethodDef def = {binder}<{function}, kSig>();
}}
"""

GOOD_PARAMS = '{.name = "a", .type = "Sequence[float]"}, {.name = "b", .type = "bool", .shown_default = "False"}'
GOOD_SIGNATURE = '.name = "f", .params = kParams, .required = 1, .returns = "float"'


def compile_unit(tmp_path, params=GOOD_PARAMS, signature=GOOD_SIGNATURE, binder="function_def", function="&f"):
    source = tmp_path / "unit.cpp"
    source.write_text(UNIT.format(params=params, signature=signature, binder=binder, function=function))
    return subprocess.run(
        [
            COMPILER,
            "-std=c++20",
            "-fsyntax-only",
            f"-I{SRC}",
            "-isystem",
            sysconfig.get_paths()["include"],
            str(source),
        ],
        capture_output=True,
        text=True,
        timeout=300,
    )


def test_a_matching_descriptor_compiles(tmp_path):
    result = compile_unit(tmp_path)
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize(
    "change, message",
    [
        ({"params": '{.name = "a", .type = "Sequence[float]"}'}, "as many parameters as the C++ function takes"),
        (
            {
                "params": '{.name = "b", .type = "bool", .shown_default = "False"}, {.name = "a", .type = "Sequence[float]"}'
            },
            "parameter type differs from the converter",
        ),
        (
            {"params": '{.name = "a", .type = "float"}, {.name = "b", .type = "bool", .shown_default = "False"}'},
            "parameter type differs from the converter",
        ),
        ({"signature": GOOD_SIGNATURE.replace("1", "2")}, "optional in the descriptor exactly when"),
        ({"signature": GOOD_SIGNATURE.replace("1", "0")}, "optional in the descriptor exactly when"),
        ({"signature": GOOD_SIGNATURE.replace("1", "3")}, "requires no more parameters than it names"),
        ({"params": GOOD_PARAMS.replace('"False"', '"True"')}, "default a descriptor shows differs"),
        ({"params": GOOD_PARAMS.replace(', .shown_default = "False"', "")}, "shows a default exactly for"),
        ({"signature": GOOD_SIGNATURE.replace('"float"', '"int"')}, "result type differs"),
        ({"signature": GOOD_SIGNATURE + ", .kind = CallableKind::method"}, "kind differs from the entry point"),
        (
            {
                "params": '{.name = "target_step", .type = "int"}',
                "signature": '.name = "steps", .owner = "ContinuousTimeSeries", .params = kParams, .required = 1, '
                '.returns = "int", .kind = CallableKind::method',
                "binder": "method_def",
                "function": "&steps",
            },
            "owner differs from the class",
        ),
        (
            {
                "params": '{.name = "series", .type = "IncrementalTimeSeries"}',
                "signature": '.name = "peak", .params = kParams, .required = 1, .returns = "float"',
                "function": "&peak",
            },
            "parameter type differs from the converter",
        ),
    ],
    ids=[
        "count",
        "order",
        "type",
        "optional",
        "required",
        "too-many-required",
        "default",
        "no-default",
        "result",
        "kind",
        "owner",
        "borrowed-class",
    ],
)
def test_a_slip_in_a_descriptor_does_not_compile(tmp_path, change, message):
    result = compile_unit(tmp_path, **change)
    assert result.returncode != 0
    assert message in result.stderr, result.stderr[-2000:]
