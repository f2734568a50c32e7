# Which receiver records count as a delivered frame: a broken transfer must never be timed as a
# good one, and a record without a digest (the timed runs) must not be rejected for lacking it.
import unittest

import bench


class Payload:
    payload_length = 100
    sha256 = "ab" * 32


GOOD = {"client_id": bench.CLIENT_ID, "length": 100, "well_formed": True, "ended": "client-closed",
        "bytes_received": 120, "sha256": "ab" * 32, "seconds": 0.5}


class RecordProblemsTest(unittest.TestCase):
    def test_cases(self):
        def changed(**fields):
            record = dict(GOOD, **fields)
            return {k: v for k, v in record.items() if v is not None}
        cases = (("whole frame", GOOD, []),
                 ("no digest asked for", changed(sha256=None), []),
                 ("another client", changed(client_id=7), ["client_id"]),
                 ("cut short", changed(bytes_received=60, well_formed=False), ["well_formed", "bytes_received"]),
                 ("reset by the peer", changed(ended="reset"), ["ended"]),
                 ("other bytes", changed(sha256="cd" * 32), ["sha256"]),
                 ("length field missing", changed(length=None), ["length"]))
        for name, record, wrong in cases:
            with self.subTest(name):
                problems = bench.record_problems(record, Payload())
                self.assertEqual([p.split()[0] for p in problems], wrong)
        self.assertEqual(bench.record_problems(None, Payload()), ["the receiver ended early"])


if __name__ == "__main__":
    unittest.main()
