"""A whole Wine session on a test network of its own: network and mount namespaces made for one
test, in which every process of the test starts (its wineserver, its Xvfb, the program, dlgdrive
and the receiver).

Wine makes a program's sockets in its wineserver, so a server started outside would connect from
the outer network: the session uses the build tree's prefix through an overlay (its own copy as
far as Wine can tell, so its own server) and a fresh /tmp/.wine-UID, where a server running
outside for the same prefix is invisible. Everything made here goes when the session ends.

    network = Network(hosts="::1 six.test\\n", setup=["nft -f rules.nft"],
                      binds=[("/path/to/bundle.crt", "/etc/ssl/certs/ca-certificates.crt")])
    status, output = run(network, ["python3", "-m", "unittest", "module.Class.test"])

NamespacedTestCase runs each of its tests that way: the test process outside only starts the same
test inside the namespaces and reports what it did there.
"""

import os
import shlex
import shutil
import signal
import subprocess
import tempfile
import unittest

from harness import WAIT_SECONDS, ParvoletTestCase, stretched

# Set inside the namespaces, so a test knows it runs there.
INSIDE = "PARVOLET_INSIDE_NAMESPACE"

LOOPBACK_HOSTS = "127.0.0.1 localhost\n::1 localhost ip6-localhost ip6-loopback\n"


class Network:
    """What a test's namespaces hold.

    hosts: the text of /etc/hosts inside, the only names there are (no DNS is asked for them).
    setup: shell commands run as root inside, after lo is up and before the session starts: extra
        addresses, dummy interfaces, nftables rules.
    binds: (file, system file) pairs: each file is bind-mounted over the system file inside.
    """

    def __init__(self, hosts=LOOPBACK_HOSTS, setup=(), binds=()):
        self.hosts = hosts
        self.setup = list(setup)
        self.binds = list(binds)


def unavailable_reason():
    """Why no test network can be made here, or None."""
    if os.geteuid() != 0:
        return "test networks need root (unshare -n -m, mount, nft)"
    for tool in ("unshare", "ip", "nft", "mount", "Xvfb", "wineserver", "timeout"):
        if shutil.which(tool) is None:
            return "%s is not installed" % tool
    return None


def _tree_prefix(wine_run):
    """The build tree's prepared prefix (made first if need be), as its wine-env names it."""
    tree = os.path.dirname(wine_run)
    subprocess.run([os.path.join(tree, "prepare-prefix")], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, timeout=stretched(600), check=True)
    # The very prefix prepare-prefix just made: PARVOLET_WINEPREFIX moves it (the emulated PC's
    # session keeps it in the guest's image).
    out = subprocess.run(["bash", "-c", 'source "$1/wine-env" && printf %s "$WINEPREFIX"', "-", tree],
                         stdout=subprocess.PIPE, timeout=60, check=True)
    return out.stdout.decode()


# Runs as root inside the new namespaces: $1 the session folder, $2 the tree's prefix, then the
# command. The trap stops the session's wineserver and display on every way out.
_INNER = r"""
set -eu
dir="$1"; lower="$2"; shift 2
prefix="$dir/prefix"
xvfb=""
finish() {
  status=$?
  WINEPREFIX="$prefix" wineserver -k >/dev/null 2>&1 || true
  [ -n "$xvfb" ] && kill "$xvfb" 2>/dev/null && wait "$xvfb" 2>/dev/null
  exit $status
}
trap finish EXIT
ip link set lo up
mount --bind "$dir/hosts" /etc/hosts
while IFS= read -r -d '' source && IFS= read -r -d '' target; do
  mount --bind "$source" "$target"
done <"$dir/binds"
mkdir -p "$dir/upper" "$dir/work" "$prefix" "/tmp/.wine-$(id -u)"
mount -t overlay overlay -o "lowerdir=$lower,upperdir=$dir/upper,workdir=$dir/work" "$prefix"
mount -t tmpfs -o mode=700 tmpfs "/tmp/.wine-$(id -u)"
bash -eu "$dir/setup.sh"
# The display is the session's alone. An X server keeps its socket files in /tmp/.X11-unix and its
# lock in /tmp/.X<n>-lock, both shared with the host, while its abstract socket lives in this
# network namespace: one that took the number of a display outside (whose lock another had
# removed) replaced that display's socket file and removed it again on exit, and the 32-bit Wine
# sessions outside then found no display. So a folder of its own for the sockets, and no lock.
mkdir -p /tmp/.X11-unix
mount -t tmpfs -o mode=1777 tmpfs /tmp/.X11-unix
fifo="$dir/display"; mkfifo "$fifo"
Xvfb -displayfd 3 -nolock -nolisten tcp -screen 0 1024x768x24 3>"$fifo" >/dev/null 2>&1 &
xvfb=$!
read -r -t 30 num <"$fifo" || { echo "namespace session: Xvfb did not start" >&2; exit 125; }
export DISPLAY=":$num" PARVOLET_WINEPREFIX="$prefix" PARVOLET_INSIDE_NAMESPACE=1
unset PARVOLET_WINE_SERVICES_KEPT
timeout -k 10 "$PARVOLET_SESSION_SECONDS" "$@"
"""


def run(network, command, wine_run, cwd=None, timeout=900):
    """Runs command inside fresh namespaces holding network, with a Wine session of its own for
    the tree of wine_run. (exit status, stdout and stderr together). Bounded by timeout seconds."""
    lower = _tree_prefix(wine_run)
    folder = tempfile.mkdtemp(prefix="parvolet-netns-")
    try:
        with open(os.path.join(folder, "hosts"), "w") as f:
            f.write(network.hosts)
        with open(os.path.join(folder, "binds"), "wb") as f:
            for source, target in network.binds:
                f.write(os.fsencode(source) + b"\0" + os.fsencode(target) + b"\0")
        with open(os.path.join(folder, "setup.sh"), "w") as f:
            f.write("cd %s\n" % shlex.quote(folder))
            f.write("".join(line + "\n" for line in network.setup))
        env = dict(os.environ)
        env.pop("DISPLAY", None)
        env["PARVOLET_SESSION_SECONDS"] = str(int(timeout))
        process = subprocess.Popen(["unshare", "--net", "--mount", "--propagation", "private", "bash", "-c", _INNER,
                                    "-", folder, lower] + list(command),
                                   cwd=cwd, env=env, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        try:
            output, _ = process.communicate(timeout=timeout + 60)
        except subprocess.TimeoutExpired:
            # The inner time-out should have ended it; end the whole group, politely first.
            for sig in (signal.SIGTERM, signal.SIGKILL):
                try:
                    os.killpg(process.pid, sig)
                except ProcessLookupError:
                    break
                try:
                    output, _ = process.communicate(timeout=30)
                    break
                except subprocess.TimeoutExpired:
                    output = b""
        return process.returncode, output.decode("utf-8", "replace")
    finally:
        shutil.rmtree(folder, True)


class NamespacedTestCase(ParvoletTestCase):
    """A test case whose every test runs inside namespaces holding the class's network."""

    network = Network()
    # The bound of one test's whole session inside.
    session_seconds = 600

    def run(self, result=None):
        if os.environ.get(INSIDE) == "1":
            return super().run(result)
        if result is None:
            result = self.defaultTestResult()
        result.startTest(self)
        try:
            reason = unavailable_reason()
            if reason is None and not (self.exe and self.wine_run and self.dlgdrive and self.receiver_binary):
                reason = "the program, the Wine runner, dlgdrive and the receiver must be built"
            if reason is not None:
                result.addSkip(self, reason)
                return result
            status, output = run(self.network, ["python3", "-m", "unittest", "-v", self.id()], self.wine_run,
                                 cwd=os.path.dirname(os.path.abspath(__file__)),
                                 timeout=stretched(self.session_seconds))
            print(output, end="", flush=True)
            lines = output.strip().splitlines()
            if status == 0 and lines and "skipped=" in lines[-1]:
                result.addSkip(self, "skipped inside the namespaces (see its output)")
            elif status == 0:
                result.addSuccess(self)
            else:
                failure = AssertionError("inside its namespaces the test ended with status %s" % status)
                result.addFailure(self, (AssertionError, failure, None))
        finally:
            result.stopTest(self)
        return result


__all__ = ["INSIDE", "LOOPBACK_HOSTS", "Network", "NamespacedTestCase", "run", "unavailable_reason", "WAIT_SECONDS"]
