"""Connection figures: the small file's latency to a dotted IPv4 address for two builds of
parvolet.exe, in alternating pairs on one warm Wine server (an earlier build against this one);
and, on a test network of its own, the time from the first attempt to the connection for a name
with an IPv6 address whose packets are dropped and an IPv4 address that answers.

    python3 bench/connect_bench.py --native-build build/native --win-build build/win \\
        --before OLD/parvolet.exe [--pairs 15] [--connects 20]

Writes bench/results/connect-before-after.json and .md (the 64-bit tree: results/win64/). The
network part needs root (namespace_session); without it only the latency is measured."""

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

sys.path.insert(0, os.path.join(bench.HERE, "..", "tests", "e2e"))
import namespace_session  # noqa: E402

DUAL_HOSTS = namespace_session.LOOPBACK_HOSTS + "::1 dual.test\n127.0.0.1 dual.test\n"
DROP_IPV6 = ["cat >rules.nft <<'EOF'\ntable inet parvolet_bench {\n  chain input {\n"
             "    type filter hook input priority 0;\n    ip6 daddr ::1 meta l4proto tcp drop\n  }\n}\nEOF",
             "nft -f rules.nft"]

# Inside the namespaces: a listener for both families that accepts and closes, then the connect
# bench against the name; $1 the wine runner, $2 the bench program, $3 runs.
INNER = r"""
python3 - "$@" <<'PY'
import socket, subprocess, sys, threading
listener = socket.socket(socket.AF_INET6, socket.SOCK_STREAM)
listener.setsockopt(socket.IPPROTO_IPV6, socket.IPV6_V6ONLY, 0)
listener.bind(("::", 0))
listener.listen(64)
listener.settimeout(300)
port = listener.getsockname()[1]
def serve():
    try:
        while True:
            connection, _ = listener.accept()
            connection.close()
    except OSError:
        pass
threading.Thread(target=serve, daemon=True).start()
result = subprocess.run([sys.argv[1], sys.argv[2], "dual.test", str(port), sys.argv[3]], stdout=subprocess.PIPE,
                        stdin=subprocess.DEVNULL, timeout=600)
sys.stdout.write(result.stdout.decode("latin-1"))
sys.exit(result.returncode)
PY
"""


def latency_pairs(options, before):
    """Seconds from start until the receiver holds the frame, per build, in alternating pairs."""
    runner = bench.Bench(argparse.Namespace(work=options.work, win_build=options.win_build,
                                            native_build=options.native_build, timeout=120.0, keep_files=False,
                                            latency_runs=options.pairs, runs=1))
    after = runner.program
    before_copy = os.path.join(runner.program_dir, "before", "parvolet.exe")
    os.makedirs(os.path.dirname(before_copy), exist_ok=True)
    shutil.copy2(before, before_copy)
    os.environ["DISPLAY"] = options.display
    runner.wine = bench.WineSession(options.win_build, options.display)
    figures = {"size": bench.LATENCY_SIZE, "before_seconds": [], "after_seconds": []}
    try:
        runner.driver = bench.DialogDriver(options.win_build, runner.dlgdrive, runner.work)
        payload = payloads.Payload(runner.work, bench.LATENCY_SIZE, bench.CLIENT_ID).ensure()
        with measure.Receiver(runner.receiver, 2 * options.pairs, 120 * 2 * options.pairs,
                              ["--digest", "none"]) as receiver:
            for program in (after, before_copy):
                with open(os.path.join(os.path.dirname(program), "Parvolet.ini"), "w", newline="\r\n") as f:
                    f.write("[Network]\nServerAddress=127.0.0.1\nPort=%d\nClientID=%d\n" %
                            (receiver.port, bench.CLIENT_ID))
            for i in range(options.pairs):
                order = [("before", before_copy), ("after", after)]
                if i % 2:
                    order.reverse()
                for name, program in order:
                    runner.program = program
                    outcome = runner.run_parvolet(receiver, payload)
                    if outcome.get("failed"):
                        raise RuntimeError("the %s build's run failed" % name)
                    figures[name + "_seconds"].append(outcome["seconds"])
        payload.remove()
    finally:
        if runner.driver:
            runner.driver.close()
        runner.wine.stop()
    figures["notes"] = runner.notes
    return figures


def dual_stack_connects(options):
    """Milliseconds from the first attempt to the connection with IPv6 dropped, or None."""
    reason = namespace_session.unavailable_reason()
    if reason:
        return {"skipped": reason}
    program = os.path.join(options.win_build, "bench", "net_connect_bench.exe")
    network = namespace_session.Network(hosts=DUAL_HOSTS, setup=DROP_IPV6)
    status, output = namespace_session.run(network, ["bash", "-c", INNER, "-", os.path.join(options.win_build, "wine-run"),
                                                     program, str(options.connects)],
                                           os.path.join(options.win_build, "wine-run"), timeout=900)
    values = [float(line.split()[1]) for line in output.splitlines() if line.startswith("connect ")]
    failures = [line for line in output.splitlines() if line.startswith("failed ")]
    return {"status": status, "milliseconds": values, "failures": failures}


def summary(values):
    if not values:
        return "-"
    return "min %.3f, median %.3f, max %.3f" % (min(values), statistics.median(values), max(values))


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--native-build", required=True)
    parser.add_argument("--win-build", required=True)
    parser.add_argument("--before", required=True, help="the earlier build's parvolet.exe")
    parser.add_argument("--before-label", default="the earlier build", help="what the earlier build is")
    parser.add_argument("--display", default=os.environ.get("DISPLAY", ""))
    parser.add_argument("--pairs", type=int, default=15)
    parser.add_argument("--connects", type=int, default=20)
    parser.add_argument("--work", default=os.path.join(bench.HERE, "work"))
    parser.add_argument("--results", default=None)
    options = parser.parse_args(argv)
    for name in ("native_build", "win_build", "work", "before"):
        setattr(options, name, os.path.abspath(getattr(options, name)))
    width = bench.tree_width(options.win_build)
    results_dir = options.results or os.path.join(bench.HERE, "results", "win64" if width == 64 else "")
    results = {"environment": bench.environment(width)}
    results["latency"] = latency_pairs(options, options.before)
    results["dual_stack"] = dual_stack_connects(options)
    results["environment"]["load_after"] = "%.2f %.2f %.2f" % os.getloadavg()
    os.makedirs(results_dir, exist_ok=True)
    with open(os.path.join(results_dir, "connect-before-after.json"), "w") as f:
        json.dump(results, f, indent=1)
    latency = results["latency"]
    dual = results["dual_stack"]
    lines = [
        "# Connection figures (%s)" % results["environment"]["build"], "",
        "Measured %s on %s, %s cores; load %s before, %s after." % (
            results["environment"]["date"], results["environment"]["cpu"], results["environment"]["cores"],
            results["environment"]["load_before"], results["environment"]["load_after"]),
        "", "## Small file to a dotted IPv4 address, before and after", "",
        "A 1 MiB file from process start until the receiver holds its frame (seconds), %d pairs on one warm "
        "Wine server, the order inside a pair alternating. Before: %s; after: this tree." % (
            len(latency["after_seconds"]), options.before_label), "",
        "| build | min / median / max (s) |", "|---|---|",
        "| before | %s |" % summary(latency["before_seconds"]),
        "| after | %s |" % summary(latency["after_seconds"]), "",
        "Paired differences (after - before), median: %+.3f s." % statistics.median(
            [a - b for a, b in zip(latency["after_seconds"], latency["before_seconds"])]),
        "", "## Dual stack with IPv6 dropped", "",
    ]
    if "skipped" in dual:
        lines.append("Not measured: %s." % dual["skipped"])
    else:
        lines += ["A name with `::1` (first) and `127.0.0.1`, nftables dropping every TCP packet to `::1`, a "
                  "listener for both families; the time from the first attempt to the connection in the "
                  "transfer's connect (`bench/ConnectBench.cpp`), %d runs (ms): %s. Failures: %d." % (
                      len(dual["milliseconds"]), summary(dual["milliseconds"]), len(dual["failures"])),
                  "", "A single IPv6 attempt would have waited for the TCP time-out instead (21 s on Windows, "
                  "over two minutes on Linux)."]
    with open(os.path.join(results_dir, "connect-before-after.md"), "w") as f:
        f.write("\n".join(lines) + "\n")
    print("\n".join(lines))


if __name__ == "__main__":
    main(sys.argv[1:])
