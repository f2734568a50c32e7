# The 256 MiB wire figure through TLS: parvolet.exe with Tls=1 into stunnel in front of the
# receiver, against the same exe in plain TCP, the build before TLS in plain TCP (the plain path
# must not get slower), and socat OPENSSL: sending the same frame into the same front. The runs
# alternate on one receiver, one Wine server and one dialog driver. Writes tls.json and tls.md.
import os
import shutil
import socket
import subprocess
import sys
import tempfile

import bench
import measure
import payloads
from compare import (absolute_paths, build_arguments, copy_programs, median, report_head, report_text, wire_runs,
                     write_results)

sys.path.insert(0, os.path.join(bench.HERE, "..", "tests", "e2e"))
import tls_front  # noqa: E402
from harness import free_port  # noqa: E402

KINDS = ("plain-before", "plain", "tls", "socat")


class TlsBench:
    def __init__(self, options):
        self.options = options
        self.bench = bench.Bench(options)
        self.folders = copy_programs(self.bench.work, "tls-", (("plain-before", options.before),
                                                               ("plain", options.after), ("tls", options.after)))
        self.keys = tempfile.mkdtemp(prefix="parvolet-bench-tls-")
        self.cert, self.key = tls_front.TestCa(self.keys).self_signed("front", "front.invalid")
        self.pin = tls_front.public_key_pin(self.cert)

    def use(self, name, port):
        b = self.bench
        b.program_dir = self.folders[name]
        b.program = os.path.join(b.program_dir, "parvolet.exe")
        extra = "Tls=1\nTlsPin=%s\n" % self.pin if name == "tls" else ""
        with open(os.path.join(b.program_dir, "Parvolet.ini"), "w", newline="\r\n") as f:
            f.write("[Network]\nServerAddress=127.0.0.1\nPort=%d\nClientID=%d\n%s" % (port, bench.CLIENT_ID, extra))

    def run_socat(self, receiver, front, payload):
        # Both ways, the server's side to nowhere: one way (-u) never reads the greeting, and
        # closing with it unread resets the connection, so the front loses the frame's end.
        child = measure.Child(["socat", "-t", "30", "STDIO", "OPENSSL:127.0.0.1:%d,verify=0" % front.port],
                              stdin=payload.framed_path)
        try:
            record, arrived = receiver.next_connection(self.options.timeout)
            child.wait(self.options.timeout)
        finally:
            child.kill()
        return self.bench.outcome("socat", record, payload, arrived - child.start, {})

    def run_one(self, name, receiver, front, payload, entry):
        if name == "socat":
            figures = self.run_socat(receiver, front, payload)
        else:
            self.use(name, front.port if name == "tls" else receiver.port)
            figures = self.bench.run_parvolet(receiver, payload)
        entry[name]["seconds"].append(figures["seconds"])
        entry[name]["wire_seconds"].append(figures["wire_seconds"])
        return figures["seconds"] is not None

    def measure_size(self, size, digest):
        b = self.bench
        payload = payloads.Payload(b.work, size, bench.CLIENT_ID).ensure()
        subprocess.run(["cat", payload.path, payload.framed_path], stdout=subprocess.DEVNULL, check=True)
        entry = {"size": size, "payload_length": payload.payload_length, "digest": digest,
                 "load_before": "%.2f %.2f %.2f" % os.getloadavg()}
        for name in KINDS:
            entry[name] = {"seconds": [], "wire_seconds": []}
        rounds = self.options.rounds
        count = len(KINDS) * rounds
        extra = [] if digest else ["--digest", "none"]
        with measure.Receiver(b.receiver, count, int(self.options.timeout) * count, extra) as receiver:
            front = tls_front.StunnelFront(self.keys, self.cert, self.key, receiver.port, free_port(),
                                           options=("debug = 3",), lifetime_seconds=self.options.timeout * count)
            try:
                for i in range(rounds):
                    order = KINDS[i % len(KINDS):] + KINDS[:i % len(KINDS)]
                    if not all(self.run_one(name, receiver, front, payload, entry) for name in order):
                        break
            finally:
                front.stop()
        entry["load_after"] = "%.2f %.2f %.2f" % os.getloadavg()
        if not self.options.keep_files:
            payload.remove()
        bench.log("%s: wire medians %s" % (payloads.human_size(size), ", ".join(
            "%s %.4f s" % (name, median(entry[name]["wire_seconds"]) or 0) for name in KINDS)))
        return entry

    def run(self):
        results = {"environment": bench.environment(bench.tree_width(self.options.win_build)),
                   "rounds": self.options.rounds, "before": self.options.before, "after": self.options.after,
                   "notes": self.bench.notes}
        os.environ["DISPLAY"] = self.options.display
        b = self.bench
        b.wine = bench.WineSession(self.options.win_build, self.options.display)
        try:
            b.driver = bench.DialogDriver(self.options.win_build, b.dlgdrive, b.work)
            # One digesting round proves every kind sends exactly the frame; the timed ones do not digest.
            results["checked"] = self.measure_size(self.options.size, True)
            results["timed"] = self.measure_size(self.options.size, False)
        finally:
            if b.driver:
                b.driver.close()
            b.wine.stop()
            shutil.rmtree(self.keys, True)
        write_results(self.options.results, "tls", results, report)


def report(results):
    env = results["environment"]
    timed = results["timed"]
    checked = results["checked"]
    framed = timed["payload_length"] + 20
    lines = report_head("The wire figure through TLS", env, "tls_bench.py", "tls.json") + [
        "Wire: the receiver's own time from accepting its connection until the client's side closed. Through "
        "the front (tls, socat) the receiver's connection is stunnel's, made once the handshake is done: the "
        "figure covers encrypting, the front's decrypting and the close, not the handshake. plain-before is "
        "the build before TLS (%s), plain and tls the new build (%s); socat sends the same framed file with "
        "`socat -t 30 STDIO OPENSSL:127.0.0.1:port,verify=0` with the file as its input. The kinds alternate, the order rotating each "
        "round (%d rounds), against one receiver without digest; a first digesting round checked that every "
        "kind's bytes are exactly the frame. Medians; rates from the wire medians over the 20 + L bytes."
        % (results["before"], results["after"], results["rounds"]), "",
        "| Kind | runs | wire s (median) | wire MiB/s | total s (median, from process start) | bytes checked |",
        "| --- | --- | --- | --- | --- | --- |",
    ]
    for name in KINDS:
        wire = median(timed[name]["wire_seconds"])
        total = median(timed[name]["seconds"])
        ok = "yes" if any(v is not None for v in checked[name]["wire_seconds"]) else "no"
        lines.append("| %s | %d | %.4f | %.0f | %.3f | %s |" % (
            name, len([v for v in timed[name]["wire_seconds"] if v is not None]), wire or 0,
            framed / wire / (1 << 20) if wire else 0, total or 0, ok))
    lines += ["", "Size %s; load during the timed rounds %s to %s." % (
        payloads.human_size(timed["size"]), timed["load_before"], timed["load_after"]), "",
        "Each run's wire seconds:", ""]
    for name in KINDS:
        lines.append("- %s: %s" % (name, wire_runs(timed[name]["wire_seconds"])))
    return report_text(lines, results["notes"])


def main(argv):
    parser = build_arguments(__doc__, "the build before TLS")
    parser.add_argument("--size", default="256M", type=payloads.parse_size)
    parser.add_argument("--rounds", type=int, default=5)
    options = parser.parse_args(argv)
    options.runs = options.rounds
    absolute_paths(options)
    TlsBench(options).run()


if __name__ == "__main__":
    main(sys.argv[1:])
