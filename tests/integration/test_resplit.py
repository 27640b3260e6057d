#!/usr/bin/env python3
"""Ranges that move, killed at any moment: brindle-get against real nginx (/slow/, a rate per
connection) behind the fault relay, which stalls the first GETs of every run after 512 KiB, so
their ranges are cut, taken or started again on new connections. Each run has another thread
count and is killed with SIGKILL at a random moment; the last one runs to the end. The result
is byte-exact, no part file (numbered or taken) is left, and no run ends in exit 0 over wrong
bytes."""
import glob
import os
import random
import signal
import time

from harness import DATA, main, part_name, port
from fault_relay import FaultRelay, Rules  # noqa: E402 (path set by harness)
from test_integrity import IntegrityCase

MIB = 1024 * 1024


class KillDuringResplitTest(IntegrityCase):
    needs = ("NGINX",)

    def args_through_relay(self, threads, target, rel):
        # A relay per run: its first connections (the HEADs, then the first GETs) misbehave.
        relay = FaultRelay(("127.0.0.1", port("NGINX")),
                           Rules(stall_after=512 * 1024, first=threads + 2)).start()
        self.addCleanup(relay.close)
        url = "http://127.0.0.1:%d/slow/%s" % (relay.port, rel)
        return ["-v", "-y", "-n", str(threads), "-o", target, url]

    def test_kill_at_random_moments_then_resume_with_other_thread_counts(self):
        rng = random.Random(20261209)
        rel = self.own_file(20 * MIB + 4321)
        src = os.path.join(DATA, rel)
        target = os.path.join(self.work, "moving.bin")
        for threads in (4, 2, 5, 3, 6):
            p = self.start_get(self.args_through_relay(threads, target, rel))
            deadline = time.monotonic() + rng.uniform(0.5, 4.0)
            while time.monotonic() < deadline and p.poll() is None:
                time.sleep(0.02)
            if p.poll() is None:
                p.send_signal(signal.SIGKILL)
            r = self.finish(p, timeout=30)
            if r.rc == 0:
                # Finished before the kill: then it must be exact.
                self.assert_success(r, target, src, threads)
                os.remove(target)
                continue
            self.assertEqual(r.rc, -signal.SIGKILL, str(r))
        r = self.run_get(self.args_through_relay(3, target, rel))
        self.assert_success(r, target, src, 3)
        self.assertTrue("Takes bytes" in r.text or "The connection had stalled" in r.text, str(r))
        leftovers = glob.glob(target + ".r*.part") + [
            part_name(target, i) for i in range(1, 8) if os.path.exists(part_name(target, i))]
        self.assertEqual(leftovers, [], str(r))


if __name__ == "__main__":
    main()
