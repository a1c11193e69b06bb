"""The HTML report of a backtest (``Result.report``) and the summary of a result in a
notebook (``Result._repr_html_``).

The report is one self-contained file: inline style, figures as inline SVG from
matplotlib, plain HTML tables, no script and no network resource, so that it opens
offline in any browser and can be sent as it is. Its sections are in ``sections``, one
function each; the numbers of its tables in ``tables``, the figures in ``figures``.
"""

from __future__ import annotations

import pathlib

import pandas as pd

from mirelo._report.data import ReportData
from mirelo._report.html import cell, formatted, page, row, table, text
from mirelo._report.sections import render

# The figures of the notebook summary: label, name shown, format.
SUMMARY = (
    ("total_return", "Total return", "pct"),
    ("annual_return", "Annual return", "pct"),
    ("annual_volatility", "Annual volatility", "pct"),
    ("sharpe", "Sharpe ratio", "num"),
    ("max_drawdown", "Maximum drawdown", "pct"),
    ("trades", "Trades", "int"),
    ("win_rate", "Win rate", "pct"),
)


def write_report(path: str | pathlib.Path, data: ReportData) -> pathlib.Path:
    """Writes the report of `data` to `path` (UTF-8) and returns the path."""
    target = pathlib.Path(path)
    target.write_text(page(data.title, render(data)), encoding="utf-8")
    return target


def summary_html(stats: pd.Series, caption: str) -> str:
    """A compact table of the main statistics."""
    dates = f"{formatted(stats['start'], 'date')} to {formatted(stats['end'], 'date')}"
    period = row("Period", [f"<td>{text(dates)}</td>"], key="period")
    rows = [period] + [row(name, [cell(stats[label], fmt)], key=label)
                       for label, name, fmt in SUMMARY]
    return table("mirelo-summary", ["", "Portfolio"], rows, caption=caption)


__all__ = ["ReportData", "summary_html", "write_report"]
