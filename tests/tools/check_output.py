#!/usr/bin/python3
"""Checks orvindctl's output with real parsers, read from standard input.

  check_output.py metrics   Prometheus text through prometheus_client's parser: one
                            line per sample, "name{label=value,...} value", sorted
  check_output.py json      a JSON document: one line per scalar, "path=value", sorted

Exits 1 with the parser's complaint when the text is not valid."""
import json
import sys

from prometheus_client.parser import text_string_to_metric_families


def metrics(text):
    lines = []
    for family in text_string_to_metric_families(text):
        if family.type != "gauge":
            raise ValueError(f"{family.name} is a {family.type}")
        for sample in family.samples:
            labels = ",".join(f"{k}={v}" for k, v in sorted(sample.labels.items()))
            value = sample.value
            value = int(value) if value.is_integer() else value
            lines.append(f"{sample.name}{{{labels}}} {value}")
    return lines


def flatten(value, path, lines):
    if isinstance(value, dict):
        for key, item in value.items():
            flatten(item, f"{path}.{key}" if path else key, lines)
    elif isinstance(value, list):
        for index, item in enumerate(value):
            flatten(item, f"{path}[{index}]", lines)
    else:
        lines.append(f"{path}={json.dumps(value)}")
    return lines


try:
    text = sys.stdin.read()
    lines = metrics(text) if sys.argv[1] == "metrics" else flatten(json.loads(text), "", [])
except Exception as error:  # the parsers raise ValueError and others
    print(f"not valid: {error}", file=sys.stderr)
    sys.exit(1)
print("\n".join(sorted(lines)))
