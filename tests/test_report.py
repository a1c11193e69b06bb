"""Result.report and Result._repr_html_: the page parsed with an HTML5 parser (every
figure and table there, its numbers those of stats(), nothing loaded from elsewhere), and
the page rendered by a headless browser."""

import math
import re

import numpy as np
import pytest

import mirelo
from framecase import random_market

html5lib = pytest.importorskip("html5lib")
pytest.importorskip("matplotlib")

FIGURES = ("value-path", "drawdown", "rolling-sharpe-figure", "exposure-figure",
           "excursions-figure")
TABLES = ("headline", "drawdowns", "monthly-returns", "exposure-summary", "top-contributors",
          "bottom-contributors", "contribution-totals", "trades-by-reason")
# A group map for the report with a benchmark: three groups of the eight stocks.
GROUPS = {f"S{k}": "abc"[k % 3] for k in range(8)}


@pytest.fixture(scope="module")
def run():
    prices, w = random_market(seed=3, bars=400)
    result = mirelo.backtest(prices["close"], w, open=prices["open"], high=prices["high"],
                             low=prices["low"], trade_at="open", stop_loss=0.05)
    return result, prices["close"].mean(axis=1).rename("equal weight")


@pytest.fixture(scope="module", params=["benchmark", "alone"])
def report(request, run, tmp_path_factory):
    result, index = run
    benchmark = index if request.param == "benchmark" else None
    path = result.report(tmp_path_factory.mktemp("report") / "run.html", benchmark=benchmark,
                         title="Momentum <test>", by=GROUPS if benchmark is not None else None)
    tree = html5lib.HTMLParser(strict=True, namespaceHTMLElements=False).parse(
        path.read_text(encoding="utf-8"))
    return result, benchmark, path, tree


def values(table, column):
    """{data-label: data-value} of the rows with a number in cell `column`."""
    cells = {tr.get("data-label"): tr.findall("td")[column] for tr in table.iter("tr")
             if tr.get("data-label") is not None}
    return {label: float(td.get("data-value")) for label, td in cells.items()
            if td.get("data-value") is not None}


def local(tag):
    return tag.rsplit("}", 1)[-1]  # SVG elements keep their namespace


def close(a, b):
    return (math.isnan(a) and math.isnan(b)) or a == pytest.approx(b, rel=1e-12, abs=1e-15)


def test_every_figure_and_table_is_there(report):
    result, benchmark, _, tree = report
    assert tree.find(".//title").text == "Momentum <test>"
    for figure_id in FIGURES:
        figure = tree.find(f".//figure[@id='{figure_id}']")
        assert figure is not None, figure_id
        assert sum(local(e.tag) == "path" for e in figure.iter()) > 5, figure_id
    for table_id in TABLES:
        assert tree.find(f".//table[@id='{table_id}']") is not None, table_id
    legend = [e.text for e in tree.find(".//figure[@id='value-path']").iter()
              if local(e.tag) == "text"]
    assert ("equal weight" in legend) == (benchmark is not None)
    assert (tree.find(".//table[@id='relative']") is not None) == (benchmark is not None)
    assert (tree.find(".//table[@id='group-contributors']") is not None) == \
        (benchmark is not None)


def test_numbers_are_those_of_stats(report):
    result, benchmark, _, tree = report
    s = result.stats(benchmark=benchmark)
    headline = tree.find(".//table[@id='headline']")
    shown = values(headline, 0)
    assert len(shown) == 16
    for label, value in shown.items():
        assert close(value, float(s[label])), label
    if benchmark is not None:
        theirs = values(headline, 1)
        assert theirs["sharpe"] == s["benchmark_sharpe"]
        assert theirs["max_drawdown"] == s["benchmark_max_drawdown"]
        for label, value in values(tree.find(".//table[@id='relative']"), 0).items():
            assert close(value, float(s[label])), label

    by_reason = tree.find(".//table[@id='trades-by-reason']")
    counts = values(by_reason, 0)
    assert counts.pop("all") == s["trades"] == sum(counts.values())
    assert set(counts) == set(result.trades["reason"])
    assert values(by_reason, 2)["all"] == s["win_rate"]

    months = values(tree.find(".//table[@id='monthly-returns']"), 12)  # the Year column
    assert np.prod([1 + r for r in months.values()]) - 1 == pytest.approx(s["total_return"])

    worst = tree.find(".//table[@id='drawdowns']").find("tbody").find("tr")
    cells = worst.findall("td")
    assert [c.text for c in cells[:2]] == [f"{s['max_drawdown_peak']:%Y-%m-%d}",
                                           f"{s['max_drawdown_trough']:%Y-%m-%d}"]
    assert float(cells[3].get("data-value")) == pytest.approx(s["max_drawdown"])


def test_exposure_and_contributors_are_those_of_the_result(report):
    result, benchmark, _, tree = report
    held = result.exposure.iloc[result.start_bar:]
    summary = tree.find(".//table[@id='exposure-summary']")
    for column, k in (("mean", 0), ("min", 1), ("max", 2)):
        shown = values(summary, k)
        assert list(shown) == ["long", "short", "gross", "net", "cash", "holdings"]
        assert all(close(v, float(getattr(held[label], column)())) for label, v in shown.items())

    by_stock = result.contribution().iloc[result.start_bar + 1:].sum()
    top = values(tree.find(".//table[@id='top-contributors']"), 0)
    bottom = values(tree.find(".//table[@id='bottom-contributors']"), 0)
    stocks = by_stock.drop("costs")
    assert list(top) == list(stocks.sort_values(ascending=False).index[:len(top)])
    assert list(bottom) == list(stocks.sort_values().index[:len(bottom)])
    assert len(top) + len(bottom) == (stocks != 0).sum() and not set(top) & set(bottom)
    assert all(close(v, by_stock[k]) for k, v in {**top, **bottom}.items())
    # Every stock and the costs add up to the sum of the bar returns after the start.
    totals = values(tree.find(".//table[@id='contribution-totals']"), 0)
    assert totals["costs"] == by_stock["costs"] < 0
    assert totals["total"] == pytest.approx(result.returns.iloc[result.start_bar + 1:].sum(),
                                            abs=1e-12)
    if benchmark is not None:
        groups = values(tree.find(".//table[@id='group-contributors']"), 0)
        want = result.contribution(by=GROUPS).iloc[result.start_bar + 1:].sum()
        assert sorted(groups) == ["a", "b", "c"]
        assert list(groups.values()) == sorted(groups.values(), reverse=True)
        assert all(close(v, want[k]) for k, v in groups.items())


def test_without_the_holdings_record_the_sections_say_so(run, tmp_path):
    result, _ = run
    plain = mirelo.backtest(result.inputs.frames[0], result.inputs.frames[1],
                            holdings=False)
    tree = html5lib.HTMLParser(namespaceHTMLElements=False).parse(
        plain.report(tmp_path / "plain.html").read_text(encoding="utf-8"))
    for section_id in ("exposure", "contributors"):
        note = tree.find(f".//section[@id='{section_id}']/p").text
        assert "no holdings record" in note, section_id


def test_nothing_is_loaded_from_elsewhere(report):
    _, _, path, tree = report
    assert not [e.tag for e in tree.iter() if e.tag in ("script", "link", "img", "iframe")]
    for element in tree.iter():
        for name, value in element.attrib.items():
            if name.endswith("href") or name == "src":
                assert value.startswith("#"), (element.tag, name, value)
    text = path.read_text(encoding="utf-8")
    assert re.findall(r"url\((?!#)", text) == [] and "@import" not in text


def test_repr_html_is_a_summary_table(run):
    result, _ = run
    tree = html5lib.HTMLParser(strict=True, namespaceHTMLElements=False).parseFragment(
        result._repr_html_())
    shown = values(tree.find(".//table"), 0)
    s = result.stats()
    assert set(shown) == {"total_return", "annual_return", "annual_volatility", "sharpe",
                          "max_drawdown", "trades", "win_rate"}
    assert all(close(v, float(s[k])) for k, v in shown.items())


# ---------------------------------------------------------------- a real browser


def browse(page, tmp_path):
    """(console lines, URLs requested besides the page, screenshot as RGB in [0, 1])."""
    import io

    import matplotlib.image

    from browser import find_browser, visit
    chromium = find_browser()
    if chromium is None:
        pytest.skip("no headless Chromium on this machine (Debian: apt-get install chromium)")
    console, requests, png = visit(chromium, page, tmp_path / "profile")
    return console, requests, matplotlib.image.imread(io.BytesIO(png), format="png")[..., :3]


def pixels_near(image, rgb, tolerance=0.12):
    return int(np.count_nonzero(np.abs(image - np.array(rgb) / 255.0).max(axis=-1) < tolerance))


def test_the_browser_check_sees_errors_requests_and_colours(tmp_path):
    page = tmp_path / "broken.html"
    page.write_text("<!DOCTYPE html><title>x</title><p>text only</p><img src='missing.png'>"
                    "<script>console.error('broken page')</script>")
    console, requests, image = browse(page, tmp_path)
    assert any("broken page" in line for line in console)
    assert {url.rsplit("/", 1)[-1] for url in requests} == {"missing.png"}
    # The colours counted below come from the figures, not from the page around them.
    assert pixels_near(image, (31, 119, 180)) == 0 and pixels_near(image, (236, 162, 163)) == 0


def test_the_report_renders_in_a_browser(run, tmp_path):
    result, index = run
    page = result.report(tmp_path / "run.html", benchmark=index)
    console, requests, image = browse(page, tmp_path)
    assert console == [] and requests == set()
    blue = pixels_near(image, (31, 119, 180))  # the portfolio's lines
    red_fill = pixels_near(image, (236, 162, 163))  # the drawdown's area
    assert blue > 1000 and red_fill > 10000, (blue, red_fill)
