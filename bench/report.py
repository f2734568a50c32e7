# Turns one benchmark run (results.json) into the Markdown report, the target verdicts and the
# plots. Kept apart from the measuring so a report can be rebuilt from saved figures.
import json
import os
import statistics

from measure import summarize
from payloads import human_size

MIB = 1 << 20
MEMORY_SLACK = 32 * MIB
TRANSFER_RATIO = 1.5
LOADING_RATIO = 0.5
LINEARITY_LIMIT = 4.5
# How much later than the do-nothing program's exit the small file's frame may reach the receiver.
LATENCY_ALLOWANCE = 0.030


def _fmt_seconds(value):
    return "-" if value is None else "%.3f" % value


def _fmt_mib(kib):
    return "-" if kib is None else "%.1f" % (kib / 1024.0)


def _pair(values):
    """'min / median' seconds."""
    low, middle = summarize(values or [])
    return "%s / %s" % (_fmt_seconds(low), _fmt_seconds(middle))


def _rate(size, seconds):
    """MiB/s, or None when the time is missing or not positive."""
    if seconds is None or seconds <= 0:
        return None
    return size / MIB / seconds


def _fmt_rate(rate):
    return "-" if rate is None else "%.0f" % rate


def _median(values):
    return summarize(values)[1]


def _peak(values):
    """The largest known value; failed runs leave None behind."""
    known = [v for v in values or [] if v is not None]
    return max(known) if known else None


def transfer_phase(total_seconds, startup_seconds):
    """The program's run without Wine's start-up; None when it cannot be told apart."""
    if total_seconds is None or startup_seconds is None or total_seconds <= startup_seconds:
        return None
    return total_seconds - startup_seconds


def _spread(values):
    """(min, lower quartile, median, upper quartile, max), or None without figures."""
    known = sorted(v for v in values or [] if v is not None)
    if not known:
        return None
    quartiles = statistics.quantiles(known, n=4, method="inclusive") if len(known) > 1 else [known[0]] * 3
    return known[0], quartiles[0], statistics.median(known), quartiles[2], known[-1]


def latency_gap(latency):
    """(median of the program's frame times minus median of the do-nothing runs, the median of the
    differences within each pair); None for what cannot be told."""
    ours, theirs = latency.get("parvolet_seconds") or [], latency.get("noop_seconds") or []
    ours_med, theirs_med = _median(ours), _median(theirs)
    gap = None if ours_med is None or theirs_med is None else ours_med - theirs_med
    pairs = [a - b for a, b in zip(ours, theirs) if a is not None and b is not None]
    return gap, (statistics.median(pairs) if pairs else None)


def evaluate(results):
    """The verdict on each target: a list of (name, met or None when unmeasured, detail)."""
    verdicts = []
    sizes = sorted(results["sizes"], key=lambda s: s["size"])
    startup = _median(results["startup"]["seconds"])
    baseline_kib = _peak(results["startup"]["peak_kib"])
    if sizes:
        big = sizes[-1]
        phase = transfer_phase(_median(big["parvolet"]["seconds"]), startup)
        ours = _rate(big["payload_length"], phase)
        theirs = _rate(big["framed_length"], _median(big["netcat"]["seconds"]))
        if ours and theirs:
            ratio = ours / theirs
            verdicts.append(("Transfer of %s: parvolet >= %.1f x netcat" % (human_size(big["size"]), TRANSFER_RATIO),
                             ratio >= TRANSFER_RATIO,
                             "%.0f MiB/s vs %.0f MiB/s: %.2f x" % (ours, theirs, ratio)))
        else:
            verdicts.append(("Transfer of %s" % human_size(big["size"]), None, "not measured"))
        loader = _rate(big["size"], _median(big["loader"]["seconds"]))
        cat = _rate(big["size"], _median(big["cat"]["seconds"]))
        if loader and cat:
            ratio = loader / cat
            verdicts.append(("Loading %s: loader >= %.1f x cat" % (human_size(big["size"]), LOADING_RATIO),
                             ratio >= LOADING_RATIO,
                             "%.0f MiB/s vs %.0f MiB/s: %.2f x" % (loader, cat, ratio)))
        else:
            verdicts.append(("Loading %s" % human_size(big["size"]), None, "not measured"))
        by_size = {s["size"]: s for s in sizes}
        if (1 << 30) in by_size and (256 << 20) in by_size:
            big_t = _median(by_size[1 << 30]["loader"]["seconds"])
            small_t = _median(by_size[256 << 20]["loader"]["seconds"])
            if big_t and small_t:
                ratio = big_t / small_t
                verdicts.append(("Loading is linear: t(1 GiB) <= %.1f x t(256 MiB)" % LINEARITY_LIMIT,
                                 ratio <= LINEARITY_LIMIT, "%.3f s vs %.3f s: %.2f x" % (big_t, small_t, ratio)))
    for entry in sizes:
        peak = _peak(entry["parvolet"]["peak_kib"])
        if peak is None or baseline_kib is None:
            verdicts.append(("Memory at %s" % human_size(entry["size"]), None, "not measured"))
            continue
        limit_kib = (entry["payload_length"] + MEMORY_SLACK) / 1024.0 + baseline_kib
        verdicts.append(("Memory at %s: peak <= payload + baseline + 32 MiB" % human_size(entry["size"]),
                         peak <= limit_kib,
                         "%.1f MiB vs limit %.1f MiB (%+.1f MiB)" % (peak / 1024.0, limit_kib / 1024.0,
                                                                     (peak - limit_kib) / 1024.0)))
    latency = results.get("latency")
    if latency:
        name = "Latency at %s: frame at the receiver <= do-nothing program's run + %.0f ms" % (
            human_size(latency["size"]), LATENCY_ALLOWANCE * 1000)
        gap, paired = latency_gap(latency)
        if gap is None:
            verdicts.append((name, None, "not measured"))
        else:
            verdicts.append((name, gap <= LATENCY_ALLOWANCE + 1e-9,
                             "medians %.0f ms vs %.0f ms: %+.0f ms (within pairs %+.0f ms)" % (
                                 _median(latency["parvolet_seconds"]) * 1000,
                                 _median(latency["noop_seconds"]) * 1000, gap * 1000, paired * 1000)))
    too_large = results.get("too_large")
    if too_large:
        verdicts.append(("A file at the size limit gives the \"too large\" message",
                         too_large.get("met"), too_large.get("outcome", "not measured")))
    return verdicts


def _row(cells):
    return "| " + " | ".join(cells) + " |"


def markdown(results):
    env = results["environment"]
    runs = results["runs"]
    startup_min, startup_med = summarize(results["startup"]["seconds"])
    baseline_kib = _peak(results["startup"]["peak_kib"])
    lines = ["# Benchmark results", "",
             "Machine: %s, %s cores, %s RAM; %s; %s." % (env["cpu"], env["cores"], env["ram"], env["wine"],
                                                      env["kernel"]),
             "Build: %s." % env.get("build", "32-bit (i686) parvolet.exe under wine32"),
             "Date: %s. Load average before: %s; after: %s." % (env["date"], env["load_before"],
                                                              env.get("load_after", "-")),
             "Each figure is the minimum and the median of %d runs (min / median). Made by "
             "`bash bench/run.sh`; the raw figures are in results.json." % runs, "",
             "Method: the payloads are text files with CR LF line ends, read from the page cache. The "
             "test receiver on 127.0.0.1 greets every connection with its 4 bytes and checks the frame. "
             "parvolet.exe reads the greeting before it sends, as its protocol requires; `nc -N` starts "
             "sending at once and copies the greeting to /dev/null, so neither waits on the other. Both "
             "send the same 20 + L bytes: nc's frame (client id, {1, L}, the translated bytes, {0, 0}) is "
             "written once beforehand and not timed. The timed runs alternate parvolet and nc on a "
             "receiver without digest (its SHA-256 would be the slowest part); one earlier run of each "
             "against a digesting receiver checks that the bytes are exactly the translated file. nc "
             "needs no start-up to be subtracted (about 1 ms). The program is answered through the "
             "dialog driver: OK is pressed once the success texts show.", "",
             "Wine start-up of a do-nothing program (same system libraries): %s / %s s; its peak "
             "resident memory %s MiB (the baseline below)." % (_fmt_seconds(startup_min), _fmt_seconds(startup_med),
                                                              _fmt_mib(baseline_kib)), ""]
    latency = results.get("latency")
    if latency:
        lines += ["## Latency of a small file", "",
                  "The %s file from process start until the receiver holds its whole frame, against the "
                  "do-nothing program from process start to exit: %d pairs on the same warm Wine server, "
                  "one right after the other, the order inside a pair alternating. All in ms; the "
                  "quartiles show how noisy the machine was." % (human_size(latency["size"]),
                                                                len(latency["noop_seconds"])), "",
                  _row(["Program", "runs", "min", "lower quartile", "median", "upper quartile", "max"]),
                  _row(["---"] * 7)]
        for label, key in (("parvolet.exe, frame at the receiver", "parvolet_seconds"),
                           ("do-nothing program, exit", "noop_seconds")):
            spread = _spread(latency[key])
            known = len([v for v in latency[key] if v is not None])
            lines.append(_row([label, str(known)] + (["%.0f" % (v * 1000) for v in spread] if spread else ["-"] * 5)))
        gap, paired = latency_gap(latency)
        lines += ["", "Difference of the medians: %s ms; median of the differences within each pair: %s ms." % (
            "-" if gap is None else "%+.0f" % (gap * 1000), "-" if paired is None else "%+.0f" % (paired * 1000)), ""]
    lines += ["## Transfer", "",
              "parvolet: from process start until the receiver holds the whole frame (file loading, "
              "dialog, connection, greeting, sending). Phase: that minus the median Wine start-up "
              "(min and median alike). "
              "netcat: `nc -N` sending the same frame, prepared beforehand, from a file. Wire: the "
              "receiver's own time from accepting the connection until the client closed it. Rates "
              "are from the medians.", "",
              _row(["Size", "L (bytes)", "parvolet total s", "parvolet phase s", "parvolet wire s",
                    "parvolet MiB/s", "netcat s", "netcat wire s", "netcat MiB/s", "ratio", "bytes checked"]),
              _row(["---"] * 11)]
    for entry in sorted(results["sizes"], key=lambda s: s["size"]):
        ours_t, theirs_t = entry["parvolet"], entry["netcat"]
        p_min, p_med = summarize(ours_t["seconds"])
        phase_min, phase_med = transfer_phase(p_min, startup_med), transfer_phase(p_med, startup_med)
        ours, theirs = _rate(entry["payload_length"], phase_med), _rate(entry["framed_length"],
                                                                         _median(theirs_t["seconds"]))
        checked = "-" if "verified" not in ours_t else (
            "yes" if ours_t["verified"] and theirs_t.get("verified") else "**no**")
        lines.append(_row([human_size(entry["size"]), str(entry["payload_length"]), _pair(ours_t["seconds"]),
                           "%s / %s" % (_fmt_seconds(phase_min), _fmt_seconds(phase_med)),
                           _pair(ours_t.get("wire_seconds")), _fmt_rate(ours), _pair(theirs_t["seconds"]),
                           _pair(theirs_t.get("wire_seconds")), _fmt_rate(theirs),
                           "-" if not (ours and theirs) else "%.2f" % (ours / theirs), checked]))
    lines += ["", "## Loading", "",
              "The real payload loader in a native program (time of the load call), against "
              "`cat FILE >/dev/null` (whole process), both from the page cache. Memory floor: the same "
              "program only writing fresh memory of the file's size, which any loader that holds the "
              "payload must at least do.", "",
              _row(["Size", "loader s", "loader MiB/s", "cat s", "cat MiB/s", "ratio", "memory floor s"]),
              _row(["---"] * 7)]
    for entry in sorted(results["sizes"], key=lambda s: s["size"]):
        ours = _rate(entry["size"], _median(entry["loader"]["seconds"]))
        theirs = _rate(entry["size"], _median(entry["cat"]["seconds"]))
        lines.append(_row([human_size(entry["size"]), _pair(entry["loader"]["seconds"]), _fmt_rate(ours),
                           _pair(entry["cat"]["seconds"]), _fmt_rate(theirs),
                           "-" if not (ours and theirs) else "%.2f" % (ours / theirs),
                           _pair(entry.get("touch", {}).get("seconds"))]))
    lines += ["", "## Memory", "",
              "Peak resident memory (VmHWM) of the process that ran parvolet.exe under Wine, read from "
              "/proc once the success texts show, just before OK; beside it the ended process's "
              "ru_maxrss (which also counts the Python process it was forked from, about 20 MiB). The "
              "baseline is the do-nothing program's VmHWM, read while it holds; the limit is "
              "L + baseline + 32 MiB.", "",
              _row(["Size", "L MiB", "parvolet peak MiB (min / max)", "ru_maxrss MiB (max)", "limit MiB",
                    "loader bench peak MiB"]), _row(["---"] * 6)]
    for entry in sorted(results["sizes"], key=lambda s: s["size"]):
        peaks = [k for k in entry["parvolet"]["peak_kib"] if k is not None]
        limit = "-" if baseline_kib is None else _fmt_mib((entry["payload_length"] + MEMORY_SLACK) / 1024.0
                                                          + baseline_kib)
        lines.append(_row([human_size(entry["size"]), "%.1f" % (entry["payload_length"] / MIB),
                           "%s / %s" % (_fmt_mib(min(peaks)), _fmt_mib(max(peaks))) if peaks else "-",
                           _fmt_mib(_peak(entry["parvolet"].get("rusage_kib"))), limit,
                           _fmt_mib(_peak(entry["loader"].get("peak_kib")))]))
    lines += ["", "## Targets", "", _row(["Target", "Met", "Figures"]), _row(["---"] * 3)]
    for name, met, detail in evaluate(results):
        lines.append(_row([name, {True: "yes", False: "**no**", None: "-"}[met], detail]))
    for note in results.get("notes", []):
        lines += ["", note]
    lines.append("")
    return "\n".join(lines)


def plot(results, directory):
    """transfer.png, loading.png and memory.png, each only when it has figures; returns the files."""
    import matplotlib
    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    sizes = sorted(results["sizes"], key=lambda s: s["size"])
    xs = [s["size"] / MIB for s in sizes]  # MiB, labelled with the sizes themselves
    startup = _median(results["startup"]["seconds"])
    written = []

    def chart(name, title, ylabel, curves, lines=()):
        """curves: (values per size, style, label); failed runs leave gaps. lines: (y, label)."""
        curves = [(ys, style, label) for ys, style, label in curves if any(y for y in ys)]
        if not curves:
            return
        fig, ax = plt.subplots(figsize=(7, 4.5))
        for ys, style, label in curves:
            points = [(x, y) for x, y in zip(xs, ys) if y]
            ax.plot([p[0] for p in points], [p[1] for p in points], style, label=label)
        for y, label in lines:
            if y:
                ax.axhline(y, color="grey", linestyle=":", label=label)
        ax.set_xscale("log", base=2)
        ax.set_xticks(xs, [human_size(s["size"]) for s in sizes])
        ax.minorticks_off()
        ax.set_yscale("log")
        ax.set_title(title)
        ax.set_xlabel("payload file size")
        ax.set_ylabel(ylabel)
        ax.grid(True, which="both", alpha=0.3)
        ax.legend()
        path = os.path.join(directory, name)
        fig.tight_layout()
        fig.savefig(path, dpi=110)
        plt.close(fig)
        written.append(path)

    totals = [_median(s["parvolet"]["seconds"]) for s in sizes]
    chart("transfer.png", "Sending one file to the receiver on loopback (median)", "seconds",
          [(totals, "o-", "parvolet under Wine, total"),
           ([transfer_phase(t, startup) for t in totals], "o--", "parvolet minus Wine start-up"),
           ([_median(s["netcat"]["seconds"]) for s in sizes], "s-", "nc -N")],
          [(startup, "Wine start-up, do-nothing program")])
    chart("loading.png", "Loading the file (median)", "seconds",
          [([_median(s["loader"]["seconds"]) for s in sizes], "o-", "payload loader"),
           ([_median(s["cat"]["seconds"]) for s in sizes], "s-", "cat FILE >/dev/null"),
           ([_median(s.get("touch", {}).get("seconds")) for s in sizes], "^:", "writing fresh memory of that size")])
    baseline_kib = _peak(results["startup"]["peak_kib"])
    peaks = [_peak(s["parvolet"]["peak_kib"]) for s in sizes]
    limits = [None if baseline_kib is None else (s["payload_length"] + MEMORY_SLACK) / MIB + baseline_kib / 1024.0
              for s in sizes]
    if any(peaks):
        chart("memory.png", "Peak resident memory against payload size", "MiB",
              [([None if p is None else p / 1024.0 for p in peaks], "o-", "parvolet under Wine, peak resident"),
               (limits, "k--", "limit: L + baseline + 32 MiB"),
               ([s["payload_length"] / MIB for s in sizes], ":", "payload L")],
              [(None if baseline_kib is None else baseline_kib / 1024.0, "do-nothing program under Wine")])
    return written


def write(results, directory):
    os.makedirs(directory, exist_ok=True)
    with open(os.path.join(directory, "results.json"), "w") as f:
        json.dump(results, f, indent=1, sort_keys=True)
    with open(os.path.join(directory, "README.md"), "w") as f:
        f.write(markdown(results))
    return plot(results, directory)


if __name__ == "__main__":
    import sys
    target = sys.argv[1] if len(sys.argv) > 1 else os.path.join(os.path.dirname(__file__), "results")
    with open(os.path.join(target, "results.json")) as f:
        write(json.load(f), target)
