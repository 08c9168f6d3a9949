"""Writes the tables of the documentation's benchmarks page (docs/benchmarks.md)
from products.md between <!-- products-benchmark:start --> and
<!-- products-benchmark:end -->, from bench/results/benchmark.json
and benchmark.md, between the markers <!-- benchmark:start --> and
<!-- benchmark:end -->, from trajectory.md between
<!-- trajectory-benchmark:start --> and <!-- trajectory-benchmark:end -->, from
short_steps.md between <!-- short-steps-benchmark:start --> and
<!-- short-steps-benchmark:end -->, and
from mpi.md between <!-- mpi-benchmark:start --> and <!-- mpi-benchmark:end -->,
from sectors.md between <!-- sectors-benchmark:start --> and
<!-- sectors-benchmark:end -->, and from time_dependent.md (without its list of
every run of the tolerance searches) between
<!-- time-dependent-benchmark:start --> and <!-- time-dependent-benchmark:end -->,
and from eigen.md and batch.md between <!-- eigen-benchmark:start --> and
<!-- eigen-benchmark:end -->, <!-- batch-benchmark:start --> and
<!-- batch-benchmark:end -->, and from sector_ground.md and sector_drive.md between
<!-- sector-ground-benchmark:start --> and <!-- sector-ground-benchmark:end -->,
<!-- sector-drive-benchmark:start --> and <!-- sector-drive-benchmark:end -->.

A table too wide for the page's text column is written as several tables, each
with the leading columns that name a row (those whose header is one word:
workload, n, method, ...) and as many of the other columns as fit; the result
files keep their tables whole.

    python bench/benchmarks_page.py [docs/benchmarks.md]
"""

import json
import pathlib
import sys

HERE = pathlib.Path(__file__).resolve().parent
RESULTS = HERE / "results"


def section():
    data = json.loads((RESULTS / "benchmark.json").read_text())
    rows, meta = data["rows"], data["meta"]

    def find(workload, n, method, threads):
        for r in rows:
            if (r["workload"], r["n"], r["method"], r["threads"]) == (workload, n, method, threads) \
                    and "median_s" in r:
                return r
        return None

    lines = [
        f"Measured with `{meta['command']}` on this project's machine ({meta['machine']}, "
        f"kernel {meta['isa']}, {meta['date']}): every method in its own process, on the same "
        "Hamiltonian, state and coefficient; median wall time. SciPy is "
        "`scipy.sparse.linalg.expm_multiply` on a CSR matrix built from the same words (build "
        "time not included) on one thread; QuSpin is `ExpmMultiplyParallel` with the same "
        "thread count. Memory is the peak resident set of the call, in state vectors, "
        "including the input.",
        "",
        "| workload | n | velmora 1 thread [s] | velmora 2 threads [s] | SciPy [s] | QuSpin 1 / 2 "
        "threads [s] | speed-up vs SciPy (1 / 2 threads) | vs QuSpin (1 / 2) | rel. diff | "
        "memory velmora / SciPy [vectors] |",
        "|---|---|---|---|---|---|---|---|---|---|",
    ]
    for workload in ("ising", "xxz", "random4local"):
        for n in (16, 20, 22):
            v0, v2 = find(workload, n, "velmora", 0), find(workload, n, "velmora", 2)
            s = find(workload, n, "scipy", 1)
            q1, q2 = find(workload, n, "quspin", 1), find(workload, n, "quspin", 2)
            if not v0 or not v2:
                continue
            if s:
                comp = (f"{s['median_s']:.3g} | {q1['median_s']:.3g} / {q2['median_s']:.3g} | "
                        f"{s['median_s'] / v0['median_s']:.1f}× / {s['median_s'] / v2['median_s']:.1f}× | "
                        f"{q1['median_s'] / v0['median_s']:.1f}× / {q2['median_s'] / v2['median_s']:.1f}× | "
                        f"{v0['rel_diff_scipy']:.0e} | {v0['mem_vectors']:.1f} / {s['mem_vectors']:.0f}")
            else:
                comp = "CSR matrix too large | | | | | " + f"{v0['mem_vectors']:.1f} / –"
            lines.append(f"| {workload} | {n} | {v0['median_s']:.3g} | {v2['median_s']:.3g} | {comp} |")
    table = (RESULTS / "benchmark.md").read_text()
    lines += [
        "",
        "![evolve time against qubits](../bench/results/benchmark.png)",
        "",
        "<details><summary>Full table: every size and thread count, applications per second, ns "
        "per word·amplitude, bandwidth, and the kernel alone</summary>",
        "",
        table,
        "</details>",
    ]
    return "\n".join(lines)


# The page's text column (736 px at the site's default font size) in characters
# of the benchmark tables' font: an average character, digits and letters mixed,
# is about 6.9 px there, and a cell adds 18 px of padding and border.
COLUMN_PX, CHAR_PX, CELL_PX = 720, 6.9, 18
MAX_KEYS = 5


def _cells(line):
    return [cell.strip() for cell in line.strip().strip("|").split("|")]


def _column_px(cells):
    """The narrowest a column can be laid out: its longest word (cells wrap at
    spaces only)."""
    longest = max((len(word) for cell in cells for word in cell.split()), default=1)
    return longest * CHAR_PX + CELL_PX


def split_table(lines):
    """A Markdown table as one or more tables that each fit the text column."""
    rows = [_cells(line) for line in lines]
    header, body = rows[0], rows[2:]
    columns = [[row[i] if i < len(row) else "" for row in [header, *body]]
               for i in range(len(header))]
    widths = [_column_px(column) for column in columns]
    if sum(widths) <= COLUMN_PX:
        return lines
    keys = 0
    while keys < min(MAX_KEYS, len(header) - 1) and " " not in header[keys]:
        keys += 1
    keys = max(keys, 1)
    groups, current, width = [], [], sum(widths[:keys])
    for i in range(keys, len(header)):
        if current and width + widths[i] > COLUMN_PX:
            groups.append(current)
            current, width = [], sum(widths[:keys])
        current.append(i)
        width += widths[i]
    groups.append(current)
    out = []
    for group in groups:
        chosen = list(range(keys)) + group
        if out:
            out.append("")
        for r, row in enumerate(rows):
            if r == 1:
                out.append("|" + "---|" * len(chosen))
            else:
                out.append("| " + " | ".join(row[i] if i < len(row) else "" for i in chosen)
                           + " |")
    return out


def fit_tables(text):
    """Every Markdown table of `text` split so that it fits the text column."""
    lines, out, table = text.splitlines(), [], []
    for line in lines + [""]:
        if line.startswith("|"):
            table.append(line)
            continue
        if table:
            out += split_table(table)
            table = []
        out.append(line)
    return "\n".join(out[:-1]) + ("\n" if text.endswith("\n") else "")


def replace_between(text, name, body):
    start, end = f"<!-- {name}:start -->", f"<!-- {name}:end -->"
    head, rest = text.split(start)
    _, tail = rest.split(end)
    return head + start + "\n" + fit_tables(body) + "\n" + end + tail


# Result files copied as they are, each between the markers of its name.
VERBATIM = [("products-benchmark", "products.md"),
            ("trajectory-benchmark", "trajectory.md"), ("short-steps-benchmark", "short_steps.md"),
            ("threads-benchmark", "threads_under_load.md"), ("mpi-benchmark", "mpi.md"),
            ("sectors-benchmark", "sectors.md")]


def main():
    page = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else
                        pathlib.Path(__file__).resolve().parent.parent / "docs" / "benchmarks.md")
    text = replace_between(page.read_text(), "benchmark", section())
    for marker, name in VERBATIM:
        result = RESULTS / name
        if result.is_file():
            text = replace_between(text, marker, result.read_text().strip())
    time_dependent = RESULTS / "time_dependent.md"
    if time_dependent.is_file():
        full = time_dependent.read_text()
        summary = full.split("\nEvery run of the searches")[0].strip()
        if "\nNot run:" in full:
            summary += "\n\nNot run:" + full.split("\nNot run:")[1].rstrip()
        text = replace_between(text, "time-dependent-benchmark", summary +
                               "\n\nEvery run of the tolerance searches: "
                               "`bench/results/time_dependent.md`.")
    for name in ("eigen", "batch", "sector_ground", "sector_drive"):
        result = RESULTS / f"{name}.md"
        if result.is_file():
            body = result.read_text().strip()
            # The file's own title is the page's section heading.
            body = "\n".join(line for line in body.splitlines() if not line.startswith("# "))
            text = replace_between(text, f"{name.replace('_', '-')}-benchmark", body.strip())
    page.write_text(text)


if __name__ == "__main__":
    main()
