"""The OpenWrt package: the init script under OpenWrt's own scripts and the
real uci in a busybox chroot gives procd the right service description; the
feed Makefiles name only OpenWrt's packages, check their tarball and carry
licences; make install's tree; man pages without groff warnings."""

import hashlib
import json
import os
import re
import shutil
import subprocess
import tarfile
import tempfile
import unittest

SRC = os.environ["TARN_SRC"]
BIN = os.environ["TARN_BIN"]
BUILD = os.path.dirname(BIN)
FEED = os.path.join(SRC, "openwrt")
FILES = os.path.join(FEED, "tarn", "files")
INIT = os.path.join(FILES, "tarn.init")
THIRD_PARTY = os.environ.get("TARN_THIRD_PARTY",
                             os.path.join(SRC, "..", "shared", "third_party"))
# The prefix holding OpenWrt's libraries and commands, where bin/uci points.
OPENWRT = os.path.dirname(os.path.dirname(os.path.realpath(os.path.join(BIN, "uci"))))
KNOWN_PACKAGES = os.path.join(os.path.dirname(os.path.abspath(__file__)),
                              "openwrt_packages.txt")

# Where OpenWrt keeps each script (rc.common's and procd.sh's own paths).
SCRIPTS = {"rc.common": "etc/rc.common", "functions.sh": "lib/functions.sh",
           "service.sh": "lib/functions/service.sh", "procd.sh": "lib/functions/procd.sh",
           "uci.sh": "lib/config/uci.sh"}
# The one stand-in: ubus records its arguments, one call a line, tab-separated.
UBUS = '#!/bin/sh\nfor a; do printf "%s\\t" "$a"; done >>/tmp/ubus.calls\necho >>/tmp/ubus.calls\n'


def copy_with_libraries(root, program, dest):
    """program at dest in root, with the libraries it loads."""
    os.makedirs(os.path.dirname(root + dest), exist_ok=True)
    shutil.copy(program, root + dest)
    out = subprocess.run(["ldd", program], capture_output=True, text=True, check=True)
    for lib in re.findall(r"(/\S+) \(0x", out.stdout):
        os.makedirs(os.path.dirname(root + lib), exist_ok=True)
        shutil.copy(lib, root + lib)


def openwrt_root(root):
    """A minimal OpenWrt userland: busybox, its scripts, jshn, uci, tarn's
    init script and /etc/config/tarn."""
    os.makedirs(root + "/bin")
    shutil.copy("/bin/busybox", root + "/bin/busybox")
    for path in ("tmp", "var/lock", "etc/config", "etc/init.d", "dev", "usr/share/libubox"):
        os.makedirs(os.path.join(root, path), exist_ok=True)
    os.mknod(root + "/dev/null", 0o20666, os.makedev(1, 3))
    subprocess.run(["chroot", root, "/bin/busybox", "--install", "-s", "/bin"], check=True)
    for name, path in SCRIPTS.items():
        os.makedirs(os.path.dirname(os.path.join(root, path)), exist_ok=True)
        shutil.copy(os.path.join(THIRD_PARTY, "openwrt-scripts", name), os.path.join(root, path))
    shutil.copy(os.path.join(OPENWRT, "share", "libubox", "jshn.sh"),
                root + "/usr/share/libubox/jshn.sh")
    copy_with_libraries(root, os.path.join(OPENWRT, "bin", "jshn"), "/usr/bin/jshn")
    copy_with_libraries(root, os.path.join(BIN, "uci"), "/sbin/uci")
    # OpenWrt's busybox has flock (procd.sh locks with it), Debian's has not.
    copy_with_libraries(root, shutil.which("flock"), "/usr/bin/flock")
    os.makedirs(root + "/usr/sbin", exist_ok=True)
    with open(root + "/usr/sbin/ubus", "w") as f:
        f.write(UBUS)
    os.chmod(root + "/usr/sbin/ubus", 0o755)
    shutil.copy(INIT, root + "/etc/init.d/tarn")


def run_init(root, *actions):
    """The ubus calls (argument lists) of /etc/init.d/tarn ACTION, per action."""
    calls = []
    for action in actions:
        record = root + "/tmp/ubus.calls"
        if os.path.exists(record):
            os.remove(record)
        out = subprocess.run(["chroot", root, "/etc/init.d/tarn", action],
                             env={"PATH": "/usr/sbin:/usr/bin:/sbin:/bin"},
                             capture_output=True, text=True, timeout=60)
        assert out.returncode == 0 and not out.stderr, (action, out.stdout, out.stderr)
        with open(record) as f:
            calls.append([line.rstrip("\t").split("\t") for line in f.read().splitlines()])
    return calls


def service(command, debug=False):
    """The description procd receives for one tarn instance: standard error
    always in the log, standard output with -d; respawned with procd's
    defaults (up to 5 crashes within 3600 s, 5 s apart)."""
    instance = {"command": command, "stderr": True, "respawn": ["3600", "5", "5"]}
    if debug:
        instance["stdout"] = True
    return {"name": "tarn", "script": "/etc/init.d/tarn", "instances": {"instance1": instance},
            "triggers": [["config.change", ["if", ["eq", "package", "tarn"],
                                            ["run_script", "/etc/init.d/tarn", "reload"]],
                          1000]],
            "data": {}}


def makefile_variables(path):
    """NAME:=VALUE lines of an OpenWrt package Makefile (define blocks too)."""
    with open(path) as f:
        text = f.read().replace("\\\n", " ")
    return dict((m[0], m[1].strip()) for m in re.findall(r"^\s*([A-Z_]+):=(.*)$", text, re.M))


class Package(unittest.TestCase):
    def test_init_script_is_clean_shell(self):
        for check in (["sh", "-n", INIT], ["shellcheck", INIT]):
            out = subprocess.run(check, capture_output=True, text=True, timeout=60)
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)

    def test_init_script_under_openwrt_scripts(self):
        with open(os.path.join(FILES, "tarn.config")) as f:
            shipped = f.read()
        plain = ["/usr/sbin/tarn", "-f", "-l", "127.0.0.1", "-p", "929"]
        # /etc/config/tarn (None: no file), what procd is told on start and reload
        table = [
            ("shipped", shipped, service(plain)),
            ("missing", None, service(plain)),
            ("debug", shipped.replace("debug '0'", "debug '1'"), service(plain + ["-d"], True)),
            ("disabled", shipped.replace("enabled '1'", "enabled '0'"),
             dict(service(plain), instances={})),
            ("address and port", "config tarn 'main'\n\toption listen_address '10.0.0.1'\n"
             "\toption listen_port '9290'\n\toption debug 'on'\n",
             service(["/usr/sbin/tarn", "-f", "-l", "10.0.0.1", "-p", "9290", "-d"], True)),
        ]
        with tempfile.TemporaryDirectory(dir="/run") as root:
            openwrt_root(root)
            for name, config, want in table:
                with self.subTest(name):
                    path = root + "/etc/config/tarn"
                    if config is None:
                        os.remove(path)
                    else:
                        with open(path, "w") as f:
                            f.write(config)
                    start, reload, stop = run_init(root, "start", "reload", "stop")
                    # reload sends the same description again and no signal:
                    # procd restarts tarn when it changed, else leaves it be.
                    for calls in (start, reload):
                        self.assertEqual([c[:3] for c in calls], [["call", "service", "set"]])
                        self.assertEqual(json.loads(calls[0][3]), want)
                    self.assertEqual(stop, [["call", "service", "delete", '{ "name": "tarn" }']])

    def test_feed_makefiles(self):
        # Every name a DEPENDS may use: OpenWrt's (with where each comes from,
        # beside this test) and the feed's own packages.
        with open(KNOWN_PACKAGES) as f:
            known = {line.split()[0] for line in f if line.strip() and not line.startswith("#")}
        makefiles = {name: os.path.join(FEED, name, "Makefile") for name in ("tarn", "udt")}
        for makefile in makefiles.values():
            with open(makefile) as f:
                known |= set(re.findall(r"BuildPackage,([\w.+-]+)\)", f.read()))
        for name, makefile in makefiles.items():
            with self.subTest(name):
                v = makefile_variables(makefile)
                depends = [d.lstrip("+@") for d in v["DEPENDS"].split()]
                self.assertEqual([d for d in depends if d not in known], [])
                self.assertTrue(v["PKG_LICENSE"] and v["PKG_LICENSE_FILES"] and
                                v["PKG_MAINTAINER"], v)
        tarn, udt = (makefile_variables(m) for m in makefiles.values())
        self.assertEqual(tarn["PKG_LICENSE"], "ISC")
        self.assertTrue(os.path.isfile(os.path.join(SRC, tarn["PKG_LICENSE_FILES"])))

        tarball = os.path.join(THIRD_PARTY, udt["PKG_SOURCE"].replace("$(PKG_VERSION)",
                                                                      udt["PKG_VERSION"]))
        with open(tarball, "rb") as f:
            self.assertEqual(hashlib.sha256(f.read()).hexdigest(), udt["PKG_HASH"])
        with tarfile.open(tarball) as t:
            top = os.path.basename(udt["PKG_BUILD_DIR"]).replace("$(PKG_VERSION)",
                                                                 udt["PKG_VERSION"])
            self.assertIn(top + "/" + udt["PKG_LICENSE_FILES"], t.getnames())

    def test_libudt_is_built_as_the_host_builds_it(self):
        # The device's libudt and the one every test runs against differ only
        # in the compiler: same define, same options, same optimisation.
        with open(os.path.join(SRC, "cmake", "third_party.sh")) as f:
            host = f.read()
        defines = re.search(r"target_compile_definitions\(udt PRIVATE ([^)]*)\)", host).group(1)
        options = re.search(r"target_compile_options\(udt PRIVATE ([^)]*)\)", host).group(1)
        want = ["-D" + d for d in defines.split()] + options.split() + ["-O3"]  # CMake's Release
        with open(os.path.join(FEED, "udt", "Makefile")) as f:
            compile_rule = re.search(r"define Build/Compile\n(.*?)\nendef", f.read(), re.S).group(1)
        flags = [w for w in compile_rule.split() if w.startswith("-") and not w.startswith("-Wl")
                 and w not in ("-shared", "-o", "-pthread")]
        self.assertEqual(sorted(flags), sorted(want))
        self.assertIn("file(GLOB sources src/*.cpp)", host)
        self.assertIn("$(PKG_BUILD_DIR)/src/*.cpp", compile_rule)

    def test_package_build_leaves_tests_and_test_tools_out(self):
        with tempfile.TemporaryDirectory(dir="/run") as build:
            # As the SDK configures it: its staging dir holds the libraries.
            subprocess.run(["cmake", "-S", SRC, "-B", build, "-DTARN_PACKAGE=ON",
                            "-DTARN_OPENWRT_PACKAGES=", "-DTARN_OPENWRT_PREFIX=" + OPENWRT],
                           check=True, capture_output=True, timeout=120)
            out = subprocess.run(["cmake", "--build", build, "--target", "help"], check=True,
                                 capture_output=True, text=True, timeout=60).stdout
        targets = sorted(t for t in re.findall(r"^\.\.\. (\S+)$", out, re.M)
                         if not re.search(r"\.[ois]$|^(all|clean|depend|edit_cache|install"
                                          r"|install/\w+|list_install_components"
                                          r"|rebuild_cache)$", t))
        self.assertEqual(targets, ["tarn", "tarn_lib", "tarnctl"])

    def test_install_tree_and_man_pages(self):
        with tempfile.TemporaryDirectory() as dest:
            subprocess.run(["cmake", "--install", BUILD, "--prefix", "/usr"], check=True,
                           env=dict(os.environ, DESTDIR=dest), capture_output=True, timeout=120)
            tree = sorted(os.path.relpath(os.path.join(d, f), dest)
                          for d, _, files in os.walk(dest) for f in files)
            pages = [os.path.join(dest, p) for p in tree if "/man/" in p]
            for page in pages:
                out = subprocess.run(["groff", "-man", "-Tutf8", "-ww", "-z", page],
                                     capture_output=True, text=True, timeout=60)
                self.assertEqual(out.stderr, "", page)
        self.assertEqual(tree, [
            "usr/bin/tarn-natcheck", "usr/bin/tarn-peer", "usr/bin/tarnctl", "usr/sbin/tarn",
            "usr/share/man/man1/tarn-natcheck.1", "usr/share/man/man1/tarn-peer.1",
            "usr/share/man/man1/tarnctl.1", "usr/share/man/man8/tarn.8"])


if __name__ == "__main__":
    unittest.main()
