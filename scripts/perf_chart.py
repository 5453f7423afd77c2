#!/usr/bin/env python3
"""Reads the JSON that scripts/bench.sh keeps and draws, for each operation
with a speed aim, its time against its anchor's time in the same run: one
bar per build directory, on a log scale where the anchor is 1. Prints the
same figures as a Markdown table. Standard library only.

    python3 scripts/perf_chart.py --svg docs/performance.svg \
        bench-results/build bench-results/build-release

Each figure is the median CPU time over the repetitions of one run, divided
by the median CPU time of the anchor in the same run.
"""
import argparse
import json
import math
import os
import sys
from xml.sax.saxutils import escape

# (label, benchmark program, operation, anchor, aim, what the aim says)
# The aim is the largest allowed ratio of the operation's time to the
# anchor's; None for a figure shown for comparison only.
ROWS = [
    ("ID table miss, snowflakes with shared prefixes", "bench_id_mapper",
     "miss/word_scan/shared_prefix", "miss/plain_strcmp/shared_prefix", 1 / 3.5,
     "3.5x faster than strcmp"),
    ("ID table miss, spread snowflakes", "bench_id_mapper",
     "miss/word_scan/spread", "miss/plain_strcmp/spread", 1 / 3.5, "3.5x faster than strcmp"),
    ("Mac OS Roman, chat with typographic punctuation", "bench_text",
     "BM_Utf8ToMacroman/chat", "BM_Icu/chat", 1 / 5, "5x faster than ICU"),
    ("Mac OS Roman, chat, against iconv", "bench_text",
     "BM_Utf8ToMacroman/chat", "BM_Iconv/chat", None, "for comparison"),
    ("Mac OS Roman, European chat (accents)", "bench_text",
     "BM_Utf8ToMacroman/mixed", "BM_Icu/mixed", None, "for comparison"),
    ("Mac OS Roman, ASCII chat", "bench_text",
     "BM_Utf8ToMacroman/ascii", "BM_Memcpy/ascii", 1.5, "at most 1.5x memcpy"),
    ("Emoji pass, ASCII chat", "bench_text",
     "BM_StripEmoji/ascii", "BM_Memcpy/ascii", 2.0, "at most 2x memcpy"),
    ("Markdown pass, ASCII chat", "bench_text",
     "BM_FormatMarkdown/ascii", "BM_Memcpy/ascii", 3.0, "at most 3x memcpy"),
    ("Whole message, 100 bytes", "bench_text",
     "BM_TextForMacMessage/100", "BM_OwnPassesByHand/100", 1.2, "at most 1.2x its passes by hand"),
    ("Whole message, 2,000 bytes", "bench_text",
     "BM_TextForMacMessage/2000", "BM_OwnPassesByHand/2000", 1.2, "at most 1.2x its passes by hand"),
    ("Whole message, 64 KiB", "bench_text",
     "BM_TextForMacMessage/65536", "BM_OwnPassesByHand/65536", 1.2, "at most 1.2x its passes by hand"),
    ("Hash map hit, 1,000 keys", "bench_hashmap",
     "lookup_hit<tw_map>/1000", "lookup_hit<std_unordered_map>/1000", 1.0, "at most std::unordered_map"),
    ("Hash map hit, 100,000 keys", "bench_hashmap",
     "lookup_hit<tw_map>/100000", "lookup_hit<std_unordered_map>/100000", 1.0, "at most std::unordered_map"),
    ("Hash map miss, 1,000 keys", "bench_hashmap",
     "lookup_miss<tw_map>/1000", "lookup_miss<std_unordered_map>/1000", 1.0, "at most std::unordered_map"),
    ("Hash map miss, 100,000 keys", "bench_hashmap",
     "lookup_miss<tw_map>/100000", "lookup_miss<std_unordered_map>/100000", 1.0, "at most std::unordered_map"),
    ("Message batch, 25 records", "bench_twl",
     "MessageBatch25", "MessageBatch25/strnlen_memcpy", 1.5, "at most 1.5x strnlen + memcpy of its strings"),
    ("Image frame, 64 KiB", "bench_twl", "ImageData64K", "ImageData64K/memcpy", 3.0, "at most 3x memcpy"),
]

UNIT_NS = {"ns": 1.0, "us": 1e3, "ms": 1e6, "s": 1e9}


def load_run(directory, program):
    """Median CPU times in ns by run name, and the load averages."""
    path = os.path.join(directory, program + ".json")
    if not os.path.exists(path):
        return {}, None
    with open(path, encoding="utf-8") as f:
        data = json.load(f)
    times, fallback = {}, {}
    for b in data.get("benchmarks", []):
        if b.get("error_occurred"):
            continue
        ns = b["cpu_time"] * UNIT_NS[b.get("time_unit", "ns")]
        name = b.get("run_name", b["name"])
        if b.get("run_type") == "aggregate":
            if b.get("aggregate_name") == "median":
                times[name] = ns
        else:
            fallback.setdefault(name, []).append(ns)
    for name, values in fallback.items():  # a run without repetitions
        if name not in times:
            values.sort()
            times[name] = values[len(values) // 2]
    return times, data.get("context", {}).get("load_avg")


def ratios(directory):
    out, loads = {}, {}
    for label, program, op, anchor, _, _ in ROWS:
        if program not in loads:
            loads[program] = load_run(directory, program)
        times = loads[program][0]
        if op in times and anchor in times and times[anchor] > 0:
            out[label] = (times[op] / times[anchor], times[op], times[anchor])
    return out, {p: l[1] for p, l in loads.items()}


def fmt_ratio(r, aim):
    """An aim of at most the anchor's time reads as a fraction, any other as a speed-up."""
    return f"{r:.2f}x the time" if (aim is not None and aim >= 1.0) or r >= 1 else f"{1 / r:.1f}x faster"


def markdown(series):
    names = [name for name, _, _ in series]
    head = "| operation | anchor | aim | " + " | ".join(names) + " |"
    lines = [head, "|" + "---|" * (3 + len(names))]
    for label, _, op, anchor, aim, aim_text in ROWS:
        cells = []
        for _, figures, _ in series:
            if label not in figures:
                cells.append("not run")
                continue
            r, t_op, t_anchor = figures[label]
            met = "" if aim is None else (" (met)" if r <= aim else " (**not met**)")
            cells.append(f"{fmt_ratio(r, aim)}{met}: {t_op:,.0f} ns vs {t_anchor:,.0f} ns")
        lines.append(f"| {label} (`{op}`) | `{anchor}` | {aim_text} | " + " | ".join(cells) + " |")
    for name, _, loads in series:
        shown = ", ".join(f"{p}: {' '.join(f'{x:.2f}' for x in l)}" for p, l in sorted(loads.items()) if l)
        lines.append("")
        lines.append(f"Load averages (1, 5, 15 min) when {name} started: {shown or 'not recorded'}")
    return "\n".join(lines)


def svg(series):
    colours = ["#4878a8", "#e08a2c", "#5a9e5a", "#b05050"]
    left, right, top, row_h, bar_h = 360, 150, 70, 46, 14
    width = 1000
    plot_w = width - left - right
    lo, hi = 0.01, 4.0

    def x(r):
        r = min(max(r, lo), hi)
        return left + plot_w * (math.log10(r) - math.log10(lo)) / (math.log10(hi) - math.log10(lo))

    height = top + row_h * len(ROWS) + 60
    p = [f'<svg xmlns="http://www.w3.org/2000/svg" width="{width}" height="{height}" '
         f'font-family="sans-serif" font-size="12">',
         f'<rect width="{width}" height="{height}" fill="white"/>',
         '<text x="10" y="22" font-size="15" font-weight="bold">Time of each operation against its anchor '
         '(anchor = 1, log scale; shorter is faster)</text>']
    for k, (name, _, _) in enumerate(series):
        lx = 10 + 220 * k
        p.append(f'<rect x="{lx}" y="36" width="14" height="10" fill="{colours[k % len(colours)]}"/>')
        p.append(f'<text x="{lx + 20}" y="45">{escape(name)}</text>')
    p.append(f'<line x1="{lx + 230}" y1="41" x2="{lx + 250}" y2="41" stroke="black" stroke-dasharray="4,3"/>')
    p.append(f'<text x="{lx + 256}" y="45">aim: the bar must end left of it</text>')
    bottom = top + row_h * len(ROWS)
    for tick in [0.01, 0.02, 0.05, 0.1, 0.2, 0.5, 1, 2, 4]:
        tx = x(tick)
        p.append(f'<line x1="{tx:.1f}" y1="{top - 6}" x2="{tx:.1f}" y2="{bottom}" stroke="#ddd"/>')
        label = f"1/{round(1 / tick)}" if tick < 1 else f"{tick:g}"
        p.append(f'<text x="{tx:.1f}" y="{bottom + 16}" text-anchor="middle">{label}</text>')
    p.append(f'<line x1="{x(1):.1f}" y1="{top - 6}" x2="{x(1):.1f}" y2="{bottom}" stroke="#333"/>')
    p.append(f'<text x="{x(1):.1f}" y="{bottom + 32}" text-anchor="middle">anchor</text>')
    for i, (label, _, _, anchor, aim, _) in enumerate(ROWS):
        y0 = top + row_h * i
        p.append(f'<text x="{left - 8}" y="{y0 + 16}" text-anchor="end">{escape(label)}</text>')
        p.append(f'<text x="{left - 8}" y="{y0 + 30}" text-anchor="end" fill="#666" font-size="10">'
                 f'vs {escape(anchor)}</text>')
        for k, (_, figures, _) in enumerate(series):
            if label not in figures:
                continue
            r = figures[label][0]
            by = y0 + 4 + k * (bar_h + 2)
            p.append(f'<rect x="{left}" y="{by}" width="{x(r) - left:.1f}" height="{bar_h}" '
                     f'fill="{colours[k % len(colours)]}"/>')
            p.append(f'<text x="{left + plot_w + 12}" y="{by + 11}" font-size="11" '
                     f'fill="{colours[k % len(colours)]}">{fmt_ratio(r, aim)}</text>')
        if aim is not None:
            ax = x(aim)
            p.append(f'<line x1="{ax:.1f}" y1="{y0 + 1}" x2="{ax:.1f}" y2="{y0 + 6 + 2 * (bar_h + 2)}" '
                     'stroke="black" stroke-width="1.5" stroke-dasharray="4,3"/>')
    p.append("</svg>")
    return "\n".join(p) + "\n"


def main():
    ap = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    ap.add_argument("--svg", help="where to write the chart")
    ap.add_argument("dirs", nargs="+", help="bench-results/<build> directories, one bar each")
    args = ap.parse_args()
    series = []
    for d in args.dirs:
        figures, loads = ratios(d)
        name = os.path.basename(os.path.normpath(d))
        try:
            with open(os.path.join(d, "build-type"), encoding="utf-8") as f:
                build_type = f.read().strip()
            if build_type:
                name += f" ({build_type})"
        except OSError:
            pass
        series.append((name, figures, loads))
    if not any(figures for _, figures, _ in series):
        sys.exit("no benchmark results found in " + ", ".join(args.dirs))
    print(markdown(series))
    if args.svg:
        with open(args.svg, "w", encoding="utf-8") as f:
            f.write(svg(series))


if __name__ == "__main__":
    main()
