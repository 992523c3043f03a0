"""Folders of files: the walk, catalog() and stack()."""
import os

import numpy as np
import pytest

import orvelio
from builder import file3d, spectrum_file
from orvelio.folders import files



def wave(n, phase=0.0):
    return [round(float(np.sin(0.3 * k + phase)), 4) for k in range(n)]


@pytest.fixture()
def tree(tmp_path):
    """a/ two spectra on one axis, b/ one on another and a cube, a loop back to the top, a
    linked folder, a foreign file, an empty one and a cut one."""
    (tmp_path / "a").mkdir()
    (tmp_path / "b").mkdir()
    spectrum_file(wave(64), params={"DXU": "WN"}, acq={"RES": 4.0, "NSS": 32, "SNM": "film"}).write(tmp_path / "a" / "1.0")
    spectrum_file(wave(64, 1.0), params={"DXU": "WN"}, acq={"RES": 4.0}).write(tmp_path / "a" / "2.0")
    spectrum_file(wave(32, 2.0), fxv=3000.0, lxv=500.0).write(tmp_path / "b" / "3.0")
    file3d([(k, wave(6, k)) for k in range(4)], params={"NPX": 2, "NPY": 2, "AOX": 0.0, "AOY": 0.0,
                                                                "DDX": 1.0, "DDY": 1.0}).write(tmp_path / "b" / "cube.0")
    (tmp_path / "b" / "notes.txt").write_text("not one")
    (tmp_path / "b" / "empty.0").write_bytes(b"")
    whole = (tmp_path / "a" / "1.0").read_bytes()
    (tmp_path / "b" / "cut.0").write_bytes(whole[:40])
    os.symlink(tmp_path, tmp_path / "b" / "loop")
    os.symlink(tmp_path / "a", tmp_path / "linked")
    return tmp_path


def test_walk_follows_linked_folders_once(tree):
    notes = []
    found = [os.path.relpath(p, tree) for p, _, _ in files(tree, note=notes.append)]
    assert found == ["a/1.0", "a/2.0", "b/3.0", "b/cube.0", "b/cut.0", "b/empty.0", "b/notes.txt"]
    assert notes == [f"{tree / 'linked'}: a link to a folder already visited (a loop), not followed",
                     f"{tree / 'b' / 'loop'}: a link to a folder already visited (a loop), not followed"]
    assert [os.path.relpath(p, tree) for p, _, _ in files(tree / "linked")] == ["linked/1.0", "linked/2.0"]


def test_catalog(tree):
    pd = pytest.importorskip("pandas")
    table = orvelio.catalog(tree)
    assert list(table.columns[:10]) == ["path", "block", "kind", "shape", "npt", "x_first", "x_last",
                                        "x_units", "complete", "acquired"]
    assert list(table.columns[10:]) == ["SNM", "RES", "NSS", "INS", "error"]
    rows = {os.path.relpath(p, tree): r for p, r in zip(table.path, table.itertuples())}
    assert sorted(rows) == ["a/1.0", "a/2.0", "b/3.0", "b/cube.0", "b/cut.0", "b/empty.0"]
    one = rows["a/1.0"]
    assert (one.block, one.kind, one.shape, one.npt, one.x_first, one.x_last, one.x_units) == (
        "AB 2D NONE", "spectrum", (64,), 64, 4000.0, 400.0, "cm-1")
    assert (one.SNM, one.RES, one.NSS) == ("film", 4.0, 32) and pd.isna(one.error)
    assert rows["b/cube.0"].kind == "image" and rows["b/cube.0"].shape == (2, 2, 6)
    assert rows["b/empty.0"].error == "empty file" and pd.isna(rows["b/empty.0"].kind)
    assert "cut short" in rows["b/cut.0"].error
    assert str(table["acquired"].dtype) == "datetime64[ns, UTC]"
    # worker processes give the same table; parameters choose the columns
    pd.testing.assert_frame_equal(orvelio.catalog(tree, workers=2), table)
    assert list(orvelio.catalog(tree / "a", parameters=["RES"]).columns[10:]) == ["RES", "error"]
    assert len(orvelio.catalog(tree, recursive=False)) == 0


def test_stack(tree):
    pytest.importorskip("xarray")
    a = sorted(str(p) for p in (tree / "a").iterdir())
    ds = orvelio.stack(a)
    assert ds["AB"].dims == ("file", "spectral") and ds["AB"].dtype == np.float32
    assert list(ds["path"].values) == a and list(ds["SNM"].values) == ["film", ""]
    for i, path in enumerate(a):
        r = orvelio.getOrvelData(path, ("AB", "2D", "NONE"))
        np.testing.assert_array_equal(ds["AB"].values[i], r.y)
        np.testing.assert_array_equal(ds["spectral"].values, r.x)
    lazy = orvelio.stack(a, chunks=1)
    assert lazy["AB"].chunks == ((1, 1), (64,))
    np.testing.assert_array_equal(lazy["AB"].values, ds["AB"].values)
    mixed = a + [str(tree / "b" / "3.0")]
    with pytest.raises(ValueError, match=r"2 different x axes \(3000..500 \(32 points\); 4000..400 \(64 points\)\)"):
        orvelio.stack(mixed)
    coarse = orvelio.stack(mixed, x="coarsest")
    assert coarse.sizes == {"file": 3, "spectral": 32} and coarse["spectral"].values[0] == 3000.0
    fine = orvelio.stack(mixed, x="finest")
    x = fine["spectral"].values
    assert len(x) == 64 and x[0] == 4000.0
    np.testing.assert_allclose(fine["AB"].values[0], ds["AB"].values[0], rtol=1e-6)
    third = fine["AB"].values[2]
    outside = (x > 3000) | (x < 500)
    assert np.isnan(third[outside]).all() and not np.isnan(third[~outside]).any()
    r = orvelio.getOrvelData(mixed[2], ("AB", "2D", "NONE"))
    np.testing.assert_allclose(third[~outside], np.interp(x[~outside], r.x[::-1], r.y[::-1]), rtol=1e-6)
    with pytest.raises(ValueError, match="holds a image for AB 3D NONE, not a spectrum"):
        orvelio.stack([str(tree / "b" / "cube.0")])


def test_import_orvelio_stays_as_it_was():
    """catalog and stack come from orvelio.folders when first used; nothing else is imported."""
    from conftest import run_python
    proc = run_python("import sys, orvelio; names = set(vars(orvelio)); "
                      "assert 'orvelio.folders' not in sys.modules and 'pandas' not in sys.modules; "
                      "assert orvelio.catalog.__module__ == 'orvelio.folders'; "
                      "assert set(vars(orvelio)) - names == {'folders'}; print('ok')")
    assert proc.stdout == "ok\n", proc.stderr


def test_writers_as_a_library(tree, tmp_path):
    """write_csv and write_parquet give one table; both take an open file too."""
    pd = pytest.importorskip("pandas")
    pytest.importorskip("pyarrow")
    from orvelio import export
    from orvelio.reader import OrvelFile
    with OrvelFile(tree / "b" / "cube.0") as f:
        csv_path = export.write_csv(f, tmp_path / "c.csv")
    parquet = pd.read_parquet(export.write_parquet(tree / "b" / "cube.0", tmp_path / "c.parquet"))
    table = pd.read_csv(csv_path)
    assert list(parquet.columns) == list(table.columns) and list(table.columns[:2]) == ["x", "y"]
    np.testing.assert_array_equal(parquet.to_numpy(np.float32), table.to_numpy(np.float32))
    r = orvelio.getOrvelData(str(tree / "b" / "cube.0"), ("AB", "3D", "NONE"))
    np.testing.assert_array_equal(parquet.iloc[:, 2:].to_numpy(np.float32), r.spectra.reshape(4, -1))


def test_batch_describes_as_the_per_file_path(tree, tmp_path):
    """The core's batch gives the catalog the per-file path gives, damaged files included, and
    keeps each file's failure as its status."""
    pd = pytest.importorskip("pandas")
    from orvelio._orvelio import _describe_files
    from orvelio.folders import COLUMNS, describe_file
    whole = (tree / "a" / "1.0").read_bytes()
    for k, cut in enumerate(range(60, len(whole), 97)):  # cut at many places, bytes flipped at others
        (tree / "b" / f"cut{k}.0").write_bytes(whole[:cut])
        (tree / "b" / f"flip{k}.0").write_bytes(whole[:cut] + bytes([whole[cut] ^ 0x5A]) + whole[cut + 1:])
    found = [p for p, _, _ in files(tree)]
    for codes in (("SNM", "RES", "NSS", "INS"), ("NPT", "DAT", "ZZZ")):
        rows = [row for p in found for row in describe_file(p, codes) or ()]
        old = pd.DataFrame(rows, columns=COLUMNS + list(codes) + ["error"])
        old["acquired"] = pd.to_datetime(old["acquired"], utc=True).astype("datetime64[ns, UTC]")
        for workers in (1, 2):
            new = orvelio.catalog(found, parameters=codes, workers=workers)
            pd.testing.assert_frame_equal(new, old, check_exact=True)
    got = _describe_files([tree / "b" / "notes.txt", tree / "missing.0", tree], ("RES",), 2)
    assert list(got["status"]) == [1, 2, 2] and got["errors"][1][0] == "io"  # not Orvel, missing, a folder


def test_batch_stops_for_a_signal_handler_that_raises():
    import functools
    import operator
    import signal
    from orvelio._orvelio import _describe_files

    class Stop(Exception):
        pass

    def handler(signum, frame):
        raise Stop
    previous = signal.signal(signal.SIGALRM, handler)
    try:
        path = os.path.join(os.path.dirname(__file__), os.pardir, "examples", "sample.orv")
        # The alarm goes off during the batch (tens of ms), with no Python code between the
        # calls to run the handler: only the batch's own check can raise Stop before done.append.
        done: list[int] = []
        calls = [functools.partial(signal.setitimer, signal.ITIMER_REAL, 0.001),
                 functools.partial(_describe_files, [path] * 5000, (), 2), functools.partial(done.append, 1)]
        with pytest.raises(Stop):
            list(map(operator.methodcaller("__call__"), calls))
        assert not done
    finally:
        signal.setitimer(signal.ITIMER_REAL, 0)
        signal.signal(signal.SIGALRM, previous)


def test_acquired_outside_datetime64_range_is_nat(tmp_path):
    pd = pytest.importorskip("pandas")
    for name, date in (("old.0", "01/02/1500"), ("new.0", "01/02/2020")):
        spectrum_file(wave(8), acq={"DAT": date, "TIM": "10:00:00 (GMT+0)"}).write(tmp_path / name)
    table = orvelio.catalog(tmp_path)
    acquired = dict(zip(map(os.path.basename, table.path), table.acquired))
    assert pd.isna(acquired["old.0"]) and acquired["new.0"].year == 2020
    pytest.importorskip("xarray")
    times = orvelio.stack(sorted(str(p) for p in tmp_path.iterdir())).acquired.values  # new, old
    assert not np.isnat(times[0]) and np.isnat(times[1])
