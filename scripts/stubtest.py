"""Checks the type stubs against the built module with mypy's stubtest.

The submodules of rainmill are attributes only (not entries of sys.modules), so they are registered
under their dotted names first, as stubtest imports each module of the stub package by name.
"""

import sys
import types

import rainmill
from mypy.stubtest import main


def register(module: types.ModuleType, dotted: str) -> None:
    for name in getattr(module, "__all__", []):
        value = getattr(module, name)
        if isinstance(value, types.ModuleType):
            sys.modules[f"{dotted}.{name}"] = value
            register(value, f"{dotted}.{name}")


if __name__ == "__main__":
    register(rainmill, "rainmill")
    sys.exit(main())
