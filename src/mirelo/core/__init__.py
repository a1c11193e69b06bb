"""Compiled core of mirelo: the modules ``tradesim`` (backtest engine), ``batch`` (many
backtests on one market), ``excursion`` (per-trade excursion analytics) and ``strconv``
(text utility).

Their sources, one folder a layer or module: ``kernel/`` (the simulation and the excursion
profiles in plain C++), ``glue/`` (what ``tradesim`` and ``batch`` share: the rule table,
the column map, normalisation, the final stock operations, the stock errors), ``tradesim/``,
``batch/``, ``excursion/``, ``strconv.cpp``, and ``pyutil/`` (the CPython helpers of every
module)."""
