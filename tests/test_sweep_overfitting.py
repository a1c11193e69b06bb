"""Deflated Sharpe ratio and probability of backtest overfitting, against
values worked out by hand (standard normal from the statistics module)."""

import math
from statistics import NormalDist

import numpy as np
import pytest

from mirelo._sweep.overfitting import deflated_sharpe, deflated_sharpe_ratio, pbo
from sweepcase import run

PHI = NormalDist()
EULER = 0.5772156649015329


class TestDeflatedSharpe:
    def test_the_published_example(self):
        # Bailey and López de Prado's worked example: annualized Sharpe ratio 2.5
        # over 1250 daily returns with skewness -3 and kurtosis 10, best of 100
        # trials whose annualized Sharpe ratios have variance 1/2, 250 days a year.
        dsr = deflated_sharpe_ratio(2.5 / math.sqrt(250), 0.5 / 250, 100, 1250, -3.0, 10.0)
        assert dsr == pytest.approx(0.9004, abs=5e-5)

    def test_small_case_by_hand(self):
        r = [0.01, -0.02, 0.03, 0.0, 0.02]
        # mean 0.008; deviations 0.002, -0.028, 0.022, -0.008, 0.012;
        # squares sum 0.00148 -> sample sd sqrt(0.00037), population variance 0.000296
        sr = 0.008 / math.sqrt(0.00037)
        m3 = (0.002**3 - 0.028**3 + 0.022**3 - 0.008**3 + 0.012**3) / 5
        m4 = (0.002**4 + 0.028**4 + 0.022**4 + 0.008**4 + 0.012**4) / 5
        skew, kurt = m3 / 0.000296**1.5, m4 / 0.000296**2
        others = [0.1, -0.2]  # two more trials; a fourth one failed
        ratios = others + [sr]
        mean = sum(ratios) / 3
        variance = sum((x - mean) ** 2 for x in ratios) / 2
        sr0 = math.sqrt(variance) * ((1 - EULER) * PHI.inv_cdf(1 - 1 / 4)
                                     + EULER * PHI.inv_cdf(1 - 1 / (4 * math.e)))
        expected = PHI.cdf((sr - sr0) * 2 / math.sqrt(1 - skew * sr + (kurt - 1) / 4 * sr**2))
        assert deflated_sharpe(r, [0.1, np.nan, -0.2, sr], 4) == pytest.approx(expected, rel=1e-12)

    def test_sweep_uses_its_best_trial_and_counts_failed_ones(self):
        swept = run()
        table = swept.table
        ratios = table.sharpe[table.status == "ok"] / math.sqrt(252)
        best = swept.run(int(ratios.idxmax()))
        best = best.returns.to_numpy()[best.start_bar + 1:]
        assert swept.deflated_sharpe() == deflated_sharpe(best, ratios.to_numpy(), len(table))
        assert deflated_sharpe(best, ratios.to_numpy(), len(table)) < deflated_sharpe(
            best, ratios.to_numpy(), len(ratios))

    def test_needs_two_sharpe_ratios(self):
        with pytest.raises(ValueError, match="at least two trials with a Sharpe ratio"):
            deflated_sharpe([0.01, 0.02, -0.01], [0.3, np.nan], 2)


def block(good):
    return [0.03, 0.01] if good else [-0.01, -0.03]


class TestPBO:
    def test_two_opposite_trials_and_a_steady_one(self):
        # Four blocks of two rows.  A is good in blocks 0-1 and bad in 2-3, B the
        # reverse, C repeats (0.01, -0.005).  In-sample {0,1}: A wins (Sharpe
        # 1.73 against C's 0.29 and B's -1.73) and is last out of sample: rank 1 of 3,
        # logit < 0; likewise B for {2,3}.  Any mixed choice gives A and B mean 0,
        # so C wins in sample and is first out of sample (logit > 0).  PBO = 2/6.
        a = block(True) * 2 + block(False) * 2
        b = block(False) * 2 + block(True) * 2
        c = [0.01, -0.005] * 4
        assert pbo(np.array([a, b, c]).T, splits=4) == pytest.approx(1 / 3)

    def test_a_trial_best_in_every_block_is_never_overfit(self):
        rng = np.random.default_rng(0)
        noise = rng.normal(0.0, 0.01, (16, 3))
        best = np.abs(noise[:, :1]) + 0.05
        assert pbo(np.hstack([best, noise]), splits=4) == 0.0

    def test_identical_trials_sit_at_the_median_which_counts_as_overfit(self):
        # Ties: the first trial wins in sample and takes the average rank 2 of 3
        # out of sample, w = 1/2, logit 0.
        column = np.array([0.01, -0.02, 0.03, 0.0, 0.02, 0.01, -0.01, 0.0])
        assert pbo(np.column_stack([column] * 3), splits=4) == 1.0

    @pytest.mark.parametrize("returns, splits, message", [
        (np.zeros((16, 2)), 3, "splits must be an even number >= 2, got 3"),
        (np.zeros((7, 2)), 4, "splits=4 needs at least 8 periods, got 7"),
    ])
    def test_refused(self, returns, splits, message):
        with pytest.raises(ValueError, match=message):
            pbo(returns, splits)

    def test_sweep_pbo_is_over_its_successful_trials(self):
        swept = run(keep_returns=True)
        ok = swept.table.index[swept.table.status == "ok"]
        returns = swept.returns[ok].to_numpy(np.float64)
        assert not returns[0].any() and returns[1].all()  # the first trades are on bar 1
        assert swept.pbo(splits=4) == pbo(returns[1:], 4)
