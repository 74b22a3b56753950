#!/usr/bin/python3
"""Reads a Prometheus text exposition with the Prometheus client library's own parser and prints
its families as JSON: [{"name", "type", "help", "samples": [{"name", "labels", "value"}]}].

The parser is lenient, so what it lets through is checked as well: every family typed (a sample
outside its family's names comes back untyped), one HELP and one TYPE line per family, family
names unique (a family split in two comes back twice), valid metric and label names, no sample
twice. Exit status 0 with the JSON; 1 with the faults on stderr; 3 when the library is missing.
"""
import json
import re
import sys

try:
    from prometheus_client.parser import text_string_to_metric_families
except ImportError as e:
    print("prometheus_client is not installed: %s" % e, file=sys.stderr)
    sys.exit(3)

METRIC = re.compile(r"^[a-zA-Z_:][a-zA-Z0-9_:]*$")
LABEL = re.compile(r"^[a-zA-Z_][a-zA-Z0-9_]*$")


def main():
    # No newline translation: a carriage return inside a label value is not a line end.
    with open(sys.argv[1], encoding="utf-8", newline="") as f:
        text = f.read()
    faults = []
    comments = {}
    for line in text.split("\n"):
        parts = line.split(None, 3)
        if len(parts) >= 3 and parts[0] == "#" and parts[1] in ("HELP", "TYPE"):
            key = (parts[1], parts[2])
            comments[key] = comments.get(key, 0) + 1
    for (kind, name), n in sorted(comments.items()):
        if n != 1:
            faults.append("%s of %s %d times" % (kind, name, n))
    out = []
    seen_families = set()
    seen_samples = set()
    try:
        families = list(text_string_to_metric_families(text))
    except Exception as e:  # the parser's own refusal
        print("parser: %r" % e, file=sys.stderr)
        return 1
    for fam in families:
        if fam.type not in ("gauge", "counter", "summary", "histogram"):
            faults.append("family %s is %s" % (fam.name, fam.type))
        if fam.name in seen_families:
            faults.append("family %s twice" % fam.name)
        seen_families.add(fam.name)
        if not METRIC.match(fam.name):
            faults.append("bad family name %r" % fam.name)
        samples = []
        for s in fam.samples:
            if not METRIC.match(s.name):
                faults.append("bad sample name %r" % s.name)
            for k in s.labels:
                if not LABEL.match(k) or k.startswith("__"):
                    faults.append("bad label name %r of %s" % (k, s.name))
            key = (s.name, tuple(sorted(s.labels.items())))
            if key in seen_samples:
                faults.append("sample %r twice" % (key,))
            seen_samples.add(key)
            samples.append({"name": s.name, "labels": s.labels, "value": s.value})
        out.append({"name": fam.name, "type": fam.type, "help": fam.documentation,
                    "samples": samples})
    if faults:
        print("\n".join(faults), file=sys.stderr)
        return 1
    print(json.dumps(out, ensure_ascii=False))
    return 0


if __name__ == "__main__":
    sys.exit(main())
