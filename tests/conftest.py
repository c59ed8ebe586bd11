import rainmill

import kernels_preload

kernels_preload.preload()  # RAINMILL_KERNELS_DIR: the sanitizer build's kernels


def pytest_report_header(config):
    return f"rainmill loaded from {rainmill.__file__}"


import datetime

import pytest


@pytest.fixture
def series_args():
    return ([0.0, 10.0, 20.0], datetime.timedelta(seconds=60), "discharge")


@pytest.fixture
def series(series_args):
    return rainmill.utils.ContinuousTimeSeries(*series_args)
