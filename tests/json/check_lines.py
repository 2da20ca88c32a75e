#!/usr/bin/env python3
"""Checks every JSON line the tests kept against the published schema.

    check_lines.py SCHEMA FOLDER

FOLDER holds the *.jsonl files the tests wrote (FWL_JSON_LINES). Every line
must be valid against SCHEMA (JSON Schema, draft 2020-12); a folder with no
line at all fails too, since then nothing was checked. Prints each invalid
line with its file and number, and a count of the lines checked.
"""
import json
import pathlib
import sys

import jsonschema


def main():
    if len(sys.argv) != 3:
        print(__doc__.strip(), file=sys.stderr)
        return 2
    schema = json.loads(pathlib.Path(sys.argv[1]).read_text(encoding="utf-8"))
    jsonschema.Draft202012Validator.check_schema(schema)
    validator = jsonschema.Draft202012Validator(schema)
    checked = bad = 0
    kinds = set()
    for kept in sorted(pathlib.Path(sys.argv[2]).glob("*.jsonl")):
        for number, text in enumerate(kept.read_text(encoding="utf-8").splitlines(), 1):
            checked += 1
            where = f"{kept.name}:{number}"
            try:
                line = json.loads(text)
            except ValueError as error:
                bad += 1
                print(f"{where}: not JSON ({error}): {text}")
                continue
            if isinstance(line, dict) and next(iter(line), None) != "format":
                bad += 1
                print(f"{where}: \"format\" is not the first member: {text}")
            errors = list(validator.iter_errors(line))
            if errors:
                bad += 1
                best = jsonschema.exceptions.best_match(errors)
                at = "/".join(str(p) for p in best.absolute_path) or "(the line)"
                print(f"{where}: {at}: {best.message[:300]}\n  {text[:300]}")
            elif isinstance(line, dict):
                kinds.add(line.get("event") or ("findings" if "findings" in line else "other"))
    if checked == 0:
        print("no JSON line was kept: the tests that write them did not run")
        return 1
    print(f"{checked} JSON lines checked, {bad} invalid; kinds seen: {', '.join(sorted(kinds))}")
    return 1 if bad else 0


if __name__ == "__main__":
    sys.exit(main())
