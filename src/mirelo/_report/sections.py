"""The sections of the report, in order: each a function of the report's data that
returns its HTML (an empty string for a section with nothing to show)."""

from __future__ import annotations

import math
from collections.abc import Callable, Sequence
from typing import TYPE_CHECKING

import pandas as pd

from mirelo._benchmark import RELATIVE_LABELS
from mirelo._report import figures, tables
from mirelo._report.html import Format, cell, formatted, row, section, table, text

if TYPE_CHECKING:
    from mirelo._report.data import ReportData

# Headline rows: statistic label, name shown, format. The benchmark's column shows its own
# figure where stats() has one (the label prefixed "benchmark_").
HEADLINE: tuple[tuple[str, str, Format], ...] = (
    ("total_return", "Total return", "pct"),
    ("annual_return", "Annual return", "pct"),
    ("annual_volatility", "Annual volatility", "pct"),
    ("sharpe", "Sharpe ratio", "num"),
    ("sortino", "Sortino ratio", "num"),
    ("max_drawdown", "Maximum drawdown", "pct"),
    ("calmar", "Calmar ratio", "num"),
    ("turnover", "Turnover a year", "num"),
    ("exposure", "Exposure", "pct"),
    ("costs", "Costs a year", "pct"),
    ("trades", "Trades", "int"),
    ("win_rate", "Win rate", "pct"),
    ("profit_factor", "Profit factor", "num"),
    ("avg_mae", "Mean MAE", "pct"),
    ("avg_mfe", "Mean MFE", "pct"),
    ("avg_bars_held", "Mean bars held", "num"),
)

RELATIVE: tuple[tuple[str, str, Format], ...] = tuple(zip(RELATIVE_LABELS, (
    "Alpha (annual)", "Beta", "Information ratio", "Tracking error", "Correlation",
    "Up capture", "Down capture"), ("pct", "num", "num", "pct", "num", "num", "num")))

DRAWDOWNS_SHOWN = 5
CONTRIBUTORS_SHOWN = 10

# Rows of the exposure summary: column of Result.exposure, name shown, format.
EXPOSURE_ROWS: tuple[tuple[str, str, Format], ...] = (
    ("long", "Long", "pct"), ("short", "Short", "pct"), ("gross", "Gross", "pct"),
    ("net", "Net", "pct"), ("cash", "Cash", "pct"), ("holdings", "Stocks held", "num"))
NO_RECORD = ("<p>The run has no holdings record (it was run with holdings=False): run "
             "mirelo.backtest with holdings=True for this section.</p>")


def header(data: ReportData) -> str:
    s = data.stats
    lines = [
        f"{formatted(s['start'], 'date')} to {formatted(s['end'], 'date')}: "
        f"{len(data.returns)} bars after the start, {s['periods_per_year']:g} a year; "
        f"{data.stocks} stocks",
        "Rules: " + ", ".join(f"{k}={v}" for k, v in data.rules.items()),
    ]
    if data.benchmark is not None:
        lines.append(f"Benchmark: {data.benchmark.levels.name}")
    meta = "".join(f"<p class=\"meta\">{text(line)}</p>" for line in lines)
    return f"<header><h1>{text(data.title)}</h1>{meta}</header>"


def headline(data: ReportData) -> str:
    s, bench = data.stats, data.benchmark is not None
    columns = ["Statistic", "Portfolio"]
    if data.benchmark is not None:
        columns.append(str(data.benchmark.levels.name))

    def line(label: str, name: str, fmt: Format) -> str:
        cells = [cell(s[label], fmt)]
        if bench:
            theirs = f"benchmark_{label}"
            cells.append(cell(s[theirs], fmt) if theirs in s.index else "<td></td>")
        return row(name, cells, key=label)

    body = table("headline", columns, (line(*entry) for entry in HEADLINE),
                 caption="Returns after the start; risk-free rate 0")
    if bench:
        body += table("relative", ["Against the benchmark", "Portfolio"],
                      (row(name, [cell(s[label], fmt)], key=label)
                       for label, name, fmt in RELATIVE))
    return section("statistics", "Headline statistics", body)


def value_path(data: ReportData) -> str:
    levels = data.benchmark.levels if data.benchmark is not None else None
    return section("value", "Value", _figure("value-path", figures.value_path(
        data.value, levels), "Portfolio value from the start (1.0)"
        + (" beside the benchmark's" if levels is not None else "")))


def drawdowns(data: ReportData) -> str:
    levels = data.benchmark.levels if data.benchmark is not None else None
    worst = tables.drawdown_periods(data.value, DRAWDOWNS_SHOWN)
    rows = (row(str(i + 1), [cell(p["peak"], "date"), cell(p["trough"], "date"),
                             cell(p["recovery"], "date"), cell(p["depth"], "pct"),
                             cell(p["bars"], "int")])
            for i, p in enumerate(worst.to_dict("records")))
    body = _figure("drawdown", figures.drawdowns(data.value, levels),
                   "Fall from the running peak") + table(
        "drawdowns", ["", "Peak", "Trough", "Recovery", "Depth", "Bars"], rows,
        caption=f"The {DRAWDOWNS_SHOWN} worst drawdowns (recovery: first bar back at the peak)")
    return section("drawdowns", "Drawdowns", body)


def monthly_returns(data: ReportData) -> str:
    months = tables.monthly_returns(data.returns)
    rows = (row(str(year), [cell(v, "pct") if not math.isnan(v) else "<td></td>"
                            for v in values], key=str(year))
            for year, values in zip(months.index, months.to_numpy()))
    return section("monthly", "Monthly returns", table(
        "monthly-returns", ["Year", *months.columns], rows,
        caption="Compounded bar returns of each month and year"))


def rolling_sharpe(data: ReportData) -> str:
    per_year = float(data.stats["periods_per_year"])
    window = max(2, round(per_year / 2))
    ours = tables.rolling_sharpe(data.returns, window, per_year)
    if len(ours) == 0:
        return section("rolling-sharpe", "Rolling Sharpe ratio", f"<p>Fewer than {window} "
                       "bars after the start: no rolling window fits.</p>")
    theirs = (tables.rolling_sharpe(data.benchmark.returns, window, per_year)
              if data.benchmark is not None else None)
    return section("rolling-sharpe", "Rolling Sharpe ratio", _figure(
        "rolling-sharpe-figure", figures.rolling_sharpe(ours, theirs, window),
        f"Annualised Sharpe ratio over the last {window} bars (half a year)"))


def exposure(data: ReportData) -> str:
    """Long, short, gross and net exposure over time, and their mean, lowest and highest
    (with the cash and the number of stocks held)."""
    if data.exposure is None:
        return section("exposure", "Exposure", NO_RECORD)
    summary = tables.exposure_summary(data.exposure)
    rows = (row(name, [cell(summary.loc[column, k], fmt) for k in ("mean", "min", "max")],
                key=column)
            for column, name, fmt in EXPOSURE_ROWS)
    body = _figure("exposure-figure", figures.exposure(data.exposure),
                   "Positions summed by side after each bar's trades, at the close, in "
                   "percent of the value; short positions count negative") + table(
        "exposure-summary", ["Over the bars from the start", "Mean", "Lowest", "Highest"],
        rows)
    return section("exposure", "Exposure", body)


def contributors(data: ReportData) -> str:
    """The stocks that added most to the return and those that took most from it, and
    every group's share when a group map is given."""
    if data.contributions is None:
        return section("contributors", "Contributors", NO_RECORD)
    stocks = data.contributions.drop("costs")
    top, bottom = tables.top_and_bottom(stocks, CONTRIBUTORS_SHOWN)
    note = (f"Each bar's price move of a stock over the value before the bar, summed over the "
            f"{len(data.returns)} bars after the start. These are arithmetic contributions: "
            "all stocks and the costs add up to the sum of the bar returns, not to the "
            "compounded return.")
    parts = [_contribution_table("top-contributors", "Top contributors", top),
             _contribution_table("bottom-contributors", "Bottom contributors", bottom)]
    if data.group_contributions is not None:
        groups = data.group_contributions.drop("costs").sort_values(ascending=False,
                                                                     kind="stable")
        parts.append(_contribution_table("group-contributors", "By group", groups))
    parts.append(_totals(data.contributions))
    body = f"<p class=\"meta\">{text(note)}</p><div class=\"side-by-side\">{''.join(parts)}</div>"
    return section("contributors", "Contributors", body)


def _contribution_table(table_id: str, heading: str, values: pd.Series) -> str:
    rows = (row(str(label), [cell(value, "pct")], key=str(label))
            for label, value in values.items())
    return table(table_id, [heading, "Contribution"], rows)


def _totals(contributions: pd.Series) -> str:
    """Costs, and the total of every column (the sum of the bar returns)."""
    rows = [row("Costs", [cell(contributions["costs"], "pct")], key="costs"),
            row("Total", [cell(float(contributions.sum()), "pct")], key="total")]
    return table("contribution-totals", ["All stocks", "Contribution"], rows)


def trades_by_reason(data: ReportData) -> str:
    by_reason = tables.trades_by_reason(data.trades)
    rows = [row(str(reason), [cell(t["trades"], "int"), cell(t["share"], "pct"),
                              cell(t["win_rate"], "pct"), cell(t["avg_return"], "pct"),
                              cell(t["avg_bars_held"], "num")], key=str(reason))
            for reason, t in by_reason.iterrows()]
    total = data.trades
    rows.append(row("all", [cell(len(total), "int"), cell(1.0 if len(total) else math.nan,
                                                          "pct"),
                            cell(data.stats["win_rate"], "pct"),
                            cell(_mean(total["return"]), "pct"),
                            cell(_mean(total["bars_held"]), "num")], key="all"))
    return section("trades", "Trades by exit reason", table(
        "trades-by-reason", ["Exit reason", "Trades", "Share", "Win rate", "Mean return",
                             "Mean bars held"], rows,
        caption="Open trades count as \"open\", with their return at the last bar"))


def excursions(data: ReportData) -> str:
    return section("excursions", "Excursions", _figure(
        "excursions-figure", figures.excursions(data.trades),
        "Maximum adverse against maximum favourable excursion of each trade, at its exit"))


def _figure(figure_id: str, svg: str, caption: str) -> str:
    return f"<figure id=\"{text(figure_id)}\">{svg}<figcaption>{text(caption)}</figcaption></figure>"


def _mean(values: pd.Series) -> float:
    return float(values.mean()) if len(values) else math.nan


SECTIONS: Sequence[Callable[[ReportData], str]] = (
    header, headline, value_path, drawdowns, monthly_returns, rolling_sharpe, exposure,
    contributors, trades_by_reason, excursions,
)


def render(data: ReportData) -> str:
    return "\n".join(part for part in (build(data) for build in SECTIONS) if part)

