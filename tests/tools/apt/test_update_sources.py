"""The package set-up against a mirror caught mid-sync: a repository on loopback whose Release file
names an index of another size than the one it serves, read through an apt configuration of the
test's own (APT_CONFIG: its own sources, lists, caches and dpkg status), so the machine's apt
configuration is never read or changed.

The repository has three suites: "good" (one-line sources.list), and "sync" and "extra" in one
deb822 paragraph, so a failing suite must be cut out of a paragraph that keeps its other one.
"""

import hashlib
import http.server
import os
import subprocess
import sys
import tempfile
import threading
import unittest

HERE = os.path.dirname(os.path.abspath(__file__))
SCRIPT = os.path.join(HERE, "..", "..", "..", "tools", "apt", "update-sources.py")


def packages_index(name):
    return ("Package: %s\nVersion: 1.0\nArchitecture: amd64\nMaintainer: Test <test@invalid>\n"
            "Filename: pool/%s_1.0_amd64.deb\nSize: 1000\nSHA256: %s\nDescription: probe\n\n"
            % (name, name, "0" * 64)).encode()


class Mirror:
    """The repository's files, served on loopback; a syncing suite's index is served wrong for its
    first `bad_fetches` requests (all of them when None), as a mirror mid-sync serves it."""

    def __init__(self, bad_fetches):
        self.bad_fetches = bad_fetches
        self.index_fetches = 0
        self.files = {}
        for suite, package in (("good", "probe-good"), ("sync", "probe-sync"), ("extra", "probe-extra")):
            index = packages_index(package)
            path = "dists/%s/main/binary-amd64/Packages" % suite
            self.files[path] = index
            release = ("Suite: %s\nCodename: %s\nDate: Wed, 09 Dec 2026 00:00:00 UTC\nComponents: main\nArchitectures: amd64\nSHA256:\n %s %d main/binary-amd64/Packages\n"
                       % (suite, suite, hashlib.sha256(index).hexdigest(), len(index)))
            self.files["dists/%s/Release" % suite] = release.encode()
        mirror = self

        class Handler(http.server.BaseHTTPRequestHandler):
            def do_GET(self):
                path = self.path.lstrip("/")
                body = mirror.files.get(path)
                if path == "dists/sync/main/binary-amd64/Packages":
                    mirror.index_fetches += 1
                    if mirror.bad_fetches is None or mirror.index_fetches <= mirror.bad_fetches:
                        body = body[:-20]  # the old, shorter index the Release file no longer describes
                if body is None:
                    self.send_error(404)
                    return
                self.send_response(200)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.url = "http://127.0.0.1:%d/" % self.server.server_address[1]
        self.thread = threading.Thread(target=self.server.serve_forever, daemon=True)
        self.thread.start()

    def stop(self):
        self.server.shutdown()
        self.server.server_close()


class UpdateSourcesTest(unittest.TestCase):
    def start(self, bad_fetches):
        self.mirror = Mirror(bad_fetches)
        self.addCleanup(self.mirror.stop)
        self.dir = tempfile.TemporaryDirectory(prefix="apt-sync-")
        self.addCleanup(self.dir.cleanup)
        d = self.dir.name
        for sub in ("etc/sources.list.d", "etc/apt.conf.d", "etc/preferences.d", "etc/trusted.gpg.d",
                    "state/lists/partial", "cache/archives/partial", "log", "work"):
            os.makedirs(os.path.join(d, sub))
        open(os.path.join(d, "status"), "w").close()
        with open(os.path.join(d, "etc", "sources.list"), "w") as f:
            f.write("# the suite that always updates\ndeb [trusted=yes] %s good main\n" % self.mirror.url)
        with open(os.path.join(d, "etc", "sources.list.d", "more.sources"), "w") as f:
            f.write("Types: deb\nURIs: %s\nSuites: sync extra\nComponents: main\nTrusted: yes\n" % self.mirror.url)
        config = os.path.join(d, "apt.conf")
        with open(config, "w") as f:
            f.write('Dir::Etc "%(d)s/etc";\nDir::Etc::parts "%(d)s/etc/apt.conf.d";\nDir::State "%(d)s/state";\n'
                    'Dir::State::status "%(d)s/status";\nDir::Cache "%(d)s/cache";\nDir::Log "%(d)s/log";\n'
                    'APT::Architecture "amd64";\nAPT::Architectures { "amd64"; };\nAcquire::Languages "none";\n'
                    'APT::Sandbox::User "root";\nAcquire::Retries "0";\n' % {"d": d})
        self.env = dict(os.environ, APT_CONFIG=config)

    def update(self, *packages):
        return subprocess.run([sys.executable, SCRIPT, "--tries", "2", "--pause", "0.1",
                               "--work", os.path.join(self.dir.name, "work"), "--simulate", *packages],
                              env=self.env, capture_output=True, text=True, timeout=300)

    def installable(self, options, package):
        return subprocess.run("apt-get install -s -q %s %s" % (options, package), shell=True, env=self.env,
                              capture_output=True, text=True, timeout=120).returncode == 0

    def test_a_source_that_stays_broken_is_left_out_with_a_warning(self):
        self.start(bad_fetches=None)
        run = self.update("probe-good")
        self.assertEqual(run.returncode, 0, run.stderr)
        warning = [line for line in run.stderr.splitlines() if "WARNING" in line]
        self.assertEqual(len(warning), 1, run.stderr)
        self.assertIn(self.mirror.url + " sync", warning[0])
        self.assertNotIn(" good ", warning[0].replace(self.mirror.url + " sync", ""))
        self.assertEqual(self.mirror.index_fetches, 2, "each try fetches the failing index again")
        options = run.stdout.strip()
        self.assertTrue(options)
        # The install with those options sees the healthy suites, the other suite of the cut
        # paragraph included, and not the failing one.
        self.assertTrue(self.installable(options, "probe-good"))
        self.assertTrue(self.installable(options, "probe-extra"))
        self.assertFalse(self.installable(options, "probe-sync"))
        with open(os.path.join(self.dir.name, "etc", "sources.list.d", "more.sources")) as f:
            self.assertIn("Suites: sync extra", f.read(), "the configured sources stay as they were")

    def test_packages_that_only_the_broken_source_has_stop_the_install(self):
        self.start(bad_fetches=None)
        run = self.update("probe-good", "probe-sync")
        self.assertEqual(run.returncode, 1)
        self.assertEqual(run.stdout, "")
        message = run.stderr.splitlines()[-1]
        self.assertIn("cannot be installed without the failing sources", message)
        self.assertIn(self.mirror.url + " sync", message)
        self.assertIn("finished syncing", message)

    def test_a_mirror_that_settles_between_tries_needs_no_workaround(self):
        self.start(bad_fetches=1)
        run = self.update("probe-sync")
        self.assertEqual(run.returncode, 0, run.stderr)
        self.assertEqual(run.stdout.strip(), "")
        self.assertNotIn("WARNING", run.stderr)
        self.assertIn("try 1 of 2", run.stderr)


if __name__ == "__main__":
    unittest.main()
