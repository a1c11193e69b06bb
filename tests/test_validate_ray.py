"""cross_validate on the Ray engine agrees with the threads engine (skipped without
Ray; CI installs the cluster extra and runs this file on a local two-CPU instance)."""

import pandas as pd
import pytest

import mirelo
from sweepcase import CLOSE, GRID, WEIGHTS

pytest.importorskip("ray")


@pytest.mark.parametrize("mode", ["slice", "fresh"])
def test_ray_folds_and_paths_equal_the_threads_engine(local_ray, mode):
    cv = mirelo.CombinatorialPurgedCV(4, 2)
    results = [mirelo.cross_validate(CLOSE, {"full": WEIGHTS, "half": WEIGHTS * 0.5}, GRID,
                                     cv, mode=mode, engine=engine, progress=False)
               for engine in ("threads", "ray")]
    threads, on_ray = results
    pd.testing.assert_frame_equal(on_ray.folds, threads.folds)
    pd.testing.assert_frame_equal(on_ray.paths, threads.paths)
    pd.testing.assert_frame_equal(on_ray.table.drop(columns="elapsed"),
                                  threads.table.drop(columns="elapsed"))
