"""Files in and out, safely: outputs only to regular files (one writer), inputs only from bounded regular files."""

import json
import os
import resource
import signal
import stat
import threading
import time
from pathlib import Path

import numpy as np
import pandas as pd
import pytest

pytest.importorskip("xarray")

from rainmill_models.__main__ import main
from rainmill_models.errors import ModelError
from rainmill_models.io.files import OutputFileError, atomic_write
from rainmill_models.io.readers import RecordError, read_csv, read_netcdf
from rainmill_models.io.states import load_states, save_states, start_from
from rainmill_models.io.writers import write_csv, write_netcdf

FLOW = pd.Series([1.0, 2.5, 4.0], index=pd.date_range("2024-06-01", periods=3, freq="h"), name="q")


def _write_text(path):
    with atomic_write(path) as stream:
        stream.write("text\n")


WRITERS = {
    "atomic_write": _write_text,
    "write_csv": lambda path: write_csv(FLOW, path),
    "write_netcdf": lambda path: write_netcdf(FLOW, path),
    "save_states": lambda path: save_states(path, {"subbasins.a.loss.initial_soil": 1.0}),
}


def _null_device(path):
    try:
        os.mknod(path, stat.S_IFCHR | 0o666, os.stat(os.devnull).st_rdev)
    except OSError:
        pytest.skip("cannot make a device node here")


def _release_reader(fifo):
    """Open `fifo` for writing once a reader waits on it (a reader that blocks gets EOF, not a hang)."""

    def release():
        for _ in range(100):
            try:
                os.close(os.open(fifo, os.O_WRONLY | os.O_NONBLOCK))
                return
            except OSError:
                time.sleep(0.05)

    threading.Thread(target=release, daemon=True).start()


@pytest.mark.parametrize("writer", WRITERS.values(), ids=WRITERS.keys())
def test_writers_refuse_a_fifo_write_through_a_link_and_honour_the_umask(tmp_path, writer):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    with pytest.raises(OutputFileError, match=f"{fifo}: a FIFO; outputs are written to regular files only"):
        writer(fifo)
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode) and sorted(os.listdir(tmp_path)) == ["fifo"]

    real, link = tmp_path / "real.out", tmp_path / "link.out"
    real.write_text("old\n")
    link.symlink_to(real)
    mask = os.umask(0o027)
    try:
        writer(link)
    finally:
        os.umask(mask)
    assert link.is_symlink() and real.read_bytes() != b"old\n"
    assert stat.S_IMODE(real.stat().st_mode) == 0o640

    null = tmp_path / "null"
    _null_device(null)
    writer(null)
    assert stat.S_ISCHR(os.lstat(null).st_mode), "the null device is written, not replaced"


def test_a_failed_netcdf_write_names_the_file_and_leaves_nothing(tmp_path):
    frame = pd.DataFrame({"q": np.arange(50_000.0)}, index=pd.date_range("2024", periods=50_000, freq="h"))
    target = tmp_path / "flows.nc"
    limit = resource.getrlimit(resource.RLIMIT_FSIZE)
    handler = signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
    resource.setrlimit(resource.RLIMIT_FSIZE, (20_000, limit[1]))  # a disk that fills after 20 kB
    try:
        with pytest.raises(OSError, match=f"^{target}: cannot write the NetCDF file"):
            write_netcdf(frame, target)
    finally:
        resource.setrlimit(resource.RLIMIT_FSIZE, limit)
        signal.signal(signal.SIGXFSZ, handler)
    assert os.listdir(tmp_path) == []


@pytest.mark.parametrize(("name", "refused"), [("a,b", False), ('x"y', False), ("a,b\n#c", True), ("back\rline", True)])
def test_column_names_read_back_or_are_refused(tmp_path, name, refused):
    target = tmp_path / "out.csv"
    series = FLOW.rename(name)
    series.attrs["units"] = "m3/s"
    if refused:
        with pytest.raises(ValueError, match="line break"):
            write_csv(series, target, units_row=True)
        assert not target.exists()
        return
    write_csv(series, target, units_row=True)
    back = read_csv(target, name, units_row=True)
    assert back.tolist() == FLOW.tolist() and back.attrs["units"] == "m³/s"


def test_inputs_are_regular_files_of_bounded_size(tmp_path):
    fifo = tmp_path / "fifo"
    os.mkfifo(fifo)
    _release_reader(fifo)
    with pytest.raises(ModelError, match=f"{fifo}: not a regular file"):
        load_states(fifo)
    _release_reader(fifo)
    with pytest.raises(OSError, match=f"{fifo}: not a regular file"):
        write_csv(FLOW, tmp_path / "out.csv", model_file=fifo)
    with pytest.raises(RecordError, match=f"{fifo}: not a regular file"):
        read_netcdf(fifo)
    long = tmp_path / "long.csv"
    long.write_text("time,q,p\n2024-01-01T00:00,," + "1" * 140_000 + "\n")
    with pytest.raises(RecordError, match=f"^{long}, line 2: a line of 140018 characters, more than the 131072"):
        read_csv(long, "q")


@pytest.mark.parametrize(
    ("document", "message"),
    [
        ({"subbasins.hill.area": 1000.0}, "subbasins.hill.area: is not a starting state"),
        ({"subbasins.hill.transform.tc": 0.1}, "subbasins.hill.transform.tc: is not a starting state"),
        ("[" * 100_000 + "]" * 100_000, "JSON nested too deep for a states file"),
    ],
)
def test_a_states_file_sets_starting_states_only(tmp_path, document, message):
    path = tmp_path / "states.json"
    if isinstance(document, str):
        path.write_text(document)
    else:
        path.write_text(json.dumps({"format": "rainmill-states", "version": 1, "time": None, "states": document}))
    with pytest.raises(ModelError, match=message) as caught:
        load_states(path)
    assert "\n" not in str(caught.value)
    if not isinstance(document, str):
        with pytest.raises(ModelError, match=message):
            start_from(object(), document)


EXAMPLES = Path(__file__).resolve().parent.parent.parent / "examples"
COMMANDS = {
    "storm": ["storm", "nrcs", "--type", "II", "--depth", "2", "--units", "in", "--start", "2024-06-01"],
    "run": ["run", str(EXAMPLES / "event_model.toml"), "--rain", str(EXAMPLES / "design_storm.csv")],
}


@pytest.mark.parametrize("command", COMMANDS.values(), ids=COMMANDS.keys())
def test_commands_refuse_a_fifo_and_write_the_null_device(tmp_path, capsys, command):
    fifo, null = tmp_path / "fifo", tmp_path / "null"
    os.mkfifo(fifo)
    assert main([*command, "--out", str(fifo)]) == 2
    assert "a FIFO; outputs are written to regular files only" in capsys.readouterr().err
    assert stat.S_ISFIFO(os.lstat(fifo).st_mode)
    _null_device(null)
    assert main([*command, "--out", str(null)]) == 0
    assert stat.S_ISCHR(os.lstat(null).st_mode) and sorted(os.listdir(tmp_path)) == ["fifo", "null"]
