"""Load `rainmill_models._kernels` from a chosen build directory before the package imports it.

The sanitizer and debug-interpreter builds put their own `_kernels*.so` in build/asan and
build/debug, while the package installed in the virtual environment is the release build's.
RAINMILL_KERNELS_DIR names the directory to load from; the module is registered under its
package name, so a later `from rainmill_models import _kernels` finds this one.
"""

import glob
import importlib
import importlib.util
import os
import sys

NAME = "rainmill_models._kernels"


def load():
    """Return the kernels module: from RAINMILL_KERNELS_DIR when set, else the installed one."""
    if NAME in sys.modules:
        return sys.modules[NAME]
    directory = os.environ.get("RAINMILL_KERNELS_DIR")
    if not directory:
        return importlib.import_module(NAME)
    suffixes = importlib.machinery.EXTENSION_SUFFIXES
    found = sorted(p for p in glob.glob(os.path.join(directory, "_kernels*")) if p.endswith(tuple(suffixes)))
    if not found:
        raise ImportError(f"RAINMILL_KERNELS_DIR={directory} holds no _kernels extension")
    spec = importlib.util.spec_from_file_location(NAME, found[0])
    module = importlib.util.module_from_spec(spec)
    sys.modules[NAME] = module
    spec.loader.exec_module(module)
    return module


def preload():
    """Register the chosen build's kernels when RAINMILL_KERNELS_DIR is set; otherwise nothing."""
    if os.environ.get("RAINMILL_KERNELS_DIR"):
        load()
