"""Reading tables in bulk: the same numbers and messages as line by line, at any size."""

import gzip
import io
import threading
import time

import numpy as np
import pytest

from korvel_analysis import cli, pp, readers

HEADER = "cpg_density\tmeth_fraction\n"


def korvel_cmd(*argv):
    return cli.main([str(a) for a in argv])


def both_ways(monkeypatch, path, **kw):
    """read_reads in bulk and line by line (the reader the bulk one hands odd lines to)."""
    bulk = readers.read_reads(path, **kw)
    monkeypatch.setenv("KORVEL_SLOW_READER", "1")
    slow = readers.read_reads(path, **kw)
    monkeypatch.delenv("KORVEL_SLOW_READER")
    return bulk, slow


def test_bulk_reading_gives_the_doubles_float_gives(tmp_path, monkeypatch):
    # Odd lines (quotes come last: from the first one on every line is read one by one)
    # among many plain ones, across the reader's blocks; every number is what float()
    # makes of its text, every line numbered as the line-by-line reader numbers it.
    rng = np.random.default_rng(4)
    values = np.concatenate([rng.random(70_000), rng.random(50) * 10.0 ** rng.integers(
        -320, 300, 50), [5e-324, 2.2250738585072014e-308, 1e-5, 0.1, 1 / 3]])
    odd = ["+0.5", " 0.25", "1e-400", "0.5" + "0" * 200, "7.", ".5", "-0", "1E2"]
    lines = [f"{v!r}\t{m!r}" for v, m in zip(values.tolist(), rng.random(values.size).tolist())]
    for k, t in enumerate(odd):
        lines.insert(1000 * k + 7, f"{t}\t0.5")
    lines[30_000:30_000] = ["", "\r", "1\t0.5\r", "2\t0.25"]  # blank lines, lone CRs
    lines.append('3\t"0.75"')
    lines.append("4\t1")
    text = HEADER + "\n".join(lines) + "\n"
    path = tmp_path / "odd.tsv"
    path.write_text(text)
    bulk, slow = both_ways(monkeypatch, path)
    assert np.array_equal(bulk.density, slow.density)
    assert np.array_equal(bulk.meth, slow.meth)
    assert bulk.source == slow.source
    expected = [float(line.split("\t")[0]) for line in text.replace("\r", "\n").splitlines()[1:]
                if line.strip()]
    assert bulk.density.tolist() == expected
    assert np.count_nonzero(np.signbit(bulk.density)) == 1  # "-0" stays negative


def test_repeated_cells_read_as_float_reads_each_text(tmp_path, monkeypatch):
    # Cells that repeat are read from their first reading: texts that share a prefix or
    # spell a number differently keep their own value, across the reader's blocks.
    texts = ["0.5", "0.55", "0.50", "5e-1", "-0", "0", "0.1234567", "0.12345678",
             "0.1234567891234567", "0.12345678912345678", "0.1234567891234567891", "1e0",
             "+0.25"]
    rng = np.random.default_rng(11)
    cells = [texts[i] for i in rng.integers(0, len(texts), 50_000)]
    path = tmp_path / "repeated.tsv"
    path.write_text(HEADER + "".join(f"{c}\t{c}\n" for c in cells))
    want = [float(c) for c in cells]
    bulk, slow = both_ways(monkeypatch, path)
    assert bulk.density.tolist() == want
    assert np.array_equal(np.signbit(bulk.density), np.signbit(want))
    assert np.array_equal(bulk.meth, slow.meth)


@pytest.mark.parametrize("compress", [False, True])
def test_a_bad_cell_deep_in_a_large_file_names_its_line(tmp_path, capsys, compress):
    n = 100_000
    rows = np.column_stack([np.arange(n) % 2 + 0.5, (np.arange(n) % 71) / 70.0])
    body = readers.format_rows(rows, "\t").split(b"\n")
    body[50_000:50_000] = [b"", b""]  # blank lines count as lines
    body[80_000] = b"1.5\tNA"  # line 80,002 of the file: header, then body line 80,000
    data = HEADER.encode() + b"\n".join(body)
    path = tmp_path / ("deep.tsv.gz" if compress else "deep.tsv")
    path.write_bytes(gzip.compress(data) if compress else data)
    assert korvel_cmd("fit", path, "--out", tmp_path / "o", "--mode", "independent") == 2
    assert (f"{path}, line 80002, column 'meth_fraction': 'NA' is not a number"
            in capsys.readouterr().err)


def test_an_input_cut_short_deep_in_is_refused_and_the_reading_threads_end(tmp_path):
    # The error comes from the reading thread while blocks are scanned ahead of it; it is
    # raised where the input ends, and no thread is left reading or scanning.
    rows = np.column_stack([np.arange(200_000) / 7.0, (np.arange(200_000) % 71) / 70.0])
    packed = gzip.compress(HEADER.encode() + readers.format_rows(rows, "\t"))
    path = tmp_path / "cut.tsv.gz"
    path.write_bytes(packed[:len(packed) * 3 // 4])
    before = set(threading.enumerate())
    with pytest.raises(readers.InputError, match="cut.tsv.gz: cannot be read as a text table "
                       r"\(Compressed file ended"):
        readers.read_reads(path)
    deadline = time.monotonic() + 10
    while set(threading.enumerate()) - before and time.monotonic() < deadline:
        time.sleep(0.01)
    assert not set(threading.enumerate()) - before


def test_a_cell_longer_than_131072_characters_is_read_and_bad_utf8_is_named(tmp_path):
    # csv's own limit is 131,072 characters a field; a table's cells may fill a line.
    path = tmp_path / "long.tsv"
    path.write_text("cpg_density\tnote\tmeth_fraction\n1\t" + "x" * 300_000 + "\t0.5\n"
                    "2\tshort\t0." + "2" * 200_000 + "\n")
    reads = readers.read_reads(path)
    assert reads.density.tolist() == [1.0, 2.0] and reads.meth.tolist() == [0.5, 2 / 9]
    for name, data in [("bad.tsv", HEADER + "1\t0.5\n" * 3 + "1\t0.\udcff5\n"),
                       ("bad.tsv.gz", HEADER + "\n" * 2 + "1\t0.5\n1\tcaf\udcff\n")]:
        raw = data.encode("utf-8", "surrogateescape")
        (tmp_path / name).write_bytes(gzip.compress(raw) if name.endswith("gz") else raw)
        with pytest.raises(readers.InputError, match="line 5: cannot be read as a text table "
                           r"\(byte 0xff is not UTF-8"):
            readers.read_reads(tmp_path / name)


@pytest.mark.parametrize("long_first", [True, False])
def test_every_read_is_kept_whatever_the_first_lines_say_of_the_file_size(tmp_path,
                                                                          long_first):
    # The columns are sized by the length of the first lines: lines far longer than the
    # rest make them too short (they grow), far shorter make them too long (cut back).
    n = 150_000
    long = range(3000) if long_first else range(n - 3000, n)
    note = ["y"] * n
    for i in long:
        note[i] = "x" * 400
    density, meth = np.arange(n) / 7.0, (np.arange(n) % 71) / 70.0
    path = tmp_path / "uneven.tsv"
    path.write_text("cpg_density\tnote\tmeth_fraction\n" + "".join(
        f"{d!r}\t{t}\t{m!r}\n" for d, t, m in zip(density.tolist(), note, meth.tolist())))
    reads = readers.read_reads(path)
    assert np.array_equal(reads.density, density) and np.array_equal(reads.meth, meth)


def test_lines_too_short_for_the_scanners_output_are_all_read(tmp_path):
    # Lines of four bytes: a piece of a block holds more of them than the scanner's output
    # takes at once, and the scan goes on from where it stopped.
    n = 400_000
    density, meth = np.arange(n) % 10, np.arange(n) % 2
    path = tmp_path / "short.tsv"
    path.write_text(HEADER + "".join(f"{d}\t{m}\n" for d, m in zip(density, meth)))
    reads = readers.read_reads(path)
    assert np.array_equal(reads.density, density) and np.array_equal(reads.meth, meth)
    # A value out of range deep in the file is named by its line, counted across pieces.
    meth[350_000] = 3
    path.write_text(HEADER + "".join(f"{d}\t{m}\n" for d, m in zip(density, meth)))
    with pytest.raises(readers.InputError, match="line 350002, column 'meth_fraction': "
                       "methylated fraction 3.0 is outside"):
        readers.read_reads(path)


@pytest.mark.parametrize("edges,quantiles", [([0.0, 1.0, 2.5], None), (None, 3)])
def test_binning_as_read_counts_what_binning_the_whole_table_counts(edges, quantiles):
    rng = np.random.default_rng(9)
    density = np.round(rng.random(10_000) * 3.0, 2)
    meth = rng.integers(0, 71, 10_000) / 70.0
    meth_edges = np.array([0.1, 0.5, 0.9])  # reads outside are left out and counted
    reads = readers.Reads(density, meth, None, "t.tsv")
    whole = pp.bin_reads(reads, pp.density_edges(density, edges, quantiles), meth_edges)
    blocks = ((density[i:i + 999], meth[i:i + 999], None) for i in range(0, 10_000, 999))
    binned = pp.bin_read_blocks(blocks, "t.tsv", "cpg_density", meth_edges, edges, quantiles)
    assert np.array_equal(binned.counts, whole.counts) and binned.n_dropped == whole.n_dropped
    assert np.array_equal(binned.density_lo, whole.density_lo)
    assert np.array_equal(binned.density_hi, whole.density_hi)


def test_written_tables_are_what_savetxt_and_gzip_write(tmp_path):
    rng = np.random.default_rng(2)
    density = np.concatenate([rng.random(70_000) * 2, [0.0, -0.0, 1e-300, 5e-324, 1e17]])
    meth = rng.integers(0, 71, density.size) / 70.0
    buf = io.StringIO()
    np.savetxt(buf, np.column_stack([density, meth]), fmt="%.17g", delimiter=",",
               header="cpg_density,meth_fraction", comments="")
    want = buf.getvalue().encode()
    cli.write_reads(tmp_path / "r.csv", density, meth)
    cli.write_reads(tmp_path / "r.csv.gz", density, meth)
    assert (tmp_path / "r.csv").read_bytes() == want
    assert (tmp_path / "r.csv.gz").read_bytes() == gzip.compress(want, compresslevel=1, mtime=0)


@pytest.mark.parametrize("density_bin", [None, 1])
def test_drift_counts_as_read_are_the_counts_of_the_whole_table(density_bin):
    rng = np.random.default_rng(3)
    n = 5_000
    density, age = rng.random(n) * 2.0, rng.integers(0, 6, n) * 10.0
    meth = rng.integers(0, 71, n) / 70.0
    reads = readers.Reads(density, meth, age, "t.tsv", age_column="age")
    edges, meth_edges = [0.0, 1.0, 2.0], np.array([0.05, 0.5, 1.0])
    whole = pp.drift_data(reads, meth_edges, edges if density_bin else None, density_bin)
    blocks = ((density[i:i + 700], meth[i:i + 700], age[i:i + 700]) for i in range(0, n, 700))
    counted = pp.drift_read_blocks(blocks, "t.tsv", "age", meth_edges, edges, density_bin)
    assert np.array_equal(counted.ages, whole.ages)
    assert np.array_equal(counted.counts, whole.counts)


def test_the_line_scanner_reads_every_decimal_form_as_float_does():
    # The scanner's numbers, in the forms writers use and some they rarely do, against
    # float() bit for bit; a line it leaves is one float() would not read as plain.
    korvel = pytest.importorskip("korvel")
    rng = np.random.default_rng(11)
    n = 40_000
    x = rng.random(n) * 10.0 ** rng.integers(-30, 30, n)
    digits = rng.integers(0, 10, (n, 30)).astype(str)
    texts = ([f"{v:.17g}" for v in x] + [f"{v:.15g}" for v in x] + [f"{v:+.4E}" for v in x]
             + [f"-{v:.9f}" for v in x[:5000]] + [f"00{v:.6g}" for v in x[:5000]]
             + ["".join(d[:k]) + "." + "".join(d[k:]) for d, k in
                zip(digits[:20_000], rng.integers(0, 31, 20_000))]
             + [str(i) for i in rng.integers(-2**63, 2**63 - 1, 5000)])
    rows = [f"{a}\t{b}" for a, b in zip(texts, reversed(texts))]
    text = ("\n".join(rows) + "\n").encode()
    values = np.empty((len(rows), 2))
    lines = np.empty(len(rows), dtype=np.int64)
    got, used, _ = korvel._scan_columns(text, 9, b"\x01\x02", 2, values, lines, 1)
    assert (got, used) == (len(rows), len(text))
    want = np.array([[float(a), float(b)] for a, b in zip(texts, reversed(texts))])
    assert np.array_equal(values.view(np.int64), want.view(np.int64))
