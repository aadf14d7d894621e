#!/usr/bin/env python3
"""Checks that the documentation names everything a user sets or types that
the code reads: the driver's connection keywords and client settings, the
server's settings, the method words, the environment variables, vekping's
options. Each is looked for as a whole word in README.md and docs/*.md.
Exit 0 when all are there; else 1 with the missing ones listed by source."""
import pathlib
import re
import sys

top = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else ".")


def source(path):
    return (top / path).read_text(encoding="utf-8")


def found(pattern, *paths):
    names = set()
    for p in paths:
        names.update(re.findall(pattern, source(p)))
    return names


# What the code reads, and where it is read.
wanted = {
    "connection keywords (client/driver/keywords.cpp)":
        found(r'\{"([A-Z_]+)", kKey', "client/driver/keywords.cpp")
        | found(r'kDisguisedLogonAuth\[\] = "([A-Z_]+)"', "client/driver/driver.h"),
    "client settings (client/driver/keywords.cpp)":
        found(r'\{"([A-Za-z]+)", "[^"]*", \d+, &dbc->', "client/driver/keywords.cpp"),
    "server settings (server/process/settings.cpp)":
        found(r'(?:number|text)\("([A-Za-z0-9]+)"', "server/process/settings.cpp"),
    "settings of the configuration page (server/http/config_store.cpp)":
        found(r'push_back\(\{"([A-Za-z0-9]+)"', "server/http/config_store.cpp"),
    "values of the default key (support/)":
        found(r'get_default\(config, "([a-z_]+)"', "support/longbuf.cpp"),
    "method words (server/process/main.cpp)":
        found(r'word == "([a-z_]+)"', "server/process/main.cpp"),
    "server options (server/process/main.cpp)":
        {"--" + n for n in found(r'\{"([a-z]+)", no_argument', "server/process/main.cpp")},
    "vekping options (tools/ping/options.cpp)":
        {"--" + n for n in found(r'\{"([a-z]+)", (?:no|required)_argument', "tools/ping/options.cpp")},
}
env = set()
for path in ["server", "client", "common", "platform", "support", "rpc", "tools", "setup"]:
    for f in (top / path).rglob("*.cpp"):
        env.update(re.findall(r'getenv\("(KYVEK_[A-Z_]+)"\)', f.read_text(encoding="utf-8")))
# Read by tests only: no user sets it.
env.discard("KYVEK_SETUP_LIBRARY")
wanted["environment variables"] = env

docs = source("README.md") + "".join(p.read_text(encoding="utf-8") for p in sorted((top / "docs").glob("*.md")))
missing = {}
for what, names in wanted.items():
    if not names:
        missing[what] = ["(nothing found: the pattern no longer matches the code)"]
        continue
    lost = sorted(n for n in names if not re.search(r"(?<![A-Za-z0-9_-])" + re.escape(n) + r"(?![A-Za-z0-9_])", docs))
    if lost:
        missing[what] = lost
for what, names in missing.items():
    print(f"not in README.md or docs/: {what}: {', '.join(names)}")
sys.exit(1 if missing else 0)
