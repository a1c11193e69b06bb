"""mirelo: quantitative research for equity portfolios."""

__all__ = ["SweepResult", "sweep"]


def __getattr__(name: str):
    # The sweep brings in pandas, pyarrow and scipy: loaded on first use, so
    # that the compiled core imports without them.
    if name in ("sweep", "SweepResult"):
        from mirelo import _sweep

        return getattr(_sweep, name)
    raise AttributeError(f"module 'mirelo' has no attribute {name!r}")
