"""korvel extract: reads tables from bisulfite BAMs, modified-base BAMs and per-CpG tables.

Every file is written here with pysam from a generated reference; the same
molecules are written as an XM (bisulfite) BAM and an MM/ML BAM, and each unit
is checked against a recount made straight from the molecules.
"""

import array
import csv
import gzip
import json

import numpy as np
import pytest

from korvel_analysis import cli, simulate

pysam = pytest.importorskip("pysam")

COMP = str.maketrans("ACGT", "TGCA")


def write_reference(tmp_path, contigs):
    path = tmp_path / "ref.fa"
    path.write_text("".join(f">{name}\n{seq}\n" for name, seq in contigs.items()))
    pysam.faidx(str(path))
    return path


def stationary(st, cow, coe):
    return simulate.detailed_balance(*simulate.rates(st, cow, coe))


def write_bam(path, contigs, reads, tag):
    """reads: dicts of name, contig, start, cigar, seq, flag, mate fields, calls {query pos: meth}
    (C of the CpG on '+' reads, its G on reverse ones); tag 'XM' or 'MM'."""
    header = {"HD": {"VN": "1.6", "SO": "unsorted"},
              "SQ": [{"SN": c, "LN": len(s)} for c, s in contigs.items()]}
    names = list(contigs)
    unsorted = str(path) + ".unsorted.bam"
    with pysam.AlignmentFile(unsorted, "wb", header=header) as out:
        for rd in reads:
            a = pysam.AlignedSegment(out.header)
            a.query_name, a.flag = rd["name"], rd["flag"]
            a.reference_id = names.index(rd["contig"])
            a.reference_start, a.mapping_quality = rd["start"], rd.get("mapq", 40)
            a.cigartuples = rd["cigar"]
            a.query_sequence = rd["seq"]
            a.query_qualities = pysam.qualitystring_to_array("I" * len(rd["seq"]))
            if rd["flag"] & 1:
                a.next_reference_id = a.reference_id
                a.next_reference_start = rd["mate_start"]
            if tag is None:
                pass
            elif tag == "XM":
                xm = ["."] * len(rd["seq"])
                for q, m in rd["calls"]["XM"].items():
                    xm[q] = "Z" if m else "z"
                a.set_tag("XM", "".join(xm))
                if rd.get("xg", True):
                    a.set_tag("XG", rd["strand_tag"])
            else:
                mm, ml = mm_tags(rd["seq"], rd["flag"] & 16, rd["calls"]["MM"], rd["mode"])
                ml = ml[:rd.get("ml_kept", len(ml))]
                a.set_tag("MM", mm)
                a.set_tag("ML", array.array("B", ml))
            out.write(a)
    pysam.sort("-o", str(path), unsorted)
    pysam.index(str(path))
    return path


def mm_tags(seq, reverse, calls, mode):
    """MM/ML of calls {stored query pos: meth}, counted as the format says: over the Cs of
    the read in its original orientation. Mode '.': only the methylated calls are listed,
    the unlisted Cs are unmodified; '?': every call is listed, the rest unknown."""
    orig = seq.translate(COMP)[::-1] if reverse else seq
    stored_of = (lambda i: len(seq) - 1 - i) if reverse else (lambda i: i)
    listed, skip, mm, ml = [], 0, [], []
    for i, b in enumerate(orig):
        if b != "C":
            continue
        q = stored_of(i)
        if q in calls and (mode == "?" or calls[q]):
            mm.append(str(skip))
            ml.append(230 if calls[q] else 20)
            skip = 0
        else:
            skip += 1
    return f"C+m{mode}," + ",".join(mm) + ";" if mm else f"C+m{mode};", ml


def molecule_reads(rng, name, contig, ref, start, length, strand, states, paired, extras):
    """One or two reads of a molecule over ref[start:start+length]; states {CpG C pos: meth}.
    extras: 'clip', 'ins', 'del' edits of the first read. Returns reads and the CpGs
    they call."""
    def one(s, n, reverse, flag, edit):
        seq, cigar, qpos = "", [], {}  # qpos: reference position -> query position
        if edit == "clip":
            seq, cigar = "AACGA", [(4, 5)]
        r = s
        while r < s + n:
            if edit == "ins" and r == s + n // 2:
                seq += "ACGA"
                cigar.append((1, 4))
            if edit == "del" and r == s + n // 3 and "CG" not in ref[r - 1:r + 4]:
                cigar.append((2, 3))
                r += 3
                continue
            qpos[r] = len(seq)
            seq += ref[r]
            cigar.append((0, 1))
            r += 1
        merged = []
        for op, k in cigar:
            if merged and merged[-1][0] == op:
                merged[-1] = (op, merged[-1][1] + k)
            else:
                merged.append((op, k))
        called = {p for p in states if p in qpos and p + 1 in qpos and qpos[p + 1] == qpos[p] + 1}
        # Bisulfite calls of a bottom-strand molecule sit on the G; modified-base calls of a
        # reverse read too (its C, read as sequenced, is the G of SEQ as stored).
        calls = {}
        for kind, at in (("XM", strand == "-"), ("MM", reverse)):
            calls[kind] = {qpos[p + at]: states[p] for p in called}
            if edit in ("clip", "ins"):  # calls where the read has no reference base
                extra = seq.index("CG", 0 if edit == "clip" else len(seq) // 2 - 3)
                calls[kind][extra + at] = True
        return {"name": name, "contig": contig, "start": s, "cigar": merged, "seq": seq,
                "flag": flag, "calls": calls, "strand_tag": "CT" if strand == "+" else "GA",
                "mode": "." if rng.random() < 0.5 else "?", "xg": rng.random() < 0.5}, called

    reverse1 = strand == "-"
    if not paired:
        rd, called = one(start, length, reverse1, 16 if reverse1 else 0, extras)
        return [rd], called
    # mates overlap: read 1 from the start, read 2 ending at the molecule's end
    n1 = int(length * 0.6)
    s2 = start + length - n1
    f1 = 1 | 2 | 64 | (16 if reverse1 else 32)
    f2 = 1 | 2 | 128 | (32 if reverse1 else 16)
    r1, c1 = one(start, n1, reverse1, f1, extras)
    r2, c2 = one(s2, n1, not reverse1, f2, None)
    r1["mate_start"], r2["mate_start"] = s2, start
    return [r1, r2], c1 | c2


def random_reference(rng, n, cpg_per_100):
    """A sequence of n bases: filler without G, so its only CpGs are the planted ones."""
    seq = rng.choice(list("ACT"), n)
    k = int(n * cpg_per_100 / 100)
    for p in rng.choice(np.arange(0, n - 1, 2), k, replace=False):
        seq[p], seq[p + 1] = "C", "G"
    return "".join(seq)


def read_table(path):
    with open(path) as f:
        return list(csv.DictReader(f, delimiter="\t"))


def run(*argv):
    return cli.main([str(a) for a in argv] + ["--quiet"])


@pytest.fixture(scope="module")
def molecules(tmp_path_factory):
    """XM and MM/ML BAMs of the same molecules, and the truth of each molecule."""
    tmp = tmp_path_factory.mktemp("molecules")
    rng = np.random.default_rng(5)
    contigs = {"chrA": random_reference(rng, 6000, 3.0), "chrB": random_reference(rng, 6000, 9.0)}
    p = stationary(1.0, 3.0, 4.0)
    reads, truth = [], {}
    edits = [None, "clip", "ins", "del"]
    for i in range(160):
        contig = "chrA" if i % 2 else "chrB"
        ref = contigs[contig]
        start = 10 + (i // 2) * 70
        length = int(rng.integers(90, 180))
        sites = [q for q in range(start, start + length - 1) if ref[q:q + 2] == "CG"]
        frac = rng.choice(71, p=p) / 70
        states = {q: bool(rng.random() < frac) for q in sites}
        strand = "+" if rng.random() < 0.5 else "-"
        rs, called = molecule_reads(rng, f"m{i}", contig, ref, start, length, strand, states,
                                    paired=i % 3 == 0, extras=edits[i % 4])
        reads += rs
        if called:
            span = (start, max(r["start"] + sum(k for op, k in r["cigar"] if op in (0, 2))
                               for r in rs))
            truth[(contig, start)] = (called, states, span, strand)
    ref = write_reference(tmp, contigs)
    return {"ref": ref, "contigs": contigs, "truth": truth,
            "XM": write_bam(tmp / "xm.bam", contigs, reads, "XM"),
            "MM": write_bam(tmp / "mm.bam", contigs, reads, "MM"), "tmp": tmp}


@pytest.mark.parametrize("tag", ["XM", "MM"])
def test_units_equal_a_recount_of_the_molecules(molecules, tag, tmp_path):
    """Forward and reverse reads, overlapping pairs, soft clips, insertions and deletions:
    each unit's n_cpg, meth_fraction and cpg_density are those of its molecule, with the
    reference and without; two workers write the same bytes as one."""
    out = tmp_path / "reads.tsv"
    assert run("extract", molecules[tag], "--out", out, "--reference", molecules["ref"]) == 0
    rows = read_table(out)
    assert len(rows) == len(molecules["truth"])
    for row in rows:
        called, states, (s, e), strand = molecules["truth"][(row["chrom"], int(row["start"]))]
        ref = molecules["contigs"][row["chrom"]]
        assert int(row["end"]) == e and row["strand"] == strand
        assert int(row["n_cpg"]) == len(called)
        assert float(row["meth_fraction"]) == sum(states[q] for q in called) / len(called)
        assert float(row["cpg_density"]) == 100.0 * sum(
            ref[q:q + 2] == "CG" for q in range(s, e)) / (e - s)
    record = json.loads((tmp_path / "reads.tsv.json").read_text())
    assert record["units_written"] == len(rows) and record["inputs"][0]["tag"] == tag
    # An indexed BAM goes through korvel's own reader, contig by contig, not pysam.
    assert record["bam_jobs"] == {"jobs_read_by_korvel": 2}

    bare = tmp_path / "bare.tsv"
    assert run("extract", molecules[tag], "--out", bare, "--threads", "2") == 0
    for row in read_table(bare):
        called, _, (s, e), _ = molecules["truth"][(row["chrom"], int(row["start"]))]
        assert float(row["cpg_density"]) == 100.0 * len(called) / (e - s)
    again = tmp_path / "again.tsv"
    assert run("extract", molecules[tag], "--out", again) == 0
    assert again.read_bytes() == bare.read_bytes()

    # Regions keep the units whose leftmost base they hold, pairs whose mate starts past
    # the region's end whole; overlapping regions write a unit once.
    bed = tmp_path / "r.bed"
    bed.write_text("chrA\t1000\t3000\nchrB\t2500\t2600\nchrA\t2900\t3500\n")
    part = tmp_path / "part.tsv"
    assert run("extract", molecules[tag], "--out", part, "--regions", bed, "--threads", "2") == 0
    inside = {"chrA": (1000, 3500), "chrB": (2500, 2600)}
    assert read_table(part) == [r for r in read_table(bare)
                                if inside[r["chrom"]][0] <= int(r["start"]) < inside[r["chrom"]][1]]


# ------------------------------------------------------------ end to end

TRUTH = {"st": (1.0, 1.0), "cow": (3.0, 4.0), "coe": (4.0, 4.0)}  # density bins 0 and 1
DENSITY_BINS = ((2.5, 3.5), (6.0, 8.0))


@pytest.fixture(scope="module")
def regions(tmp_path_factory):
    """70-CpG regions at two planted densities, each read once, its methylated count drawn
    from the model's stationary distribution at the bin's parameters: an XM BAM, an MM/ML BAM
    and a bedMethyl table of the same draws."""
    tmp = tmp_path_factory.mktemp("regions")
    # Six 95% intervals are checked, so some seeds see one miss by chance (of seeds 8 to 12,
    # seed 8 had bin 1's St interval end just below the truth); the draws are seeded.
    rng = np.random.default_rng(9)
    seq, reads, bed, cov = [], [], [], []
    pos = 0
    for b, (lo, hi) in enumerate(DENSITY_BINS):
        p = stationary(*(TRUTH[k][b] for k in ("st", "cow", "coe")))
        for i in range(1200):
            n = int(round(7000 / rng.uniform(lo, hi)))
            block = rng.choice(list("ACT"), n)
            sites = np.sort(rng.choice(np.arange(0, n - 1, 2), 70, replace=False))
            block[sites], block[sites + 1] = "C", "G"
            m = rng.choice(71, p=p)
            meth = np.zeros(70, dtype=bool)
            meth[rng.choice(70, m, replace=False)] = True
            strand = "+" if rng.random() < 0.5 else "-"
            at = 1 if strand == "-" else 0
            calls = {int(q) + at: bool(x) for q, x in zip(sites, meth)}
            reads.append({"name": f"r{b}_{i}", "contig": "chr1", "start": pos, "seq": "".join(block),
                          "cigar": [(0, n)], "flag": 16 if strand == "-" else 0,
                          "calls": {"XM": calls, "MM": calls}, "strand_tag":
                          "CT" if strand == "+" else "GA", "mode": "?"})
            for q, x in zip(sites, meth):
                c = pos + int(q) + at
                bed.append(f"chr1\t{c}\t{c + 1}\tm\t1\t{strand}\t{c}\t{c + 1}\t255,0,0\t1\t"
                           f"{100.0 * x:.2f}\t{int(x)}\t{int(not x)}\t0\t0\t0\t0\t0")
                cov.append(f"chr1\t{c + 1}\t{c + 1}\t{100.0 * x:g}\t{int(x)}\t{int(not x)}")
            seq.append("".join(block))
            pos += n
    contigs = {"chr1": "".join(seq)}
    (tmp / "calls.bed").write_text("\n".join(bed) + "\n")
    with gzip.open(tmp / "calls.cov.gz", "wt") as f:
        f.write("\n".join(cov) + "\n")
    return {"ref": write_reference(tmp, contigs), "XM": write_bam(tmp / "xm.bam", contigs, reads, "XM"),
            "MM": write_bam(tmp / "mm.bam", contigs, reads, "MM"), "bedMethyl": tmp / "calls.bed",
            "coverage": tmp / "calls.cov.gz"}


@pytest.mark.slow
@pytest.mark.parametrize("source,unit", [("XM", []), ("MM", ["--window-cpgs", "70"]),
                                         ("bedMethyl", ["--window-cpgs", "70"])])
def test_extracted_tables_fit_back_to_the_truth(regions, source, unit, tmp_path):
    """extract, then korvel fit --profile: every known parameter inside its interval (the
    draws hold bin 0's and bin 1's parameters, the tables their densities)."""
    table = tmp_path / "reads.tsv"
    assert run("extract", regions[source], "--out", table, "--reference", regions["ref"],
               *unit) == 0
    rows = read_table(table)
    assert len(rows) == 2400 and {r["n_cpg"] for r in rows} == {"70"}
    if source == "bedMethyl":  # the coverage table of the same calls (gzipped, 1-based)
        cov = tmp_path / "cov.tsv"
        assert run("extract", regions["coverage"], "--out", cov, "--reference",
                   regions["ref"]) == 0
        assert cov.read_bytes() == table.read_bytes()
    assert run("fit", table, "--out", tmp_path / "fit", "--mode", "independent",
               "--density-edges", "0,4,10", "--profile", "--no-plots") == 0
    for b, res in enumerate(read_table(tmp_path / "fit" / "results.tsv")):
        for name, truth in TRUTH.items():
            assert float(res[f"{name}_lo"]) <= truth[b] <= float(res[f"{name}_hi"]), (name, b)


# ------------------------------------------------------------ bad input

def _plain_read(name, start, **kw):
    return {"name": name, "contig": "chrA", "start": start, "cigar": [(0, 60)],
            "seq": "ACGT" * 15, "flag": 0, "calls": {"XM": {}, "MM": {1: True, 5: True}},
            "mode": "?", **kw}


def _bad(case, molecules, tmp):
    """(input, extra options, what the message names) of each bad input."""
    contigs = molecules["contigs"]
    if case == "not a BAM":
        (tmp / "x.bam").write_text("chrA\t1\t2\n")
        return tmp / "x.bam", [], "x.bam"
    if case == "truncated":
        data = molecules["XM"].read_bytes()
        (tmp / "cut.bam").write_bytes(data[:-28])
        return tmp / "cut.bam", [], "cut.bam"
    if case == "region without index":
        (tmp / "noindex.bam").write_bytes(molecules["XM"].read_bytes())
        return tmp / "noindex.bam", ["--region", "chrA:1-100"], "noindex.bam"
    if case == "no calls":  # found while a worker process, started early, waits
        bam = write_bam(tmp / "plain.bam", contigs, [_plain_read("a", 5)], None)
        return bam, ["--threads", "2"], "plain.bam"
    if case == "contig not in reference":
        ref = write_reference(tmp, {"chrA": contigs["chrA"]})
        return molecules["XM"], ["--reference", ref], "ref.fa"
    (tmp / "cpg.tsv").write_text("chrA\t10\t11\t50.0\n")
    return tmp / "cpg.tsv", [], "cpg.tsv, line 1"


@pytest.mark.parametrize("case", ["not a BAM", "truncated", "region without index", "no calls",
                                  "contig not in reference", "unknown table layout"])
def test_bad_input_exits_2_naming_the_file_and_writes_nothing(molecules, case, tmp_path,
                                                               capsys):
    source, extra, named = _bad(case, molecules, tmp_path)
    out = tmp_path / "out" / "reads.tsv"
    out.parent.mkdir()
    assert run("extract", source, "--out", out, *extra) == 2
    assert named in capsys.readouterr().err
    assert list(out.parent.iterdir()) == []


def test_a_read_whose_ml_is_shorter_than_its_mm_is_skipped_and_counted(molecules, tmp_path):
    reads = [_plain_read("short", 5, ml_kept=1), _plain_read("whole", 80)]
    bam = write_bam(tmp_path / "ml.bam", molecules["contigs"], reads, "MM")
    out = tmp_path / "reads.tsv"
    assert run("extract", bam, "--out", out) == 0
    rows = read_table(out)
    assert [r["start"] for r in rows] == ["80"] and rows[0]["meth_fraction"] == "1.0"
    record = json.loads((tmp_path / "reads.tsv.json").read_text())
    assert record["left_out"]["reads_ml_shorter_than_mm"] == 1


@pytest.mark.parametrize("reverse", [False, True])
def test_mod_probabilities_agree_with_htslib_on_combined_and_separate_groups(reverse):
    """C+mh (two codes, interleaved ML), a separate C+h group and an N+m group (any base):
    each base's probability is htslib's m value, plus its h value with hydroxy='methylated';
    where two groups list a base, the later one stands."""
    from korvel_analysis import extract

    rng = np.random.default_rng(3)
    header = pysam.AlignmentHeader.from_dict({"SQ": [{"SN": "c", "LN": 1000}]})
    for _ in range(30):
        seq = "".join(rng.choice(list("ACGT"), 80))
        orig = seq.translate(COMP)[::-1] if reverse else seq
        n_c = orig.count("C")
        chosen = np.sort(rng.choice(n_c, min(n_c, 6), replace=False))
        deltas = np.diff(chosen, prepend=-1) - 1
        later = chosen[-2:]  # a second group lists some of the same Cs
        mm = ("C+mh?," + ",".join(map(str, deltas)) + ";C+h?,"
              + ",".join(map(str, np.diff(later, prepend=-1) - 1)) + ";N+m?,3;")
        ml = rng.integers(0, 256, 2 * chosen.size + later.size + 1)
        a = pysam.AlignedSegment(header)
        a.query_sequence, a.flag = seq, 16 if reverse else 0
        a.set_tag("MM", mm)
        a.set_tag("ML", array.array("B", ml.tolist()))
        want = {}
        for (base, _, code), calls in a.modified_bases.items():
            if base in "CN":
                for q, p in calls:
                    want.setdefault(q, {}).setdefault(code, []).append((p + 0.5) / 256)
        for hydroxy in extract.HYDROXY:
            got = extract.mod_probabilities(mm, ml, seq, reverse, hydroxy)
            # counting h as methylated needs an h value: a base no h group lists has no call
            called = {q: c for q, c in want.items() if hydroxy != "methylated" or "h" in c}
            assert set(np.flatnonzero(~np.isnan(got)).tolist()) == set(called)
            for q, codes in called.items():
                h = codes["h"][-1] if hydroxy == "methylated" else 0.0
                assert got[q] == codes["m"][-1] + h


def _messy_xm_bam(path, seed):
    """Pairs that stress pairing and filtering: mates near and far (a pair can span
    batches), at one start, on the other contig or unmapped, a third read or a stale mate
    start under one name; filtered flags, low MAPQ, reads without XM or XG, soft clips,
    insertions, deletions, skips, =/X blocks and a read with no aligned base."""
    rng = np.random.default_rng(seed)
    header = {"HD": {"VN": "1.6", "SO": "coordinate"},
              "SQ": [{"SN": "c1", "LN": 3000}, {"SN": "c2", "LN": 3000}]}
    cigars = [[(0, 60)], [(7, 60)], [(4, 5), (0, 50), (4, 5)], [(0, 20), (1, 4), (0, 36)],
              [(0, 25), (2, 3), (0, 35)], [(0, 30), (3, 40), (8, 30)], [(4, 60)]]
    raw = str(path) + ".raw.bam"
    with pysam.AlignmentFile(raw, "wb", header=header) as out:
        def write(name, tid, start, flag, mate_tid, mate_start):
            a = pysam.AlignedSegment(out.header)
            a.query_name, a.flag, a.reference_id, a.reference_start = name, flag, tid, start
            a.cigartuples = cigars[rng.integers(0, len(cigars))]
            a.query_sequence = "".join(rng.choice(list("ACGT"), 60))
            a.flag |= int(rng.choice([0] * 16 + [0x100, 0x200, 0x400, 0x800, 0x4]))
            a.mapping_quality = int(rng.integers(0, 100))
            a.next_reference_id, a.next_reference_start = mate_tid, mate_start
            if rng.random() < 0.95:
                a.set_tag("XM", "".join(rng.choice(list("..zZxh"), 60)))
            if rng.random() < 0.7:
                a.set_tag("XG", "CT" if rng.random() < 0.5 else "GA")
            out.write(a)

        for i in range(600):
            tid, s1 = int(rng.integers(0, 2)), int(rng.integers(0, 2800))
            if rng.random() < 0.15:
                write(f"s{i}", tid, s1, int(rng.choice([0, 16])), -1, -1)
                continue
            s2 = s1 if rng.random() < 0.1 else int(rng.integers(max(0, s1 - 400), 2800))
            tid2 = tid if rng.random() < 0.9 else 1 - tid
            f1, f2 = [(99, 147), (83, 163), (97, 145), (65, 129)][rng.integers(0, 4)]
            if rng.random() < 0.1:
                f1 |= 0x8  # mate unmapped
            stale = rng.random() < 0.1  # a mate start a few bases off the mate's
            write(f"p{i}", tid, s1, f1, tid2, s2 - 5 if stale else s2)
            if not f1 & 0x8:
                write(f"p{i}", tid2, s2, f2, tid, s1 - 5 if stale else s1)
            if rng.random() < 0.1:  # a third read of the name
                write(f"p{i}", tid, int(rng.integers(0, 2800)), f2, tid, s1)
    pysam.sort("-o", str(path), raw)
    pysam.index(str(path))
    return path


@pytest.mark.parametrize("reader", ["own", "pysam"])
@pytest.mark.parametrize("sorted_by_pos", [True, False])
def test_batched_xm_reads_give_the_units_of_read_by_read_assembly(tmp_path, monkeypatch,
                                                                 sorted_by_pos, reader):
    """A contig read in batches of a few reads (pairs split across batches), by korvel's
    own BAM reader or through pysam, gives the bytes and counts of the read-by-read
    assembly a region's reads go through."""
    from korvel_analysis import bgzf, extract

    if reader == "own" and bgzf.kernel() is None:
        pytest.skip("the installed module lacks the BAM record walker")
    if reader == "pysam":
        monkeypatch.setattr(bgzf, "kernel", lambda *walker: None)
    bam = _messy_xm_bam(tmp_path / "messy.bam", seed=3)
    monkeypatch.setattr(extract, "XM_BATCH", 7)
    for window in (None, 3):
        opts = extract.Options(window_cpgs=window, min_mapq=15)
        for contig in ("c1", "c2"):
            got = [], []
            for task, out in zip(((contig, None, None), (contig, 0, 10**9)), got):
                part = tmp_path / "part.tsv"
                counts = extract._bam_task(str(bam), "bam", "XM", task, opts, str(part), "\t",
                                           None, sorted_by_pos)
                out += [part.read_text(), dict(counts)]
            assert got[0] == got[1]
            assert got[0][1]["pairs_merged"] > 50 and got[0][1]["reads_low_mapq"] > 0


def test_a_cram_gives_the_bytes_of_its_bam_and_a_broken_block_is_named(molecules, tmp_path,
                                                                        capsys):
    """CRAM goes through pysam, BAM through korvel's own reader: the same reads give the same
    table. A BAM whose middle block is damaged (its end-of-file block intact) exits 2."""
    bam, ref = molecules["XM"], molecules["ref"]
    cram = tmp_path / "xm.cram"
    pysam.view("-C", "-T", str(ref), "-o", str(cram), str(bam), catch_stdout=False)
    pysam.index(str(cram))
    tables = []
    for source in (bam, cram):
        tables.append(tmp_path / f"{source.name}.tsv")
        assert run("extract", source, "--out", tables[-1], "--reference", ref) == 0
    assert tables[0].read_bytes() == tables[1].read_bytes()

    data = bytearray(_messy_xm_bam(tmp_path / "messy.bam", seed=4).read_bytes())
    data[len(data) * 2 // 3:len(data) * 2 // 3 + 64] = bytes(64)  # not in the first block
    broken = tmp_path / "broken.bam"
    broken.write_bytes(bytes(data))
    assert run("extract", broken, "--out", tmp_path / "b.tsv") == 2
    assert "broken.bam" in capsys.readouterr().err
    assert not (tmp_path / "b.tsv").exists()


def test_the_modules_unit_lines_are_those_python_writes():
    """korvel._format_units writes each float as repr does (fractions and densities as
    extract makes them, and any bit pattern), NaN densities as NA."""
    korvel = pytest.importorskip("korvel")
    if not hasattr(korvel, "_format_units"):
        pytest.skip("the installed module lacks the unit writer")
    rng = np.random.default_rng(8)
    k = 20000
    values = np.concatenate([
        rng.integers(0, 80, k) / rng.integers(1, 80, k),
        100.0 * rng.integers(0, 40, k) / rng.integers(1, 4000, k),
        np.frombuffer(rng.bytes(8 * k), dtype=np.float64),
        [0.0, -0.0, 1e-5, 1e-4, 1e15, 1e16, 5e-324, 1.7976931348623157e308, np.inf, -np.inf]])
    values = values[~np.isnan(values)]
    ints = rng.integers(-2**62, 2**62, values.size)
    dens = values.copy()
    dens[::7] = np.nan
    strand = rng.choice([b"+", b"-", b"."], values.size)
    text = korvel._format_units(ints, ints[::-1].copy(), b"".join(strand), ints, values, dens,
                                ord(","), "chr\u00e9,".encode(), b",30.5\n").decode()
    want = "".join(f"chr\u00e9,{a},{b},{s.decode()},{a},{v!r},{'NA' if np.isnan(d) else repr(d)}"
                   ",30.5\n" for a, b, s, v, d in zip(ints.tolist(), ints[::-1].tolist(),
                                                    strand, values.tolist(), dens.tolist()))
    assert text == want


def test_a_worker_process_ignores_ctrl_c(tmp_path):
    """Ctrl+C at the terminal reaches the whole process group: a worker keeps SIGINT
    ignored (the command ends the workers itself) and still answers its jobs."""
    import dataclasses
    from pathlib import Path

    from korvel_analysis import extract

    with extract._Workers(1) as workers:  # ends the worker however the test ends
        (proc,) = workers.procs
        job = [str(tmp_path / "none.bam"), "bam", "MM", [None, None, None],
               dataclasses.asdict(extract.Options()), str(tmp_path / "part"), "\t", None, True]
        proc.stdin.write(json.dumps(job) + "\n")
        proc.stdin.flush()
        answer = json.loads(proc.stdout.readline())  # the worker is past its start-up
        status = Path(f"/proc/{proc.pid}/status")
        if not status.exists():
            pytest.skip("no /proc to read a process's signal mask from")
        ignored = int(next(line for line in status.read_text().splitlines()
                           if line.startswith("SigIgn:")).split()[1], 16)
    assert ignored & (1 << (2 - 1))  # SIGINT is signal 2
    assert "bad input" in answer or "failed" in answer


def _far_pairs_bam(path, seed):
    """One coordinate-sorted contig of 19 linear-index windows: pairs every ~50 bp with
    mates up to 300 bp apart, a few pairs whose mates lie 20-60 kb apart (past a piece's
    look-back, so that a piece's guessed start is wrong), single reads, filtered reads,
    several reads at one position."""
    rng = np.random.default_rng(seed)
    length = 19 * (1 << 14)
    header = {"HD": {"VN": "1.6", "SO": "coordinate"}, "SQ": [{"SN": "c1", "LN": length}]}
    raw = str(path) + ".raw.bam"
    with pysam.AlignmentFile(raw, "wb", header=header) as out:
        def write(name, start, flag, mate_start):
            a = pysam.AlignedSegment(out.header)
            a.query_name, a.reference_id, a.reference_start = name, 0, start
            a.flag = flag | int(rng.choice([0] * 20 + [0x400, 0x4]))
            a.cigartuples = [(0, 60)]
            a.query_sequence = "".join(rng.choice(list("ACGT"), 60))
            a.mapping_quality = int(rng.integers(5, 60))
            a.next_reference_id, a.next_reference_start = (0, mate_start) if flag & 1 else (-1, -1)
            a.set_tag("XM", "".join(rng.choice(list("..zZ"), 60)))
            if rng.random() < 0.5:
                a.set_tag("XG", "CT" if rng.random() < 0.5 else "GA")
            out.write(a)

        far = set(rng.choice(6000, 8, replace=False).tolist())
        for i in range(6000):
            s1 = int(rng.integers(0, length - 70_000)) if i in far else 50 * i % (length - 400)
            if rng.random() < 0.1:
                write(f"s{i}", s1, 0, -1)
                continue
            s2 = s1 + (int(rng.integers(20_000, 60_000)) if i in far else int(rng.integers(0, 300)))
            write(f"p{i}", s1, 99, s2)
            write(f"p{i}", s2, 147, s1)
    pysam.sort("-o", str(path), raw)
    pysam.index(str(path))
    return path


def test_a_contig_read_in_pieces_gives_the_bytes_and_counts_of_the_whole(tmp_path, monkeypatch):
    """Pieces of a contig (cut at every window that the compressed bytes move on): a piece
    whose guessed start a far pair spoils is read through by the one before; an index whose
    offsets lie past reads makes the contig be read again whole. Either way the table and
    the counts are those of one process reading the contig whole, by korvel's own reader."""
    from korvel_analysis import bgzf, extract

    if bgzf.kernel() is None:
        pytest.skip("the installed module lacks the BAM record walker")
    bam = _far_pairs_bam(tmp_path / "far.bam", seed=1)
    kept = ("units_written", "reads_used", "pairs_merged", "left_out")

    def table(name, threads):
        out = tmp_path / name
        assert run("extract", bam, "--out", out, "--threads", threads) == 0
        record = json.loads((tmp_path / f"{name}.json").read_text())
        return out.read_bytes(), {k: record[k] for k in kept}, record["bam_jobs"]

    whole = table("whole.tsv", 1)
    assert whole[2] == {"jobs_read_by_korvel": 1}
    monkeypatch.setattr(extract, "PIECE_BYTES", 1)
    pieces = table("pieces.tsv", 2)
    assert pieces[:2] == whole[:2]
    how = pieces[2]
    assert how["pieces_kept"] >= 5 and how["pieces_dropped"] >= 1, how
    assert how["jobs_read_by_korvel"] == how["pieces_kept"] and "contigs_read_again" not in how

    index = bgzf.read_index
    monkeypatch.setattr(bgzf, "read_index", lambda bai: {
        tid: (first, np.concatenate([linear[4:], linear[-1:].repeat(4)]))
        for tid, (first, linear) in index(bai).items()})
    shifted = table("shifted.tsv", 2)
    assert shifted[:2] == whole[:2] and shifted[2]["contigs_read_again"] == 1


def _mm_groups(rng, orig):
    """MM text and ML values of a read (``orig``: its bases as sequenced): several groups
    in any of the forms the tags allow, and now and then one that is broken."""
    n_c = orig.count("C")
    groups, ml = [], []

    def deltas(n_sites, k):
        chosen = np.sort(rng.choice(n_sites, min(k, n_sites), replace=False)) if n_sites else []
        return [int(x) for x in np.diff(chosen, prepend=-1) - 1]

    for _ in range(int(rng.integers(1, 4))):
        form = rng.integers(0, 9)
        if form <= 2:  # C+m, C+mh or C+h in one of the three modes
            codes = ["m", "mh", "h"][form]
            d = deltas(n_c, int(rng.integers(0, 6)))
            mode = rng.choice(["", ".", "?"])
        elif form == 3:  # every base (N), a ChEBI code, the other strand, another base
            codes, mode = rng.choice(["m", "76792", "a"]), "?"
            d = deltas(len(orig) if codes == "m" else orig.count("A"), 3)
            groups.append(("N" if codes == "m" else "A") + f"+{codes}{mode}"
                          + "".join(f",{x}" for x in d))
            ml += rng.integers(0, 256, len(d)).tolist()
            continue
        elif form == 4:
            codes, mode, d = "m", "?", deltas(orig.count("G"), 2)
            groups.append("C-m?" + "".join(f",{x}" for x in d))  # calls on the other strand
            ml += rng.integers(0, 256, len(d)).tolist()
            continue
        else:
            codes, mode, d = "m", rng.choice(["", "?"]), deltas(n_c, 3)
        text = f"C+{codes}{mode}" + "".join(f",{x}" for x in d)
        if form == 6 and rng.random() < 0.5:  # deltas past the read's Cs, or negative
            text += f",{n_c + 1}" if rng.random() < 0.5 else ",-1"
            d = d + [0]
        if form == 7 and rng.random() < 0.5:  # spaces and a plus sign Python's int reads
            text = " " + text.replace(",", ", +", 1) + " "
        if form == 8 and rng.random() < 0.3:  # a head or a delta Python's int does not read
            text = rng.choice(["X+m,0", "C*m,0", "C+M,0", "C+m.?,0", "C+,0", "C+m,", "C+m,_1",
                               "C+m,1__0", "C+m,1_0", "C+m,99999999999999999999"])
        groups.append(text)
        ml += rng.integers(0, 256, len(d) * len(codes) if not codes.isdigit() else len(d)).tolist()
    if rng.random() < 0.05 and ml:  # ML shorter than MM
        ml = ml[:-1]
    return ";".join(groups) + (";" if rng.random() < 0.7 else ""), ml


def _messy_mm_bam(path, seed):
    """Modified-base reads of two contigs: forward and reverse, paired and single, soft
    clips, insertions, deletions, filtered flags and low MAPQ, legacy Mm/Ml names, MN right
    and wrong, reads without MM, and MM/ML of every form ``_mm_groups`` writes."""
    rng = np.random.default_rng(seed)
    header = {"HD": {"VN": "1.6", "SO": "coordinate"},
              "SQ": [{"SN": "c1", "LN": 3000}, {"SN": "c2", "LN": 3000}]}
    cigars = [[(0, 60)], [(4, 5), (0, 50), (4, 5)], [(0, 20), (1, 4), (0, 36)],
              [(0, 25), (2, 3), (0, 35)], [(0, 30), (3, 40), (8, 30)]]
    raw = str(path) + ".raw.bam"
    with pysam.AlignmentFile(raw, "wb", header=header) as out:
        def write(name, tid, start, flag, mate_start):
            a = pysam.AlignedSegment(out.header)
            a.query_name, a.flag, a.reference_id, a.reference_start = name, flag, tid, start
            a.flag |= int(rng.choice([0] * 12 + [0x100, 0x400, 0x4]))
            a.cigartuples = cigars[rng.integers(0, len(cigars))]
            seq = "".join(rng.choice(list("ACGT"), 60, p=[0.2, 0.35, 0.35, 0.1]))
            a.query_sequence = seq
            a.mapping_quality = int(rng.integers(5, 60))
            if flag & 1:
                a.next_reference_id, a.next_reference_start = tid, mate_start
            orig = seq.translate(COMP)[::-1] if a.flag & 16 else seq
            if rng.random() < 0.95:
                mm, ml = _mm_groups(rng, orig)
                legacy = rng.random() < 0.15
                a.set_tag("Mm" if legacy else "MM", mm)
                a.set_tag("Ml" if legacy else "ML", array.array("B", ml))
            if rng.random() < 0.2:
                a.set_tag("MN", 60 if rng.random() < 0.8 else 59)
            out.write(a)

        for i in range(500):
            tid, s1 = int(rng.integers(0, 2)), int(rng.integers(0, 2800))
            if rng.random() < 0.3:
                write(f"s{i}", tid, s1, int(rng.choice([0, 16])), -1)
                continue
            s2 = int(rng.integers(max(0, s1 - 100), min(2800, s1 + 200)))
            f1, f2 = [(99, 147), (83, 163)][rng.integers(0, 2)]
            write(f"p{i}", tid, s1, f1, s2)
            write(f"p{i}", tid, s2, f2, s1)
    pysam.sort("-o", str(path), raw)
    pysam.index(str(path))
    return path


@pytest.mark.parametrize("hydroxy", ["unmethylated", "methylated"])
def test_the_modules_mm_calls_are_those_of_the_python_parser(tmp_path, hydroxy):
    """korvel's own reader of MM/ML, contig by contig, gives the bytes and counts (broken
    tags by reason) of the Python parser reading the same reads one at a time."""
    from korvel_analysis import bgzf, extract

    if bgzf.kernel("_scan_bam_mm") is None:
        pytest.skip("the installed module lacks the MM/ML record walker")
    bam = _messy_mm_bam(tmp_path / "mm.bam", seed=7)
    for threshold, window in ((0.5, None), (0.8, 2)):
        opts = extract.Options(window_cpgs=window, mod_threshold=threshold, hydroxy=hydroxy)
        for contig in ("c1", "c2"):
            got = []
            for task in ((contig, None, None), (contig, 0, 10**9)):
                part = tmp_path / "part.tsv"
                done = extract._bam_task(str(bam), "bam", "MM", task, opts, str(part), "\t",
                                         None, True)
                got.append((done.reader, part.read_text(), dict(done)))
            assert [g[0] for g in got] == ["korvel", "pysam"]
            assert got[0][1:] == got[1][1:]
            counts = got[0][2]
            assert counts["reads_used"] > 100 and counts["reads_mm_malformed"] > 5
            assert counts["reads_ml_shorter_than_mm"] > 0 and counts["units_below_min_cpgs"] >= 0
