"""The lab leaves nothing running behind, however the test that built it
ends: an exception, SIGTERM, or SIGKILL of the test process itself. What the
lab builds (mappings, filtering) is checked through tarn's own classification
in test_nat_type.py."""

import os
import signal
import subprocess
import sys
import textwrap
import unittest

from tarn_daemon import collect, wait_until

CHILD_LAB = textwrap.dedent("""
    import sys
    from nat_lab import Lab
    with Lab(device="full-cone") as lab:
        lab.start_device_daemon()
        print(lab.prefix, flush=True)
        if sys.argv[1] == "raise":
            raise RuntimeError("test failed inside the lab")
        sys.stdin.read()  # until the parent signals us
""")


def lab_namespaces(prefix):
    return [n for n in os.listdir("/run/netns") if n.startswith(prefix + "-")]


def processes_in(inodes):
    """Pids of the processes inside the network namespaces with those inodes."""
    found = []
    for entry in filter(str.isdigit, os.listdir("/proc")):
        try:
            if os.stat("/proc/%s/ns/net" % entry).st_ino in inodes:
                found.append(int(entry))
        except OSError:
            pass  # gone meanwhile
    return found


class TearDown(unittest.TestCase):
    def test_nothing_outlives_the_lab(self):
        # how the test ends: (argument, signal, exit status, namespaces left)
        for how, sig, status, left in (("raise", None, 1, 0),
                                       ("wait", signal.SIGTERM, 128 + signal.SIGTERM, 0),
                                       ("wait", signal.SIGKILL, -signal.SIGKILL, 6)):
            with self.subTest(how=how, sig=sig):
                child = subprocess.Popen([sys.executable, "-c", CHILD_LAB, how],
                                         stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                         text=True)
                with child:
                    prefix = child.stdout.readline().strip()
                    inodes = {os.stat("/run/netns/" + n).st_ino for n in lab_namespaces(prefix)}
                    self.assertEqual(len(inodes), 6)
                    self.assertTrue(processes_in(inodes))  # holders, coturn, tarn, ubusd
                    if sig is not None:
                        child.send_signal(sig)
                    self.assertEqual(child.wait(timeout=60), status)

                # A killed test process's holders empty their hosts; only the
                # names stay (in the sandbox's /run, gone with the sandbox).
                def empty():
                    collect()
                    return not processes_in(inodes)
                wait_until(empty, 20.0, "the lab's processes to end")
                self.assertEqual(len(lab_namespaces(prefix)), left)


if __name__ == "__main__":
    unittest.main(verbosity=2)
