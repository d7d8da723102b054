"""Holds one NAT-lab host: python3 lab_holder.py NETNS

Started by nat_lab as `ip netns exec NETNS unshare --mount --propagation
private python3 lab_holder.py NETNS`: gives the host its own /run (= /var/run),
/var/log and a copy-on-write /etc without tarn's files, prints "ready" and
waits. Every command for the host enters this process's namespaces.

On SIGTERM, SIGINT or SIGHUP (tear-down, or the test process's death through
PR_SET_PDEATHSIG) it kills every process left in the host's network
namespace and exits once none is left.
"""

import os
import signal
import subprocess
import sys
import time

STOP_SIGNALS = {signal.SIGTERM, signal.SIGINT, signal.SIGHUP}


def others_in(netns):
    for entry in os.listdir("/proc"):
        try:
            if entry.isdigit() and int(entry) != os.getpid() and \
                    os.readlink("/proc/%s/ns/net" % entry) == netns:
                yield int(entry)
        except OSError:
            pass  # gone, or a zombie: it no longer holds the namespace


def main():
    signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    # The kill-everything tear-down must never run outside the lab's namespace.
    if os.stat("/proc/self/ns/net").st_ino != os.stat("/run/netns/" + sys.argv[1]).st_ino:
        sys.exit("lab_holder: not inside network namespace " + sys.argv[1])
    netns = os.readlink("/proc/self/ns/net")
    for argv in (["-t", "tmpfs", "-o", "mode=755", "lab-run", "/run"],
                 ["-t", "tmpfs", "lab-log", "/var/log"]):
        subprocess.run(["mount"] + argv, check=True)
    os.makedirs("/run/.lab/etc-upper")
    os.makedirs("/run/.lab/etc-work")
    subprocess.run(["mount", "-t", "overlay", "lab-etc", "-o", "lowerdir=/etc,upperdir="
                    "/run/.lab/etc-upper,workdir=/run/.lab/etc-work", "/etc"], check=True)
    subprocess.run(["rm", "-rf", "/etc/config", "/etc/tarn.conf"], check=True)
    os.makedirs("/etc/config")
    print("ready", flush=True)
    signal.sigwait(STOP_SIGNALS)
    deadline = time.monotonic() + 10
    while time.monotonic() < deadline:
        left = list(others_in(netns))
        if not left:
            return 0
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.01)
    return 1


if __name__ == "__main__":
    sys.exit(main())
