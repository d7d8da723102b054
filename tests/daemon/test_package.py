"""The OpenWrt package: the init script passes sh -n and shellcheck and gives
procd the right command line for each /etc/config/tarn; make install's tree;
man pages without groff warnings."""

import os
import re
import subprocess
import tempfile
import unittest

SRC = os.environ["TARN_SRC"]
BUILD = os.path.dirname(os.environ["TARN_BIN"])
FILES = os.path.join(SRC, "openwrt", "tarn", "files")
INIT = os.path.join(FILES, "tarn.init")

# uci's config_get/config_get_bool over CFG_<option> variables; procd_* print
# what they were given.
STUBS = r"""
config_load() { [ "$1" = tarn ] || echo "config_load $1"; }
config_get() { eval "v=\${CFG_$3-\$4}"; eval "$1=\$v"; }
config_get_bool() {
    config_get "$@"
    case "$v" in 1|on|true|yes|enabled) eval "$1=1" ;; *) eval "$1=0" ;; esac
}
procd_open_instance() { echo open; }
procd_set_param() { echo "set $*"; }
procd_append_param() { echo "append $*"; }
procd_close_instance() { echo close; }
procd_send_signal() { echo "signal $*"; }
procd_add_reload_trigger() { echo "trigger $*"; }
rc_procd() { "$@"; }
"""


def options(config_text):
    """CFG_<option>=<value> lines of a uci file's options."""
    return "".join("CFG_%s='%s'\n" % m for m in
                   re.findall(r"option\s+(\w+)\s+'([^']*)'", config_text))


def init_calls(config_text, function):
    script = ". %s\n%s%s%s\n" % (INIT, STUBS, options(config_text), function)
    out = subprocess.run(["sh", "-c", script], capture_output=True, text=True, timeout=30)
    assert out.returncode == 0 and not out.stderr, out.stderr
    return out.stdout.splitlines()


class Package(unittest.TestCase):
    def test_init_script_is_clean_shell(self):
        for check in (["sh", "-n", INIT], ["shellcheck", INIT]):
            out = subprocess.run(check, capture_output=True, text=True, timeout=60)
            self.assertEqual(out.returncode, 0, out.stdout + out.stderr)

    def test_init_script_gives_procd_the_configured_command(self):
        with open(os.path.join(FILES, "tarn.config")) as f:
            shipped = f.read()
        plain = ["open", "set command /usr/sbin/tarn -f -l 127.0.0.1 -p 929",
                 "set respawn", "close"]
        table = [
            ("shipped", shipped, plain),
            ("no options", "config tarn 'main'\n", plain),
            ("disabled", shipped.replace("enabled '1'", "enabled '0'"), []),
            ("debug, other address", "config tarn 'main'\n\toption listen_address '10.0.0.1'\n"
             "\toption listen_port '9290'\n\toption debug 'on'\n",
             ["open", "set command /usr/sbin/tarn -f -l 10.0.0.1 -p 9290", "append command -d",
              "set stdout 1", "set stderr 1", "set respawn", "close"]),
        ]
        for name, config, want in table:
            with self.subTest(name):
                self.assertEqual(init_calls(config, "start_service"), want)
        self.assertEqual(init_calls(shipped, "reload_service")[-1], "signal tarn * HUP")
        self.assertEqual(init_calls(shipped, "service_triggers"), ["trigger tarn"])

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
