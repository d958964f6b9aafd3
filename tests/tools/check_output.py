#!/usr/bin/python3
"""check_output.py json|metrics: reads orvindctl's output from standard input with a real
parser of its format (metrics: prometheus_client's, every family a gauge or a counter); exits 1 with the
parser's complaint when the text is not valid."""
import json
import sys

from prometheus_client.parser import text_string_to_metric_families

try:
    text = sys.stdin.read()
    if sys.argv[1] == "json":
        json.loads(text)
    else:
        for family in text_string_to_metric_families(text):
            if family.type not in ("gauge", "counter"):
                raise ValueError(f"{family.name} is a {family.type}")
except Exception as error:  # the parsers raise ValueError and others
    sys.exit(f"not valid: {error}")
