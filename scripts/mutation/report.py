"""The mutation report: counts per file and in total, every survivor, the score."""

from collections import OrderedDict

from suite import EQUIVALENT, KILLED, NOT_COMPILED, SURVIVED, TIMED_OUT

COLUMNS = [KILLED, TIMED_OUT, SURVIVED, NOT_COMPILED, EQUIVALENT]


def tally(results):
    killed = sum(1 for r in results if r["status"] in (KILLED, TIMED_OUT))
    counted = sum(1 for r in results if r["status"] in (KILLED, TIMED_OUT, SURVIVED))
    return killed, counted


def score(results):
    killed, counted = tally(results)
    return 100.0 * killed / counted if counted else 100.0


def score_line(results):
    killed, counted = tally(results)
    return f"score {score(results):.1f}% ({killed} of {counted} non-equivalent mutants killed)"


def print_report(results, stale_equivalents, out):
    per_file = OrderedDict()
    for r in sorted(results, key=lambda r: (r["path"], r["line"])):
        per_file.setdefault(r["path"], {c: 0 for c in COLUMNS})[r["status"]] += 1
    width = max([len(p) for p in per_file] + [5])
    header = f"{'file':<{width}}  " + "  ".join(f"{c:>12}" for c in COLUMNS)
    print(header, file=out)
    totals = {c: 0 for c in COLUMNS}
    for path, counts in per_file.items():
        print(f"{path:<{width}}  " + "  ".join(f"{counts[c]:>12}" for c in COLUMNS), file=out)
        for c in COLUMNS:
            totals[c] += counts[c]
    print(f"{'total':<{width}}  " + "  ".join(f"{totals[c]:>12}" for c in COLUMNS), file=out)

    survivors = [r for r in results if r["status"] == SURVIVED]
    print(f"\nsurvivors: {len(survivors)}", file=out)
    for r in sorted(survivors, key=lambda r: (r["path"], r["line"])):
        print(f"  {r['path']}:{r['line']}: {r['change']}", file=out)
        print(f"      {r['mutated'].strip()}", file=out)
    for key in stale_equivalents:
        print(f"note: the equivalent mutant '{key}' no longer exists; remove it from the list", file=out)
    print("(timed out counts as killed: the tests noticed the change)", file=out)
    print(score_line(results), file=out)
