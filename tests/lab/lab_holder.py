"""Holds one NAT-lab host: python3 lab_holder.py NETNS

Started by nat_lab as `ip netns exec NETNS unshare --mount --propagation
private python3 lab_holder.py NETNS`. It gives the host its own /run (= /var/run),
/var/log and a copy-on-write /etc with an empty /etc/config, prints "ready",
and waits. Every command for the host enters this process's mount and network
namespaces, so this process is the host.

On SIGTERM, SIGINT or SIGHUP (nat_lab's tear-down, or the death of the test
process through PR_SET_PDEATHSIG) it kills every process left in the host's
network namespace, daemons included, and exits once none is left.
"""

import os
import signal
import subprocess
import sys
import time

STOP_SIGNALS = {signal.SIGTERM, signal.SIGINT, signal.SIGHUP}


def own_netns():
    return os.readlink("/proc/self/ns/net")


def check_namespace(name):
    # The kill-everything tear-down must never run outside the lab's namespace.
    expected = os.stat("/run/netns/" + name).st_ino
    if os.stat("/proc/self/ns/net").st_ino != expected:
        sys.exit("lab_holder: not inside network namespace " + name)


def mount_private_dirs():
    def mount(*args):
        subprocess.run(["mount"] + list(args), check=True)

    mount("-t", "tmpfs", "-o", "mode=755", "lab-run", "/run")
    os.makedirs("/run/.lab/etc-upper")
    os.makedirs("/run/.lab/etc-work")
    mount("-t", "overlay", "lab-etc", "-o",
          "lowerdir=/etc,upperdir=/run/.lab/etc-upper,workdir=/run/.lab/etc-work", "/etc")
    mount("-t", "tmpfs", "lab-log", "/var/log")
    os.makedirs("/etc/config", exist_ok=True)
    for name in os.listdir("/etc/config"):
        os.unlink(os.path.join("/etc/config", name))
    if os.path.lexists("/etc/tarn.conf"):
        os.unlink("/etc/tarn.conf")


def others_in(netns):
    me = os.getpid()
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == me:
            continue
        try:
            if os.readlink("/proc/%s/ns/net" % entry) == netns:
                yield int(entry)
        except OSError:
            pass  # gone, or a zombie: it no longer holds the namespace


def kill_all_in(netns, timeout=10.0):
    deadline = time.monotonic() + timeout
    while time.monotonic() < deadline:
        left = list(others_in(netns))
        if not left:
            return True
        for pid in left:
            try:
                os.kill(pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        time.sleep(0.01)
    return False


def main():
    name = sys.argv[1]
    signal.pthread_sigmask(signal.SIG_BLOCK, STOP_SIGNALS)
    check_namespace(name)
    netns = own_netns()
    mount_private_dirs()
    print("ready", flush=True)
    signal.sigwait(STOP_SIGNALS)
    sys.exit(0 if kill_all_in(netns) else 1)


if __name__ == "__main__":
    main()
