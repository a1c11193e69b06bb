"""A result stays as it ran when the caller edits the frames it came from (or its own
value Series) afterwards, and nothing is copied up front under copy-on-write."""

import numpy as np
import pytest

import mirelo
from framecase import random_market
from mirelo import _frames, _result


def edit_everything(close, weights, open_):
    weights.loc[:, :] = 0.0
    weights.iloc[:, 0] = 1.0
    close.iloc[10:, :] = close.iloc[10:, ::-1].to_numpy()
    open_ *= 1.5


@pytest.mark.parametrize("cow", [True, False], ids=["copy-on-write", "copying"])
def test_edits_after_the_run_change_nothing(monkeypatch, cow):
    if not cow:  # pandas 2 without copy-on-write: the frames are copied instead
        monkeypatch.setattr(_frames, "copy_on_write", lambda: False)
        monkeypatch.setattr(_result, "copy_on_write", lambda: False)
    prices, w = random_market(seed=7)
    close, open_, weights = prices["close"].copy(), prices["open"].copy(), w.copy()
    r = mirelo.backtest(close, weights, open=open_, high=prices["high"], low=prices["low"],
                        trade_at="open", stop_loss=0.05)
    stats, value = r.stats(), r.value.to_numpy().copy()
    shared = np.shares_memory(r.inputs.market.close_values, close.to_numpy())
    assert shared == cow

    sweep_close, sweep_weights = prices["close"].copy(), w.copy()
    swept = mirelo.sweep(sweep_close, sweep_weights, {"stop_loss": [0.05, 0.2, 1.0]},
                         progress=False)
    table = swept.table.copy()

    edit_everything(close, weights, open_)
    edit_everything(sweep_close, sweep_weights, open_)
    view = r.value
    view.iloc[:] = 0.0  # changes that Series only

    assert r.stats().equals(stats)
    np.testing.assert_array_equal(r.value.to_numpy(), value)
    again = r.inputs.market.build().run(**r.inputs.targets.arguments(), **r.rules)
    np.testing.assert_array_equal(again.value, value)
    best = swept.best()
    # (NaN equals nothing: compared as missing.)
    present = lambda values: [v if v == v else "missing" for v in values]  # noqa: E731
    assert present(swept.run(best.name).stats()) == present(best[stats.index])
    assert swept.table.equals(table)
