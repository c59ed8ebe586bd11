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


def read_bytes(path: str | os.PathLike[str], limit: int = MAX_INPUT_BYTES) -> bytes:
    """The contents of a checked input file (`check_input`): never a FIFO, a device or too much."""
    target = check_input(path, limit)
    try:
        return target.read_bytes()
    except OSError as error:
        raise InputFileError(f"{target}: {error.strerror or error}") from error


def read_text(path: str | os.PathLike[str], limit: int = MAX_INPUT_BYTES) -> str:
    """The UTF-8 text of a checked input file; a clear error naming the file when it is not UTF-8."""
    target = Path(path)
    data = read_bytes(target, limit)
    try:
        return data.decode("utf-8-sig")
    except UnicodeDecodeError as error:
        raise InputFileError(
            f"{target}: not UTF-8 text (byte {error.start} is {data[error.start : error.start + 1]!r}); "
            "save it as UTF-8"
        ) from None


class OutputFileError(OSError):
    """An output path that is not a regular file (a FIFO, a device, a directory); the message names it."""


def output_target(path: str | os.PathLike[str]) -> tuple[Path, bool]:
    """Where a writer puts `path`'s contents, and whether it writes there directly.

    A new path or a regular file is replaced all or nothing. A symbolic link is written through: the
    file it points to is replaced and the link kept. The null device (`/dev/null`, or any character
    device that is the same device) is written directly, as any program writes to it. Anything else
    (a FIFO, another device, a directory, a socket) is refused before anything is written, so that
    no special file is ever turned into a regular one.
    """
    given = Path(path)
    target = Path(os.path.realpath(given)) if given.is_symlink() else given
    try:
        info = target.stat()
    except FileNotFoundError:
        return target, False
    except OSError as error:
        raise OutputFileError(error.errno, f"{given}: {error.strerror or error}") from error
    if stat.S_ISREG(info.st_mode):
        return target, False
    if stat.S_ISCHR(info.st_mode) and info.st_rdev == os.stat(os.devnull).st_rdev:
        return target, True
    kind = _KINDS.get(stat.S_IFMT(info.st_mode), "not a regular file")
    shown = f"{given} (-> {target})" if target != given else str(given)
    raise OutputFileError(f"{shown}: {kind}; outputs are written to regular files only")


_KINDS: Final = {
    stat.S_IFIFO: "a FIFO",
    stat.S_IFCHR: "a character device",
    stat.S_IFBLK: "a block device",
    stat.S_IFDIR: "a directory",
    stat.S_IFSOCK: "a socket",
}


@contextlib.contextmanager
def atomic_path(path: str | os.PathLike[str]) -> Iterator[Path]:
    """A temporary path for a writer that needs a file name (NetCDF), moved to `path` on success.

    The same rules as `atomic_write`: a failure leaves any earlier file at `path` as it was and no
    temporary behind; the file gets the permissions the umask allows; a FIFO or a device is refused.
    """
    target, direct = output_target(path)
    directory = target.parent if not direct and str(target.parent) else None
    try:
        handle, name = tempfile.mkstemp(prefix=f".{target.name}.", suffix=".tmp", dir=directory)
    except OSError as error:
        raise OSError(error.errno, f"{target}: cannot write here: {error.strerror or error}") from error
    os.close(handle)
    temporary = Path(name)
    try:
        yield temporary
        if direct:  # the null device takes anything and keeps nothing
            temporary.unlink()
            return
        os.chmod(temporary, 0o666 & ~_umask())
        os.replace(temporary, target)
    except BaseException as error:
        with contextlib.suppress(OSError):
            temporary.unlink()
        if isinstance(error, OSError) and not isinstance(error, OutputFileError) and str(target) not in str(error):
            raise OSError(error.errno, f"{target}: {error.strerror or error}") from error
        raise


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
    earlier file at `path` as it was and no partial file behind; the error names `path`. The file
    gets the permissions the umask allows (as `open` gives). A symbolic link is written through, the
    null device directly, and any other target that is not a regular file is refused
    (`output_target`). The package's only way of writing an output file.
    """
    return cast("contextlib.AbstractContextManager[IO[str]]", _atomic(path, mode, encoding))


@contextlib.contextmanager
def _atomic(path: str | os.PathLike[str], mode: str, encoding: str) -> Iterator[IO[str] | IO[bytes]]:
    text = None if "b" in mode else encoding
    target, direct = output_target(path)
    if direct:
        with open(target, mode, encoding=text) as stream:
            yield stream
        return
    with atomic_path(target) as temporary, open(temporary, mode, encoding=text) as stream:
        yield stream
        stream.flush()
        os.fsync(stream.fileno())


def _umask() -> int:
    mask = os.umask(0)
    os.umask(mask)
    return mask
