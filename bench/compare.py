# Two builds of parvolet.exe against each other on the wire figure: the runs alternate between
# them on one receiver, one Wine server and one dialog driver, so both meet the same machine load.
# Writes compare.json and compare.md to the results folder; the parts come from bench.py.
import argparse
import json
import os
import shutil
import statistics
import subprocess
import sys
import time

import bench
import measure
import payloads


def median(values):
    values = [v for v in values if v is not None]
    return statistics.median(values) if values else None


def wire_runs(values):
    """Each run's wire seconds in a row, "-" for a run that failed."""
    return " ".join("-" if v is None else "%.4f" % v for v in values)


def copy_programs(work, stem, programs):
    """Each (name, exe) copied as parvolet.exe into a folder of its own under work: {name: folder}."""
    folders = {}
    for name, exe in programs:
        folder = os.path.join(work, stem + name)
        os.makedirs(folder, exist_ok=True)
        shutil.copy2(exe, os.path.join(folder, "parvolet.exe"))
        folders[name] = folder
    return folders


def report_head(title, env, script, raw):
    """A report's first lines: its title, the machine, the date and load, and what made it."""
    return ["# " + title, "",
            "Machine: %s, %s cores, %s; %s; %s." % (env["cpu"], env["cores"], env["ram"], env["wine"], env["kernel"]),
            "Date: %s. Load average before: %s; after: %s." % (env["date"], env["load_before"], env["load_after"]),
            "Made by `bench/%s`; the raw figures are in %s." % (script, raw), ""]


def write_results(folder, stem, results, report):
    """The raw figures as STEM.json and report(results) as STEM.md in folder, with the load after
    the run."""
    results["environment"]["load_after"] = "%.2f %.2f %.2f" % os.getloadavg()
    os.makedirs(folder, exist_ok=True)
    with open(os.path.join(folder, stem + ".json"), "w") as f:
        json.dump(results, f, indent=1)
    with open(os.path.join(folder, stem + ".md"), "w") as f:
        f.write(report(results))


def report_text(lines, notes):
    """The report's lines and then its notes, each a paragraph of its own."""
    for note in notes:
        lines += ["", note]
    return "\n".join(lines) + "\n"


def build_arguments(description, before_help):
    """A parser with the options of a run of two builds in one Wine session; absolute_paths
    completes what it parsed."""
    parser = argparse.ArgumentParser(description=description)
    parser.add_argument("--native-build", required=True)
    parser.add_argument("--win-build", required=True, help="gives the Wine prefix, wine-run and dlgdrive")
    parser.add_argument("--before", required=True, help=before_help)
    parser.add_argument("--after", required=True)
    parser.add_argument("--display", default=os.environ.get("DISPLAY", ""))
    parser.add_argument("--timeout", type=float, default=120.0)
    parser.add_argument("--work", default=os.path.join(bench.HERE, "work"))
    parser.add_argument("--results", default=os.path.join(bench.HERE, "results"))
    parser.add_argument("--keep-files", action="store_true")
    return parser


def absolute_paths(options):
    for name in ("native_build", "win_build", "work", "results", "before", "after"):
        setattr(options, name, os.path.abspath(getattr(options, name)))


class Comparison:
    def __init__(self, options):
        self.options = options
        self.bench = bench.Bench(options)
        self.programs = copy_programs(self.bench.work, "compare-", (("before", options.before), ("after", options.after)))

    def use(self, name, port):
        self.bench.program_dir = self.programs[name]
        self.bench.program = os.path.join(self.programs[name], "parvolet.exe")
        self.bench.write_profile(port)

    def run_one(self, name, receiver, payload, entry):
        self.use(name, receiver.port)
        figures = self.bench.run_parvolet(receiver, payload)
        entry[name]["seconds"].append(figures["seconds"])
        entry[name]["wire_seconds"].append(figures["wire_seconds"])
        return not figures.get("failed")

    def measure_size(self, size):
        b = self.bench
        payload = payloads.Payload(b.work, size, bench.CLIENT_ID).ensure()
        subprocess.run(["cat", payload.path], stdout=subprocess.DEVNULL, check=True)
        entry = {"size": size, "payload_length": payload.payload_length,
                 "before": {"seconds": [], "wire_seconds": []}, "after": {"seconds": [], "wire_seconds": []},
                 "load_before": "%.2f %.2f %.2f" % os.getloadavg()}
        # One run of each against a digesting receiver proves both send exactly the translated file.
        with measure.Receiver(b.receiver, 2, int(self.options.timeout) * 2) as receiver:
            for name in ("before", "after"):
                self.use(name, receiver.port)
                entry[name]["verified"] = b.run_parvolet(receiver, payload)["seconds"] is not None
        pairs = self.options.pairs
        with measure.Receiver(b.receiver, 2 * pairs, int(self.options.timeout) * 2 * pairs,
                              ["--digest", "none"]) as receiver:
            for i in range(pairs):
                order = ("before", "after") if i % 2 == 0 else ("after", "before")
                if not all(self.run_one(name, receiver, payload, entry) for name in order):
                    break  # the receiver's next record could belong to the failed run
        entry["load_after"] = "%.2f %.2f %.2f" % os.getloadavg()
        if not self.options.keep_files:
            payload.remove()
        bench.log("%s: wire median before %.4f s, after %.4f s" % (
            payloads.human_size(size), median(entry["before"]["wire_seconds"]) or 0,
            median(entry["after"]["wire_seconds"]) or 0))
        return entry

    def run(self):
        results = {"environment": bench.environment(bench.tree_width(self.options.win_build)), "pairs": self.options.pairs,
                   "before": self.options.before, "after": self.options.after, "notes": self.bench.notes,
                   "program_environment": self.options.environment}
        os.environ["DISPLAY"] = self.options.display
        # Both builds run with the same staging (the test build reads it at its first use).
        os.environ.update(self.options.environment)
        b = self.bench
        b.wine = bench.WineSession(self.options.win_build, self.options.display)
        try:
            b.driver = bench.DialogDriver(self.options.win_build, b.dlgdrive, b.work)
            results["sizes"] = [self.measure_size(size) for size in self.options.sizes]
        finally:
            if b.driver:
                b.driver.close()
            b.wine.stop()
        write_results(self.options.results, "compare", results, report)


def report(results):
    env = results["environment"]
    lines = report_head("Two builds compared on the wire figure", env, "compare.py", "compare.json") + [
        "Wire: the receiver's own time from accepting the connection until the client closed it; total: from "
        "process start until the receiver holds the whole frame. The runs alternate between the two builds "
        "(%d pairs per size, the order inside a pair alternating) against one receiver without digest; one "
        "earlier run of each against a digesting receiver checks the bytes. Medians; rates from the wire "
        "medians." % results["pairs"], "",
        "Both builds ran with: %s." % (", ".join("%s=%s" % item for item in sorted(
            results.get("program_environment", {}).items())) or "no added environment"), "",
        "| Size | runs (before / after) | wire s before | wire s after | wire MiB/s before | wire MiB/s after "
        "| change of the wire figure | total s before | total s after | bytes checked | load during |",
        "| --- | --- | --- | --- | --- | --- | --- | --- | --- | --- | --- |",
    ]
    for entry in results["sizes"]:
        framed = entry["payload_length"] + 20
        wire = {k: median(entry[k]["wire_seconds"]) for k in ("before", "after")}
        total = {k: median(entry[k]["seconds"]) for k in ("before", "after")}
        rate = {k: framed / wire[k] / (1 << 20) if wire[k] else None for k in wire}
        change = (rate["after"] / rate["before"] - 1) * 100 if rate["before"] and rate["after"] else None
        counted = {k: len([v for v in entry[k]["wire_seconds"] if v is not None]) for k in wire}
        checked = "yes" if entry["before"].get("verified") and entry["after"].get("verified") else "no"
        lines.append("| %s | %d / %d | %.4f | %.4f | %.0f | %.0f | %+.1f %% | %.3f | %.3f | %s | %s to %s |" % (
            payloads.human_size(entry["size"]), counted["before"], counted["after"], wire["before"] or 0,
            wire["after"] or 0, rate["before"] or 0, rate["after"] or 0, change or 0, total["before"] or 0,
            total["after"] or 0, checked, entry["load_before"], entry["load_after"]))
    lines.append("")
    lines.append("Each run's wire seconds (before; after):")
    lines.append("")
    for entry in results["sizes"]:
        lines.append("- %s: %s; %s" % (payloads.human_size(entry["size"]), wire_runs(entry["before"]["wire_seconds"]),
                                      wire_runs(entry["after"]["wire_seconds"])))
    return report_text(lines, results["notes"])


def main(argv):
    parser = build_arguments(__doc__, "the build to compare against")
    parser.add_argument("--sizes", default="256M,1G",
                        type=lambda text: [payloads.parse_size(s) for s in text.split(",") if s])
    parser.add_argument("--pairs", type=int, default=5)
    parser.add_argument("--environment", action="append", default=[], metavar="NAME=VALUE",
                        help="a variable both builds run with (such as a test build's staging); repeatable")
    options = parser.parse_args(argv)
    options.runs = options.pairs
    options.environment = dict(item.split("=", 1) for item in options.environment)
    absolute_paths(options)
    Comparison(options).run()


if __name__ == "__main__":
    main(sys.argv[1:])
