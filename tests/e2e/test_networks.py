"""The program on networks of the tests' own making (namespace_session): a server on IPv6 only, dual
stack with IPv6 dropped or refused, names that resolve to nothing, every address dropping, and a
link-local address with its zone. Names come from each test's own hosts file; drops are nftables
rules inside the test's network namespace."""

import hashlib
import subprocess
import unittest

from harness import IDCANCEL, IDOK, IDRETRY, IDYES, TEXT_CONFIRM_CANCEL, free_port, wait_for
from namespace_session import LOOPBACK_HOSTS, NamespacedTestCase, Network

BAR_CONNECTING = "Attempting to connect to Tamsk"
HOSTS = LOOPBACK_HOSTS + "::1 six.test\n::1 dual.test\n127.0.0.1 dual.test\n"
# No DNS server answers inside: a name missing from the hosts file fails at once.
RESOLVER = ["printf 'nameserver 127.0.0.1\\noptions attempts:1 timeout:1\\n' >resolv.conf",
            "mount --bind resolv.conf /etc/resolv.conf"]
INI = "[Network]\nServerAddress={host}\nClientID={client}\nPort={port}\n"


def drop_rules(*addresses):
    """nftables rules that silently drop TCP to the addresses (on arrival, so the connecting side
    sees no answer at all, as behind a dropping firewall), counting what they drop."""
    rules = ["table inet parvolet_test {", "  chain input {", "    type filter hook input priority 0;"]
    for address in addresses:
        family = "ip6" if ":" in address else "ip"
        rules.append("    %s daddr %s meta l4proto tcp counter drop" % (family, address))
    rules += ["  }", "}"]
    return ["cat >rules.nft <<'EOF'\n%s\nEOF" % "\n".join(rules), "nft -f rules.nft"]


def dropped_packets(address):
    """Packets the test's drop rule for the address has counted."""
    listing = subprocess.run(["nft", "list", "table", "inet", "parvolet_test"], stdout=subprocess.PIPE,
                             timeout=30).stdout.decode()
    for line in listing.splitlines():
        words = line.split()
        if "daddr" in words and words[words.index("daddr") + 1] == address and "packets" in words:
            return int(words[words.index("packets") + 1])
    return 0


class NetworkCase(NamespacedTestCase):
    def run_program(self, host, port, payload=b"sent over a test network\r\n", client=4711):
        self.payload = payload.replace(b"\r\n", b"\n")
        self.client = client
        self.write_ini(INI.format(host=host, client=client, port=port))
        self.write_file("data.txt", payload)
        self.start(" data.txt")

    def assert_delivered(self, receiver, family):
        record = receiver.next_record(timeout=30)
        self.assertIsNotNone(record, "the receiver saw no connection")
        self.assertTrue(record["well_formed"], record)
        self.assertEqual(self.client, record["client_id"])
        self.assertEqual(len(self.payload), record["length"])
        self.assertEqual(hashlib.sha256(self.payload).hexdigest(), record["sha256"])
        self.assertEqual(20 + len(self.payload), record["bytes_received"])
        self.assertEqual(family, record["family"], record)

    def succeed_and_exit(self, receiver, family):
        state = self.wait_success()
        self.assert_delivered(receiver, family)
        self.click(state["hwnd"], IDOK)
        self.assertEqual(1, self.exit_code())
        receiver.stop()
        self.receiver = None

    def cancel_and_exit(self, state):
        self.click(state["hwnd"], IDCANCEL)
        box = self.message_box()
        self.assertEqual(TEXT_CONFIRM_CANCEL, box["text"])
        self.click(box["hwnd"], IDYES)
        self.assertEqual(2, self.exit_code())


class Ipv6Only(NetworkCase):
    network = Network(hosts=HOSTS)

    # The bracketed form "[::1]" cannot be written in Parvolet.ini: its reader takes any line with
    # a "[" for a section header, so the value would end the section (the unit tests cover it).
    def test_literal_and_name_deliver_the_exact_frame(self):
        for host in ("::1", "six.test"):
            with self.subTest(host=host):
                receiver = self.start_receiver(listen="::1")
                self.run_program(host, receiver.port)
                self.succeed_and_exit(receiver, "ipv6")


class DualStackIpv6Dropped(NetworkCase):
    network = Network(hosts=HOSTS, setup=drop_rules("::1"))

    def test_a_name_with_both_addresses_delivers_over_ipv4(self):
        receiver = self.start_receiver(listen="::")
        self.run_program("dual.test", receiver.port)
        self.succeed_and_exit(receiver, "ipv4")
        # The IPv6 address came first and was tried: the rule dropped its packets.
        self.assertGreater(dropped_packets("::1"), 0)


class DualStackIpv6Refused(NetworkCase):
    network = Network(hosts=HOSTS)

    def test_a_name_with_both_addresses_delivers_over_ipv4(self):
        receiver = self.start_receiver(listen="127.0.0.1")
        self.run_program("dual.test", receiver.port)
        self.succeed_and_exit(receiver, "ipv4")


class Unresolvable(NetworkCase):
    network = Network(hosts=HOSTS, setup=RESOLVER)

    def test_a_name_that_resolves_to_nothing_shows_the_failure(self):
        self.run_program("nowhere.test", free_port())
        state = self.wait_failure()
        self.cancel_and_exit(state)


class EveryAddressDrops(NetworkCase):
    network = Network(hosts=HOSTS, setup=drop_rules("::1", "127.0.0.1"))

    def test_cancel_ends_every_attempt_at_once(self):
        self.run_program("dual.test", free_port())
        state = self.wait_state(lambda s: s["status_bar"] == BAR_CONNECTING and s["focus_id"] == IDCANCEL,
                                "the connecting state with Cancel focused")
        # Both attempts are under way once the second has had its turn, and neither can end
        # before the system gives up on it (minutes): an exit within the usual bound shows that
        # nothing waited for them.
        wait_for(lambda: dropped_packets("::1") and dropped_packets("127.0.0.1"), message="both addresses tried")
        self.assertEqual(BAR_CONNECTING, self.dialog_state()["status_bar"])
        self.cancel_and_exit(state)


class RetryAfterFailure(NetworkCase):
    network = Network(hosts=HOSTS)

    def test_retry_goes_through_the_whole_list_again(self):
        port = free_port()
        self.run_program("dual.test", port)
        state = self.wait_failure()  # nothing listens at either address
        # Now only the second address answers: Retry must try the first again and go on.
        receiver = self.start_receiver(listen="127.0.0.1", port=port)
        self.click(state["hwnd"], IDRETRY)
        self.succeed_and_exit(receiver, "ipv4")


class LinkLocalZone(NetworkCase):
    # This kernel has no dummy interfaces; one end of a veth pair carries the address instead.
    network = Network(hosts=HOSTS, setup=["ip link add parvolet0 type veth peer name parvolet1",
                                          "ip link set parvolet0 up", "ip link set parvolet1 up",
                                          "ip -6 addr add fe80::5/64 dev parvolet0 nodad"])

    def test_a_link_local_address_with_its_zone_delivers(self):
        # /sys still shows the outer network's interfaces; ip asks this namespace's.
        listing = subprocess.run(["ip", "-o", "link", "show", "dev", "parvolet0"], stdout=subprocess.PIPE,
                                 timeout=30, check=True).stdout.decode()
        index = int(listing.split(":")[0])
        receiver = self.start_receiver(listen="::")
        self.run_program("fe80::5%%%d" % index, receiver.port)
        self.succeed_and_exit(receiver, "ipv6")


if __name__ == "__main__":
    unittest.main()
