"""korvel extract on a generated bisulfite BAM against a plain pysam loop over the same reads.

Generates coordinate-sorted paired-end reads (150 bp mates of 250 bp
fragments, XM calls at every CpG, half the fragments on the bottom strand)
over 4 contigs as SAM text, which samtools (through pysam) turns into an
indexed BAM. Prints, for --reads N (default 10^6):

- the time of a loop that only iterates the reads with pysam;
- extract's time with 1 and 2 workers (the command's process is one of them),
  its ratio to the loop and the 2-worker speed-up (each the best of --repeat
  runs), in wall-clock and in CPU seconds, those of 2 workers per process: on a
  shared machine the CPU seconds are the steadier figure (also those of the
  command within the extract() call, without its imports);
- the peak resident memory (ru_maxrss) of a child process running extract
  with one worker, at N and at 4 N reads (--no-memory leaves the 4 N run out),
  so that a memory that grows with the reads shows. Linux keeps a process's
  peak across fork and exec (ru_maxrss of a child is at least its parent's
  peak when it was started), so the BAMs are generated in a child process of
  their own, the tables are compared without reading them whole, and the
  command's peak is its own VmHWM (/proc/self/status) where there is one.

Checks that the table has one row per fragment and that 1 and 2 workers
wrote the same bytes. The machine may be shared: speed-ups are noisy there.

    nice python benchmarks/bench_extract.py [--reads N] [--repeat R] [--no-memory]
"""

import argparse
import filecmp
import json
import os
import subprocess
import sys
import tempfile
import time

import numpy as np

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import pysam  # noqa: E402
from machine import describe  # noqa: E402

CONTIGS = 4
READ, FRAGMENT = 150, 250


def make_bam(folder, n_reads, seed=0):
    """An indexed BAM of n_reads reads (n_reads / 2 pairs) and its fragment count."""
    rng = np.random.default_rng(seed)
    pairs = n_reads // 2
    per_contig = -(-pairs // CONTIGS)
    step = 40  # fragments start every 40 bp on average
    length = per_contig * step + FRAGMENT + 100
    sam = os.path.join(folder, f"reads{n_reads}.sam")
    bam = os.path.join(folder, f"reads{n_reads}.bam")
    with open(sam, "w") as f:
        f.write("@HD\tVN:1.6\tSO:coordinate\n")
        refs = []
        for c in range(CONTIGS):
            seq = np.array(list("ACT"))[rng.integers(0, 3, length)]
            sites = np.flatnonzero(rng.random(length - 1) < 0.02)
            sites = sites[np.diff(sites, prepend=-2) > 1]
            seq[sites], seq[sites + 1] = "C", "G"
            refs.append(seq)
            f.write(f"@SQ\tSN:chr{c}\tLN:{length}\n")
        for c, seq in enumerate(refs):
            text = "".join(seq)
            meth = rng.random(seq.size) < 0.6
            top = np.full(seq.size, ".")
            bottom = np.full(seq.size, ".")
            cpg = np.flatnonzero((seq[:-1] == "C") & (seq[1:] == "G"))
            top[cpg] = np.where(meth[cpg], "Z", "z")
            bottom[cpg + 1] = np.where(meth[cpg], "Z", "z")
            top, bottom = "".join(top), "".join(bottom)
            starts = np.sort(rng.integers(0, length - FRAGMENT - 1, min(per_contig, pairs)))
            pairs -= starts.size
            lines = []
            for i, s in enumerate(starts.tolist()):
                s2 = s + FRAGMENT - READ
                strand_top = i % 2 == 0
                xm = top if strand_top else bottom
                xg = "CT" if strand_top else "GA"
                name = f"c{c}f{i}"
                f1, f2 = (99, 147) if strand_top else (83, 163)
                for pos, mate, flag in ((s, s2, f1), (s2, s, f2)):
                    lines.append((pos, f"{name}\t{flag}\tchr{c}\t{pos + 1}\t40\t{READ}M\t=\t"
                                       f"{mate + 1}\t0\t{text[pos:pos + READ]}\t*\t"
                                       f"XM:Z:{xm[pos:pos + READ]}\tXG:Z:{xg}\n"))
            lines.sort(key=lambda x: x[0])
            f.writelines(line for _, line in lines)
    pysam.view("-b", "-o", bam, sam, catch_stdout=False)
    os.unlink(sam)
    pysam.index(bam)
    return bam, n_reads // 2


def make_bam_apart(folder, n_reads, seed=0):
    """make_bam in a child process, so that this process stays small (see above)."""
    res = subprocess.run([sys.executable, __file__, "--make", folder, str(n_reads), str(seed)],
                         capture_output=True, text=True, check=True)
    bam, fragments = res.stdout.split()
    return bam, int(fragments)


def plain_loop(bam):
    """Wall and CPU seconds of a loop that only iterates the reads."""
    t, c = time.perf_counter(), time.process_time()
    with pysam.AlignmentFile(bam) as f:
        for _ in f.fetch(until_eof=True):
            pass
    return time.perf_counter() - t, time.process_time() - c


def run_extract(bam, out, threads):
    """Seconds of one extract run in a child process, the child's (or a worker's) peak RSS in
    MiB, and the CPU seconds of the child and of its workers (start-up included) and of
    the child within the extract() call."""
    code = ("import resource, sys, time\n"
            "from korvel_analysis import extract\n"
            "t, c = time.perf_counter(), time.process_time()\n"
            f"extract.extract([{bam!r}], {out!r}, threads={threads}, progress=False)\n"
            "dt, in_call = time.perf_counter() - t, time.process_time() - c\n"
            "own = resource.getrusage(resource.RUSAGE_SELF)\n"
            "kids = resource.getrusage(resource.RUSAGE_CHILDREN)\n"
            "peak = own.ru_maxrss\n"
            "try:  # this process's own peak, not one inherited from the benchmark's\n"
            "    with open('/proc/self/status') as f:\n"
            "        peak = next(int(x.split()[1]) for x in f if x.startswith('VmHWM:'))\n"
            "except (OSError, StopIteration):\n"
            "    pass\n"
            "print(dt, peak, kids.ru_maxrss, own.ru_utime + own.ru_stime,\n"
            "      kids.ru_utime + kids.ru_stime, in_call)\n")
    res = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                         check=True)
    dt, own, kids, cpu_own, cpu_kids, in_call = res.stdout.split()
    return (float(dt), max(int(own), int(kids)) / 1024.0,
            (float(cpu_own), float(cpu_kids), float(in_call)))


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--reads", type=int, default=1_000_000)
    ap.add_argument("--repeat", type=int, default=2)
    ap.add_argument("--no-memory", action="store_true")
    args = ap.parse_args()
    print(describe())
    print("load average (1, 5, 15 min) before the runs: "
          + ", ".join(f"{x:.1f}" for x in os.getloadavg()))
    with tempfile.TemporaryDirectory() as tmp:
        t = time.perf_counter()
        bam, fragments = make_bam_apart(tmp, args.reads)
        print(f"generated {args.reads} reads ({fragments} pairs) in "
              f"{time.perf_counter() - t:.1f} s")
        loops = [plain_loop(bam) for _ in range(args.repeat)]
        loop, loop_cpu = min(x[0] for x in loops), min(x[1] for x in loops)
        outs, best, rss, cpu = {}, {}, {}, {}
        for threads in (1, 2):
            outs[threads] = os.path.join(tmp, f"out{threads}.tsv")
            runs = [run_extract(bam, outs[threads], threads) for _ in range(args.repeat)]
            best[threads] = min(r[0] for r in runs)
            rss[threads] = max(r[1] for r in runs)
            cpu[threads] = min((r[2] for r in runs), key=lambda c: c[0] + c[1])
        same = filecmp.cmp(outs[1], outs[2], shallow=False)
        with open(outs[1]) as f:
            rows = sum(1 for _ in f) - 1
        with open(outs[1] + ".json") as f:
            record = json.load(f)
        assert same, "1 and 2 workers wrote different tables"
        # every fragment is a row, but for those whose reads hold no CpG call
        empty = record["left_out"].get("units_below_min_cpgs", 0)
        assert rows + empty == fragments and record["pairs_merged"] == fragments, record
        print(f"plain pysam loop: {loop:.2f} s, {loop_cpu:.2f} CPU s "
              f"({args.reads / loop / 1e6:.2f} M reads/s)")
        one = cpu[1][0] + cpu[1][1]
        print(f"extract, 1 worker: {best[1]:.2f} s = {best[1] / loop:.2f} x the loop; "
              f"{one:.2f} CPU s = {one / loop_cpu:.2f} x the loop's (start-up "
              f"included); peak RSS {rss[1]:.0f} MiB")
        # With other work on the machine the wall-clock speed-up says little. The CPU
        # seconds of each process show what the second one costs (its start-up, its share
        # of the reads) and the speed-up an otherwise idle machine would give: the one
        # worker's CPU over that of the busier of the two.
        print(f"extract, 2 workers: {best[2]:.2f} s; speed-up {best[1] / best[2]:.2f}; "
              f"{cpu[2][0] + cpu[2][1]:.2f} CPU s ({cpu[2][0]:.2f} in the command, {cpu[2][1]:.2f} "
              f"in its worker); parallel efficiency {one / (cpu[2][0] + cpu[2][1]):.2f}, "
              f"CPU-bound speed-up {one / max(cpu[2][:2]):.2f}")
        # The command's CPU above includes its imports, done before extract() is called
        # and before its worker starts; counting the command's CPU within the call only
        # (the worker's start-up stays in) models the idle machine's wall clock closer.
        print(f"  within the call: {cpu[1][2]:.2f} CPU s with 1 worker; {cpu[2][2]:.2f} in "
              f"the command with 2; CPU-bound speed-up of the call "
              f"{cpu[1][2] / max(cpu[2][2], cpu[2][1]):.2f}")
        print("load average (1, 5, 15 min) after the runs: "
              + ", ".join(f"{x:.1f}" for x in os.getloadavg()))
        if not args.no_memory:
            big, _ = make_bam_apart(tmp, 4 * args.reads, seed=1)
            dt, mem, _ = run_extract(big, os.path.join(tmp, "big.tsv"), 1)
            print(f"extract, 1 worker, {4 * args.reads} reads: {dt:.2f} s; peak RSS "
                  f"{mem:.0f} MiB (against {rss[1]:.0f} MiB at {args.reads})")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--make"]:
        print(*make_bam(sys.argv[2], int(sys.argv[3]), int(sys.argv[4])))
    else:
        main()
