"""Plain HTML for the report: escaped text, formatted numbers, tables and the page.

Every number cell carries its exact value in ``data-value`` (Python's repr of the float,
"nan" when missing), so that a reader or a test can take the figures back out of the page
without parsing the formatted text.
"""

from __future__ import annotations

import html
import math
from collections.abc import Iterable, Sequence
from typing import Any

import pandas as pd

# How a figure is shown: "pct" (12.34%), "num" (1.23), "int" (42), "date" (2024-01-31).
Format = str


def text(value: object) -> str:
    return html.escape(str(value), quote=True)


def formatted(value: Any, fmt: Format) -> str:
    """`value` as the report shows it ("n/a" where it is missing or undefined)."""
    if fmt == "date":
        return "n/a" if pd.isna(value) else f"{pd.Timestamp(value):%Y-%m-%d}"
    if value is None or (isinstance(value, float) and not math.isfinite(value)):
        return "n/a" if value is None or math.isnan(value) else ("∞" if value > 0 else "-∞")
    if fmt == "pct":
        return f"{100.0 * float(value):.2f}%"
    if fmt == "int":
        return f"{int(value):d}"
    return f"{float(value):.2f}"


def cell(value: Any, fmt: Format) -> str:
    """A table cell; numbers right-aligned with their exact value, dates as text."""
    shown = text(formatted(value, fmt))
    if fmt == "date":
        return f"<td>{shown}</td>"
    exact = "nan" if value is None or pd.isna(value) else repr(float(value))
    negative = " class=\"neg\"" if exact != "nan" and float(value) < 0 else ""
    return f"<td data-value=\"{exact}\"{negative}>{shown}</td>"


def table(table_id: str, header: Sequence[str], rows: Iterable[str],
          caption: str | None = None) -> str:
    """A table whose rows are ready-made ``<tr>`` elements."""
    head = "".join(f"<th scope=\"col\">{text(h)}</th>" for h in header)
    caption_html = f"<caption>{text(caption)}</caption>" if caption else ""
    return (f"<table id=\"{text(table_id)}\">{caption_html}<thead><tr>{head}</tr></thead>"
            f"<tbody>{''.join(rows)}</tbody></table>")


def row(label: str, cells: Iterable[str], key: str | None = None) -> str:
    """A table row headed by `label`; `key` goes into ``data-label``."""
    data = f" data-label=\"{text(key)}\"" if key is not None else ""
    return f"<tr{data}><th scope=\"row\">{text(label)}</th>{''.join(cells)}</tr>"


def section(section_id: str, heading: str, body: str) -> str:
    return f"<section id=\"{text(section_id)}\"><h2>{text(heading)}</h2>{body}</section>"


STYLE = """
body { font-family: system-ui, -apple-system, "Segoe UI", Roboto, sans-serif; color: #222;
       max-width: 1100px; margin: 2em auto; padding: 0 1em; line-height: 1.4; }
h1 { font-size: 1.6em; margin-bottom: 0.2em; }
h2 { font-size: 1.2em; border-bottom: 1px solid #ccc; padding-bottom: 0.2em; margin-top: 2em; }
p.meta { color: #555; margin: 0.2em 0; }
table { border-collapse: collapse; margin: 0.8em 0; font-size: 0.92em; }
caption { text-align: left; color: #555; padding-bottom: 0.3em; }
th, td { padding: 0.25em 0.7em; border-bottom: 1px solid #e4e4e4; }
th { text-align: left; font-weight: 600; }
td { text-align: right; font-variant-numeric: tabular-nums; }
td.neg { color: #b22; }
figure { margin: 1em 0; }
figure svg { max-width: 100%; height: auto; }
figcaption { color: #555; font-size: 0.9em; }
div.side-by-side { display: flex; flex-wrap: wrap; gap: 0 2.5em; align-items: flex-start; }
"""


def page(title: str, body: str) -> str:
    """A complete HTML5 document: inline style, no external resource."""
    return ("<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
            "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n"
            f"<title>{text(title)}</title>\n<style>{STYLE}</style>\n</head>\n"
            f"<body>\n{body}\n</body>\n</html>\n")
