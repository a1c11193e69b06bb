"""Drives the bound native entry points and the reference model with the same calls."""

import numpy as np

from mirelo.core import excursion
from model import Analysis


class Twin:
    """`twin.record_exit(0, 1)` calls the entry point through the probe, then the model."""

    def __init__(self, probe):
        self.probe = probe
        self.model = Analysis()

    def __getattr__(self, name):
        def both(*args):
            got = getattr(self.probe, name)(*args)
            assert getattr(self.model, name)(*args) is None
            return got
        return both

    def assert_same_results(self):
        assert excursion.trades == self.model.trades
        assert np.array_equal(excursion.trade_positions, self.model.trade_positions,
                              equal_nan=True)
        assert len(excursion.excursion) == len(self.model.excursion)
        for got, want in zip(excursion.excursion, self.model.excursion):
            assert got.dtype == np.float64
            assert np.array_equal(got, want, equal_nan=True)
