"""The level-pool routing gives, bit for bit, the results recorded before its loop was reworked.

The recorded digest covers 2500 random reservoirs (see level_pool_digest.py): every output value's
exact bits and every error message. If it changes, dump the per-reservoir lines of the old and the
new build with `python tests/level_pool_digest.py --dump FILE` and compare them.
"""

import level_pool_digest

RECORDED = "ec7140e379dbea5ed17cc428f0c669115dee30c6282f0baabb6602a07793f3a4"


def test_level_pool_results_are_bit_identical_to_the_recorded_runs():
    assert level_pool_digest.digest() == RECORDED
