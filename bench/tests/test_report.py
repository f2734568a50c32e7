# The verdicts decide what the report claims, so they are checked on figures whose answers are
# known; the writers must cope with failed runs (None) without losing the other figures.
import os
import tempfile
import unittest

import report

MIB = 1 << 20
GIB = 1 << 30


def entry(size, parvolet, netcat, loader, cat, peak_kib, length=None):
    length = size if length is None else length
    return {"size": size, "payload_length": length, "framed_length": length + 20,
            "parvolet": {"seconds": parvolet, "peak_kib": peak_kib, "rusage_kib": [None, 2048, 1024][:len(parvolet)]},
            "netcat": {"seconds": netcat},
            "loader": {"seconds": loader, "peak_kib": [2048] * len(loader)},
            "cat": {"seconds": cat}}


def results(sizes, startup=(0.1, 0.1, 0.1), baseline_kib=20 * 1024):
    return {"environment": {"cpu": "Test CPU", "cores": 2, "ram": "1 GiB", "wine": "wine-8.0",
                            "kernel": "Linux", "date": "today", "load_before": "0 0 0"},
            "runs": 3, "notes": ["A note."], "startup": {"seconds": list(startup), "peak_kib": [baseline_kib] * 3},
            "sizes": sizes, "too_large": {"met": True, "outcome": "message shown"}}


def verdicts(res):
    return {name.split(":")[0]: (met, detail) for name, met, detail in report.evaluate(res)}


class EvaluateTest(unittest.TestCase):
    def test_transfer_ratio_uses_the_phase_without_wine_start_up(self):
        # 1 GiB in 1.1 s total minus 0.1 s start-up is 1024 MiB/s; netcat's 2 s is 512 MiB/s.
        cases = (("met", [1.1, 1.1, 5.0], [2.0] * 3, True, "2.00 x"),
                 ("missed", [1.6] * 3, [2.0] * 3, False, "1.33 x"),
                 ("a failed run leaves the median of the rest", [None, 1.1, 1.1], [2.0] * 3, True, "2.00 x"),
                 ("start-up longer than the run", [0.05] * 3, [2.0] * 3, None, "not measured"))
        for name, ours, theirs, met, detail in cases:
            with self.subTest(name):
                big = entry(GIB, ours, theirs, [1.0] * 3, [0.5] * 3, [GIB // 1024])
                big["framed_length"] = GIB  # keep the figures round
                met_found, detail_found = verdicts(results([big]))["Transfer of 1 GiB"]
                self.assertEqual(met_found, met)
                self.assertIn(detail, detail_found)

    def test_loading_throughput_and_linearity(self):
        cases = (("both met", [0.9] * 3, [0.2] * 3, [0.5] * 3, True, True),
                 ("slow against cat", [2.5] * 3, [0.6] * 3, [0.5] * 3, False, True),
                 ("not linear", [0.9] * 3, [0.1] * 3, [0.5] * 3, True, False))
        for name, big_t, small_t, cat_t, fast, linear in cases:
            with self.subTest(name):
                found = verdicts(results([entry(256 * MIB, [1] * 3, [1] * 3, small_t, cat_t, [1]),
                                          entry(GIB, [1] * 3, [1] * 3, big_t, cat_t, [1])]))
                self.assertEqual(found["Loading 1 GiB"][0], fast)
                self.assertEqual(found["Loading is linear"][0], linear)

    def test_memory_limit_is_payload_plus_baseline_plus_slack(self):
        length = 100 * MIB
        limit_kib = (length + 32 * MIB) // 1024 + 20 * 1024
        for name, peaks, met in (("at the limit", [limit_kib] * 3, True),
                                 ("the worst run decides", [1024, 1024, limit_kib + 1], False),
                                 ("no figure", [None] * 3, None)):
            with self.subTest(name):
                found = verdicts(results([entry(128 * MIB, [1] * 3, [1] * 3, [1] * 3, [1] * 3, peaks, length)]))
                self.assertEqual(found["Memory at 128 MiB"][0], met)


class LatencyTest(unittest.TestCase):
    def test_frame_may_come_at_most_the_allowance_after_the_do_nothing_exit(self):
        noop = [0.10, 0.12, 0.11, 0.50]  # median 0.115 s
        cases = (("within, one slow run aside", [0.14, 0.14, 0.14, 0.9], True, "+25 ms"),
                 ("exactly the allowance", [0.145] * 4, True, "+30 ms"),
                 ("late", [0.16] * 4, False, "+45 ms"),
                 ("failed runs leave the median of the rest", [None, 0.14, 0.14, 0.14], True, "+25 ms"),
                 ("nothing arrived", [None] * 4, None, "not measured"))
        for name, ours, met, detail in cases:
            with self.subTest(name):
                res = results([])
                res["latency"] = {"size": MIB, "noop_seconds": noop, "parvolet_seconds": ours}
                found = verdicts(res)["Latency at 1 MiB"]
                self.assertEqual(found[0], met)
                self.assertIn(detail, found[1])

    def test_pairs_are_compared_run_by_run(self):
        # Load that slows both runs of a pair alike cancels out within the pair.
        gap, paired = report.latency_gap({"noop_seconds": [0.1, 0.3, 0.2, 0.9],
                                          "parvolet_seconds": [0.12, 0.32, None, 0.92]})
        self.assertAlmostEqual(paired, 0.02)
        self.assertAlmostEqual(gap, 0.32 - 0.25)

    def test_report_shows_both_spreads(self):
        res = results([])
        res["latency"] = {"size": MIB, "noop_seconds": [0.1, 0.2, 0.3], "parvolet_seconds": [0.15, None, 0.35]}
        text = report.markdown(res)
        self.assertIn("| parvolet.exe, frame at the receiver | 2 | 150 |", text)
        self.assertIn("| do-nothing program, exit | 3 | 100 |", text)
        self.assertIn("Difference of the medians: +50 ms; median of the differences within each pair: +50 ms.", text)


class WriteTest(unittest.TestCase):
    def test_writes_table_and_plots_even_with_failed_runs(self):
        res = results([entry(MIB, [0.3, None, 0.4], [0.01] * 3, [0.001] * 3, [0.001] * 3, [30000, None, 31000]),
                       entry(GIB, [None] * 3, [None] * 3, [1.0] * 3, [0.2] * 3, [None] * 3)])
        with tempfile.TemporaryDirectory() as directory:
            written = report.write(res, directory)
            self.assertEqual(sorted(os.path.basename(p) for p in written),
                             ["loading.png", "memory.png", "transfer.png"])
            for path in written:
                with open(path, "rb") as f:
                    self.assertEqual(f.read(8), b"\x89PNG\r\n\x1a\n")
            with open(os.path.join(directory, "README.md")) as f:
                text = f.read()
        self.assertIn("Test CPU, 2 cores, 1 GiB RAM; wine-8.0", text)
        self.assertIn("| 1 MiB | 1048576 | 0.300 / 0.350 | 0.200 / 0.250 |", text)  # phase: minus the median
        self.assertIn("| 1 GiB | 1073741824 | - / - |", text)
        self.assertIn("A note.", text)


if __name__ == "__main__":
    unittest.main()
