#!/usr/bin/env python3
"""make liveness: runs the liveness tests (daemon and lab layers) with the
loop probe's table switched on and prints the worst control-request answer
time per fault. Run from the repository; BUILD names the build folder."""

import json
import os
import subprocess
import sys
import tempfile

build = os.environ.get("BUILD", "build")
with tempfile.NamedTemporaryFile("r", suffix=".jsonl") as table:
    env = dict(os.environ, LOOP_PROBE_TABLE=table.name)
    run = subprocess.run(["ctest", "-R", "liveness", "--output-on-failure"],
                         cwd=build, env=env)
    rows = [json.loads(line) for line in table]

print("\n%-44s %8s %9s %10s  %s" % ("fault", "answers", "failures", "worst ms", "other"))
for row in rows:
    other = ", ".join("%s %s" % (k, v) for k, v in row.items()
                      if k not in ("fault", "answers", "failures", "worst_ms"))
    print("%-44s %8s %9s %10s  %s" % (row["fault"], row.get("answers", "-"),
                                      row.get("failures", "-"), row.get("worst_ms", "-"), other))
sys.exit(run.returncode)
