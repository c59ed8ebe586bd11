"""Files in and out, safely: outputs written all or nothing, inputs only from regular files of bounded size."""

from __future__ import annotations

import contextlib
import os
import stat
import tempfile
from collections.abc import Iterator
from pathlib import Path
from typing import IO, Final, Literal, cast, overload

# What a reader takes at most from one input file: far above any rain, flow or model file, far below
# what would exhaust the memory of a workstation.
MAX_INPUT_BYTES: Final = 2 * 1024**3


class InputFileError(OSError):
    """An input path that is not a readable regular file of acceptable size; the message names it."""


def check_input(path: str | os.PathLike[str], limit: int = MAX_INPUT_BYTES) -> Path:
    """`path` as a Path once it is known to be a regular file no larger than `limit` bytes.

    A FIFO, a device or a directory is refused before anything is read, so that `/dev/zero` or a
    named pipe cannot block a reader or exhaust the memory.
    """
    target = Path(path)
    try:
        info = target.stat()
    except OSError as error:
        raise InputFileError(f"{target}: {error.strerror or error}") from error
    if not stat.S_ISREG(info.st_mode):
        kind = "a directory" if stat.S_ISDIR(info.st_mode) else "not a regular file"
        raise InputFileError(f"{target}: {kind}; give the path of a file")
    if info.st_size > limit:
        raise InputFileError(f"{target}: {info.st_size} bytes, more than the {limit} bytes a reader takes")
    return target


def read_text(path: str | os.PathLike[str], limit: int = MAX_INPUT_BYTES) -> str:
    """The UTF-8 text of a checked input file; a clear error naming the file when it is not UTF-8."""
    target = check_input(path, limit)
    try:
        data = target.read_bytes()
    except OSError as error:
        raise InputFileError(f"{target}: {error.strerror or error}") from error
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise InputFileError(
            f"{target}: not UTF-8 text (byte {error.start} is {data[error.start : error.start + 1]!r}); "
            "save it as UTF-8"
        ) from None


@overload
def atomic_write(
    path: str | os.PathLike[str], mode: Literal["w"] = "w", encoding: str = "utf-8"
) -> contextlib.AbstractContextManager[IO[str]]: ...
@overload
def atomic_write(
    path: str | os.PathLike[str], mode: Literal["wb"], encoding: str = "utf-8"
) -> contextlib.AbstractContextManager[IO[bytes]]: ...
def atomic_write(
    path: str | os.PathLike[str], mode: Literal["w", "wb"] = "w", encoding: str = "utf-8"
) -> contextlib.AbstractContextManager[IO[str]] | contextlib.AbstractContextManager[IO[bytes]]:
    """Write `path` all or nothing: into a temporary file beside it, renamed into place on success.

    Whatever fails while writing (a full disk, a file-size limit, an unencodable text) leaves any
    earlier file at `path` as it was and no partial file behind.
    """
    return cast("contextlib.AbstractContextManager[IO[str]]", _atomic(Path(path), mode, encoding))


@contextlib.contextmanager
def _atomic(target: Path, mode: str, encoding: str) -> Iterator[IO[str] | IO[bytes]]:
    directory = target.parent if str(target.parent) else Path(".")
    try:
        handle, temporary = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=directory)
    except OSError as error:
        raise OSError(error.errno, f"{target}: cannot write here: {error.strerror or error}") from error
    try:
        with os.fdopen(handle, mode, encoding=None if "b" in mode else encoding, newline=None) as stream:
            yield stream
            stream.flush()
            os.fsync(stream.fileno())
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, target)
    except BaseException:
        with contextlib.suppress(OSError):
            os.unlink(temporary)
        raise


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
