"""mirelo: quantitative research for equity portfolios."""

from mirelo._sweep import SweepResult, sweep

__all__ = ["SweepResult", "sweep"]
