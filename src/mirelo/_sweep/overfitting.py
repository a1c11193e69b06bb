"""How much a sweep's best trial owes to the number of trials it took to find it.

Deflated Sharpe ratio (Bailey and López de Prado, 2014)
    The probability that the best trial's true Sharpe ratio is above the
    Sharpe ratio that the best of N trials would show by luck alone:

    1. SR0 = sqrt(V) * ((1 - g) * Z(1 - 1/N) + g * Z(1 - 1/(N e))), the expected
       maximum of N Sharpe ratios whose true value is 0 and whose estimates
       have the variance V of the trials' Sharpe ratios (g: Euler-Mascheroni
       constant, Z: inverse standard normal distribution function);
    2. DSR = Phi((SR - SR0) sqrt(T - 1) / sqrt(1 - skew SR + (kurt - 1) / 4 SR^2)),
       with SR, skew and (non-excess) kurt of the best trial's T returns.

    Sharpe ratios here are per period (not annualized); V is the sample
    variance (ddof=1) over the trials that have a Sharpe ratio, N counts every
    trial, failed ones included; skewness and kurtosis are the plain moment
    estimators.

Probability of backtest overfitting (Bailey, Borwein, López de Prado and Zhu,
combinatorially symmetric cross-validation)
    1. split the T x N matrix of returns into S blocks of consecutive rows
       (sizes differ by at most one when S does not divide T);
    2. for every choice of S/2 blocks as the in-sample set (the others are
       out of sample), find the trial with the best in-sample Sharpe ratio
       (the first one on ties) and its rank r (1 = worst, ties averaged) among
       the N out-of-sample Sharpe ratios;
    3. logit = ln(w / (1 - w)) with w = r / (N + 1);
    PBO = the share of choices whose logit is <= 0, i.e. where the in-sample
    winner does no better than the out-of-sample median.

    Sharpe ratios are mean / standard deviation (ddof=1) of the rows taken
    together; a trial with no variation has 0 when its mean is 0 and an
    infinite ratio of its mean's sign otherwise.
"""

from __future__ import annotations

import itertools
import math

import numpy as np
from scipy import stats

# Choices of in-sample blocks evaluated together (bounds the temporaries).
_BATCH = 2048


def expected_max_sharpe(variance: float, n_trials: int) -> float:
    if n_trials < 2:
        return 0.0
    g = np.euler_gamma
    z = stats.norm.ppf
    return math.sqrt(variance) * ((1.0 - g) * z(1.0 - 1.0 / n_trials)
                                  + g * z(1.0 - 1.0 / (n_trials * math.e)))


def deflated_sharpe_ratio(sharpe: float, variance: float, n_trials: int, n_obs: int,
                          skew: float, kurtosis: float) -> float:
    """The deflated Sharpe ratio from its ingredients (Sharpe ratios per period,
    `kurtosis` not in excess)."""
    sr0 = expected_max_sharpe(variance, n_trials)
    spread = math.sqrt(1.0 - skew * sharpe + (kurtosis - 1.0) / 4.0 * sharpe * sharpe)
    return float(stats.norm.cdf((sharpe - sr0) * math.sqrt(n_obs - 1) / spread))


def deflated_sharpe(best_returns, sharpe_ratios, n_trials: int) -> float:
    """`best_returns`: the best trial's returns; `sharpe_ratios`: the per-period
    Sharpe ratios of the trials that have one (the best is their maximum)."""
    sharpe_ratios = np.asarray(sharpe_ratios, dtype=np.float64)
    sharpe_ratios = sharpe_ratios[np.isfinite(sharpe_ratios)]
    if len(sharpe_ratios) < 2:
        raise ValueError("the deflated Sharpe ratio needs at least two trials with a "
                         "Sharpe ratio")
    if n_trials < len(sharpe_ratios):
        raise ValueError("n_trials is smaller than the number of Sharpe ratios")
    r = np.asarray(best_returns, dtype=np.float64)
    return deflated_sharpe_ratio(float(sharpe_ratios.max()), float(sharpe_ratios.var(ddof=1)),
                                 n_trials, len(r), float(stats.skew(r)),
                                 float(stats.kurtosis(r, fisher=False)))


def _block_sharpe(total, squares, count):
    """Sharpe ratios from sums over rows (arrays broadcast over choices x trials)."""
    mean = total / count
    variance = np.maximum((squares - total * mean) / (count - 1), 0.0)
    sd = np.sqrt(variance)
    with np.errstate(divide="ignore", invalid="ignore"):
        ratio = mean / sd
    flat = np.where(mean == 0.0, 0.0, np.copysign(np.inf, mean))
    return np.where(sd > 0.0, ratio, flat)


def overfit_rank(rank, n_trials):
    """Whether an in-sample winner of out-of-sample rank `rank` (1 = the worst of
    `n_trials`, ties averaged) counts as overfit: the logit of its relative rank
    r / (N + 1) is at or below 0, no better than the median."""
    w = np.asarray(rank, dtype=np.float64) / (np.asarray(n_trials, dtype=np.float64) + 1.0)
    return np.log(w / (1.0 - w)) <= 0.0


def pbo(returns, splits: int = 16) -> float:
    """`returns`: T x N (periods x trials), without missing values."""
    m = np.asarray(returns, dtype=np.float64)
    if m.ndim != 2 or m.shape[1] < 2:
        raise ValueError("pbo needs a 2-D matrix of returns with at least two trials")
    if np.isnan(m).any():
        raise ValueError("pbo: the returns have missing values")
    if splits < 2 or splits % 2:
        raise ValueError(f"splits must be an even number >= 2, got {splits}")
    if 2 * splits > m.shape[0]:
        raise ValueError(f"splits={splits} needs at least {2 * splits} periods, "
                         f"got {m.shape[0]}")
    blocks = np.array_split(np.arange(m.shape[0]), splits)
    sums = np.array([m[b].sum(axis=0) for b in blocks])  # splits x trials
    squares = np.array([(m[b] ** 2).sum(axis=0) for b in blocks])
    counts = np.array([len(b) for b in blocks], dtype=np.float64)
    n_trials = m.shape[1]
    choices = itertools.combinations(range(splits), splits // 2)
    overfit = total = 0
    while batch := list(itertools.islice(choices, _BATCH)):
        inside = np.zeros((len(batch), splits))
        inside[np.arange(len(batch))[:, None], batch] = 1.0
        outside = 1.0 - inside
        is_sr = _block_sharpe(inside @ sums, inside @ squares, (inside @ counts)[:, None])
        oos_sr = _block_sharpe(outside @ sums, outside @ squares, (outside @ counts)[:, None])
        winner = oos_sr[np.arange(len(batch)), np.argmax(is_sr, axis=1)][:, None]
        rank = (oos_sr < winner).sum(axis=1) + ((oos_sr == winner).sum(axis=1) + 1) / 2.0
        overfit += int(np.count_nonzero(overfit_rank(rank, n_trials)))
        total += len(batch)
    return overfit / total
