"""Doors of the daemon itself (docs/security.md): another uid holding the
pid file, a NAT-type refresh that a clean must not stop."""

import errno
import os
import stat
import subprocess
import unittest

from tarn_daemon import (BIN, INFO, INFO_ANSWER, PID_FILE, Bus, Daemon, read_file, reap,
                         request, set_device_mac, tarnctl, wait_reports)

# Opens the file read-only and takes a read lock, then holds it; prints the
# errno when the open fails.
HOLDER = """
import fcntl, os, signal, sys
try:
    fd = os.open(sys.argv[1], os.O_RDONLY)
except OSError as e:
    print(e.errno, flush=True)
    sys.exit(0)
fcntl.lockf(fd, fcntl.LOCK_SH | fcntl.LOCK_NB)
print("locked", flush=True)
signal.pause()  # holds the lock until killed
"""
NOBODY = 65534
SYSTEM_PYTHON = "/usr/bin/python3"  # one another uid may run


class Doors(unittest.TestCase):
    def setUp(self):
        set_device_mac()

    def test_pid_file_is_root_only(self):
        # Left by an older tarn with everyone's read bit: the next start takes it away.
        with open(PID_FILE, "w") as f:
            f.write("99999")
        os.chmod(PID_FILE, 0o644)
        with Daemon():
            pass
        self.assertEqual(stat.S_IMODE(os.stat(PID_FILE).st_mode), 0o600)

        # Another uid can no longer open it, so cannot lock tarn out.
        holder = subprocess.Popen([SYSTEM_PYTHON, "-c", HOLDER, PID_FILE], user=NOBODY,
                                  stdout=subprocess.PIPE, text=True)
        self.addCleanup(lambda: (holder.kill(), holder.wait(), holder.stdout.close()))
        self.assertEqual(holder.stdout.readline().strip(), str(errno.EACCES))
        with Daemon() as d:
            self.assertEqual(request(INFO), INFO_ANSWER)
            self.assertEqual(read_file(PID_FILE), str(d.pid))

    def test_pid_file_link_is_not_followed(self):
        target = "/run/elsewhere"
        if os.path.lexists(PID_FILE):
            os.unlink(PID_FILE)
        os.symlink(target, PID_FILE)
        self.addCleanup(os.unlink, PID_FILE)
        d = Daemon("-f")  # in the foreground: its own exit status
        self.assertEqual(d.launch(), 255)
        self.assertIn("process already running...", d.stderr())
        self.assertFalse(os.path.exists(target))

    def test_nat_type_refresh_classifies_again_unasked_also_after_a_clean(self):
        with open("/etc/tarn.conf", "w") as f:
            f.write("STUN_HOST=[127.0.0.1]\n")
        self.enterContext(Bus())
        discovered = lambda r: r.get("type") == "discoverNatType"  # noqa: E731
        # tarn-test refreshes every second instead of every 180 s.
        with Daemon(program=[os.path.join(BIN, "tarn-test")]):
            # Nothing answers yet: the run at start finds no server.
            (first,) = wait_reports(discovered)
            self.assertEqual(tarnctl("clean").returncode, 0)
            # A server from now on: only a refresh after the clean, asked for
            # by nobody, can classify anew and report the change.
            os.makedirs("/run/turnserver")
            stun = subprocess.Popen(
                ["turnserver", "-n", "-S", "-L", "127.0.0.1", "-L", "127.0.0.2", "--no-cli",
                 "--no-tls", "--no-dtls", "--no-tcp", "--pidfile", "/run/turnserver/pid",
                 "--db", "/run/turnserver/db", "--log-file", "stdout", "--simple-log"],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            self.addCleanup(lambda: (stun.terminate(), reap(stun.pid)))
            second = wait_reports(discovered, count=2)[1]
            self.assertNotEqual(second["natType"], first["natType"])
            self.assertEqual((first["respTestI"], second["respTestI"]), (0, 1))
            self.assertEqual(second["testIMappedAddrIP"], "127.0.0.1")

if __name__ == "__main__":
    unittest.main(verbosity=2)
