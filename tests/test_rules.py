"""The engine's rule table (mirelo.core.batch.RULES) against everything made from it or
kept beside it: both entry points' signatures and docstrings, the Python layer's defaults
and docstring, and the README's table."""

import inspect
import math
import pathlib
import re

import mirelo
from mirelo._inputs import RULE_DEFAULTS, check_rules
from mirelo.core import batch, tradesim

README = pathlib.Path(__file__).parents[1] / "README.md"
KIND_TYPES = {"float": float, "int": int, "bool": bool, "object": bool}


def rule_parameters(function):
    """(name, default) of each parameter with a default, in order."""
    return [(p.name, p.default) for p in inspect.signature(function).parameters.values()
            if p.default is not inspect.Parameter.empty]


def test_each_rule_is_well_formed():
    assert len({rule.name for rule in batch.RULES}) == len(batch.RULES)
    for rule in batch.RULES:
        assert type(rule.default) is KIND_TYPES[rule.kind], rule
        numeric = rule.kind in ("float", "int")
        assert (rule.minimum is not None) == numeric == bool(rule.range), rule
        assert rule.doc and "\n" not in rule.doc, rule


def test_both_entry_points_take_the_rules_of_the_table():
    # backtest_: the rules it takes, in table order, between the arrays and delisting_bars.
    ours = [(r.name, r.default) for r in batch.RULES if r.in_backtest_]
    assert rule_parameters(tradesim.backtest_)[:-1] == ours
    # Market.run: every rule, by keyword only, with the same defaults, then record_holdings
    # (not a rule: what the run keeps).
    run = inspect.signature(batch.Market.run).parameters.values()
    keywords = [(p.name, p.default) for p in run if p.kind is inspect.Parameter.KEYWORD_ONLY]
    assert keywords == [(r.name, r.default) for r in batch.RULES] + [("record_holdings", False)]
    assert RULE_DEFAULTS == dict(keywords[:-1])
    assert check_rules({"stop_loss": 0.1}) == RULE_DEFAULTS | {"stop_loss": 0.1}


def test_docstrings_describe_every_rule():
    docs = {"backtest_": tradesim.backtest_.__doc__, "run": batch.Market.run.__doc__,
            "backtest": mirelo.backtest.__doc__}
    for rule in batch.RULES:
        line = f"{rule.name}={rule.default!r}"
        for name, doc in docs.items():
            if name == "backtest_" and not rule.in_backtest_:
                assert line not in doc
                continue
            assert line in doc and rule.doc in doc, (name, rule.name)
            if name != "backtest_":
                assert f"{line}{f' ({rule.range})' if rule.range else ''}\n" in doc


def test_readme_table_is_the_rule_table():
    rows = re.findall(r"^\| `(\w+)` \| `([^`]+)` \| ([^|]*) \| ([^|]+) \|$", README.read_text(),
                      re.MULTILINE)
    expected = [(r.name, repr(r.default), r.range or "any (its truth)", r.doc)
                for r in batch.RULES]
    assert [(name, default, accepted.strip(), doc.strip())
            for name, default, accepted, doc in rows] == expected

