#!/usr/bin/python3
"""Holds a run's report to the schema the repository documents: both scenario runners call it.

usage: validate_report.py SCHEMA REPORT
"""
import json
import sys

import jsonschema

schema = json.load(open(sys.argv[1], encoding="utf-8"))
report = json.load(open(sys.argv[2], encoding="utf-8"))
checker = jsonschema.Draft202012Validator(schema, format_checker=jsonschema.Draft202012Validator.FORMAT_CHECKER)
errors = sorted(checker.iter_errors(report), key=lambda e: list(e.absolute_path))
for error in errors:
    print("/" + "/".join(str(p) for p in error.absolute_path) + ": " + error.message)
sys.exit(1 if errors else 0)
