#!/usr/bin/python3
"""check_output.py json|metrics: reads orvindctl's output from standard input with a real
parser of its format (metrics: prometheus_client's, every family a gauge, or a counter whose
samples end in _total; then promtool check metrics when it is installed); exits 1 with the
parser's complaint when the text is not valid."""
import json
import shutil
import subprocess
import sys

from prometheus_client.parser import text_string_to_metric_families

try:
    text = sys.stdin.read()
    if sys.argv[1] == "json":
        json.loads(text)
    else:
        for family in text_string_to_metric_families(text):
            if family.type == "counter":
                if not all(s.name.endswith("_total") for s in family.samples):
                    raise ValueError(f"{family.name}: a counter's samples end in _total")
            elif family.type != "gauge":
                raise ValueError(f"{family.name} is a {family.type}")
        if shutil.which("promtool"):
            lint = subprocess.run(["promtool", "check", "metrics"], input=text, text=True,
                                  capture_output=True, check=False)
            if lint.returncode != 0 or lint.stdout.strip() or lint.stderr.strip():
                raise ValueError(f"promtool check metrics: {lint.stdout}{lint.stderr}")
except Exception as error:  # the parsers raise ValueError and others
    sys.exit(f"not valid: {error}")
