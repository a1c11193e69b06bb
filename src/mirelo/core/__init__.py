"""Compiled core of mirelo: ``tradesim`` (backtest engine), ``excursion``
(per-trade excursion analytics) and ``strconv`` (text utility)."""
