#!/usr/bin/env python3
# Fails when a file includes a header of a target that the file's own target does not link.
#
# The targets, their sources and what each links come from CMake's file API (the build folder is
# configured again to write it), so the check follows the CMakeLists and needs no list of its own.
# A header belongs to the target that compiles the .cpp of the same name beside it; else to the
# libraries whose sources lie in its folder (the programs there, when the folder has no library).
# A header of several targets must be includable by each of them.
# Usage: scripts/check-includes.py [build folder]   (default: build)
import json
import os
import re
import subprocess
import sys

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
CLIENT = "client-kopiwart"
LIBRARY_TYPES = {"STATIC_LIBRARY", "SHARED_LIBRARY", "MODULE_LIBRARY", "OBJECT_LIBRARY", "INTERFACE_LIBRARY"}
HEADER_EXTS = (".h", ".hpp")
SOURCE_EXTS = (".cpp", ".cc", ".c")
INCLUDE = re.compile(r'^\s*#\s*include\s*([<"])([^">]+)[">]')


def codemodel(build):
    if not os.path.isfile(os.path.join(build, "CMakeCache.txt")):
        sys.exit(f"{build} ist kein konfigurierter Build (zuerst scripts/setup.sh {build})")
    query = os.path.join(build, ".cmake", "api", "v1", "query", CLIENT)
    os.makedirs(query, exist_ok=True)
    open(os.path.join(query, "codemodel-v2"), "a").close()
    # Configuring again writes the reply; it changes nothing that the build would redo.
    subprocess.run(["cmake", build], check=True, stdout=subprocess.DEVNULL)
    reply = os.path.join(build, ".cmake", "api", "v1", "reply")
    index = max(f for f in os.listdir(reply) if f.startswith("index-"))
    with open(os.path.join(reply, index)) as f:
        entry = json.load(f)["reply"][CLIENT]["codemodel-v2"]
    with open(os.path.join(reply, entry["jsonFile"])) as f:
        model = json.load(f)
    targets = {}
    for ref in model["configurations"][0]["targets"]:
        with open(os.path.join(reply, ref["jsonFile"])) as f:
            targets[ref["id"]] = json.load(f)
    return targets


def in_tree(path):
    return os.path.commonpath([ROOT, path]) == ROOT and not os.path.relpath(path, ROOT).startswith("build")


def main():
    build = os.path.abspath(sys.argv[1] if len(sys.argv) > 1 else os.path.join(ROOT, "build"))
    targets = codemodel(build)
    name_of = {tid: t["name"] for tid, t in targets.items()}
    libraries = {tid for tid, t in targets.items() if t["type"] in LIBRARY_TYPES}

    # What each target may include: itself and every library it links (the file API lists the
    # whole closure; programs only order the build and are never linked).
    links = {tid: {tid} | {d["id"] for d in t.get("dependencies", []) if d["id"] in libraries}
             for tid, t in targets.items()}

    compiled = {}  # source path -> targets that compile it
    folder_targets = {}  # folder -> targets with sources there
    for tid, t in targets.items():
        for s in t.get("sources", []):
            path = os.path.normpath(os.path.join(ROOT, s["path"]))
            if not in_tree(path):
                continue
            if path.endswith(SOURCE_EXTS) and "compileGroupIndex" in s:
                compiled.setdefault(path, set()).add(tid)
            folder_targets.setdefault(os.path.dirname(path), set()).add(tid)

    def owners(header):
        stem = os.path.splitext(header)[0]
        for ext in SOURCE_EXTS:
            if stem + ext in compiled:
                return compiled[stem + ext]
        here = folder_targets.get(os.path.dirname(header), set())
        return (here & libraries) or here

    def resolve(file, kind, name):
        candidates = [os.path.join(ROOT, name)]
        if kind == '"':
            candidates.insert(0, os.path.join(os.path.dirname(file), name))
        for c in candidates:
            c = os.path.normpath(c)
            if os.path.isfile(c) and in_tree(c):
                return c
        return None  # a system, library or generated header

    # Every compiled source and every header of a target, with the targets it is checked for.
    checked = {path: set(tids) for path, tids in compiled.items()}
    for folder in folder_targets:
        for entry in os.listdir(folder):
            path = os.path.join(folder, entry)
            if entry.endswith(HEADER_EXTS) and owners(path):
                checked.setdefault(path, set()).update(owners(path))

    faults = []
    for path in sorted(checked):
        with open(path, encoding="utf-8", errors="replace") as f:
            lines = f.readlines()
        for number, line in enumerate(lines, 1):
            m = INCLUDE.match(line)
            if not m:
                continue
            header = resolve(path, m.group(1), m.group(2))
            if not header or header == path:
                continue
            at = f"{os.path.relpath(path, ROOT)}:{number}"
            wanted = owners(header)
            if not wanted:
                faults.append(f"{at}: {m.group(2)} gehört zu keinem Ziel des Builds")
                continue
            for tid in sorted(checked[path], key=name_of.get):
                if not wanted & links[tid]:
                    names = " oder ".join(sorted(name_of[w] for w in wanted))
                    faults.append(f"{at}: {name_of[tid]} bindet {m.group(2)} ein, linkt aber nicht {names}")
    for fault in faults:
        print(fault, file=sys.stderr)
    print(f"Einbindungen: {len(checked)} Dateien in {len(targets)} Zielen geprüft, {len(faults)} Fehler")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
