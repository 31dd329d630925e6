#!/usr/bin/env python3
"""Extracts the translatable texts of the library, the tool and the programs into porvane.pot.

    po/extract-messages.py [--check]

Every source file of kit/, cli/, express/, app/ and extensions/ that looks a text up goes into
po/POTFILES, which xgettext reads with the lookup functions as keywords. Texts the code looks up
from values rather than literals come along too: constants named by a lookup in the same file
(kUnknownItem), both texts of a choice (`cond ? "day" : "days"`), the fields of the validation
messages, and the names and setting labels of the shipped services list. Then every catalog (po/*.po) is merged with the new template, keeping its
translations.

With --check nothing is written: the exit code is 1 when the template is out of date or a
catalog lacks a translation, so the build can say so.
"""
import os
import plistlib
import re
import subprocess
import sys
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
PO = os.path.join(ROOT, "po")
FOLDERS = ["kit", "cli", "express", "app", "extensions"]
# The functions whose argument (at the position after the colon) is a message id.
KEYWORDS = ["QBYLocalizedString", "QBYLocalizedStringKey", "updatedText:1", "settingLabel:3",
            "addSection:1"]
LOOKUP = re.compile(r"QBYLocalizedString(?:Key)?\s*\(")
CONSTANT_LOOKUP = re.compile(r"QBYLocalizedString\s*\(\s*(k[A-Z]\w*)\s*\)")
# xgettext takes only the first text of a choice between two.
CHOICE = re.compile(r"QBYLocalizedString\s*\([^;()]*\?\s*\"((?:[^\"\\]|\\.)*)\"\s*:\s*\"((?:[^\"\\]|\\.)*)\"\s*\)")
CONSTANT = r"\b{}\s*=\s*\"((?:[^\"\\]|\\.)*)\""
# Field names the code builds lists of before looking them up (validation messages).
FIELD_NAMES = [
    ("kit/sync/QBYSyncManager.cpp", "Email"),
    ("kit/sync/QBYSyncManager.cpp", "Password"),
]


def sources():
    found = []
    for folder in FOLDERS:
        for base, dirs, files in os.walk(os.path.join(ROOT, folder)):
            dirs.sort()
            for name in sorted(files):
                if not name.endswith((".cpp", ".h")):
                    continue
                path = os.path.join(base, name)
                with open(path, encoding="utf-8", errors="replace") as f:
                    text = f.read()
                if LOOKUP.search(text):
                    found.append((os.path.relpath(path, ROOT), text))
    return found


def c_string(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n") + '"'


def extra_messages(files):
    """Lines of C that look up the texts found elsewhere, each after a reference comment."""
    lines = []
    for path, text in files:
        for name in sorted(set(CONSTANT_LOOKUP.findall(text))):
            candidates = [text]
            header = os.path.splitext(os.path.join(ROOT, path))[0] + ".h"
            if os.path.exists(header):
                with open(header, encoding="utf-8") as f:
                    candidates.append(f.read())
            for candidate in candidates:
                match = re.search(CONSTANT.format(name), candidate)
                if match:
                    lines.append(f"// {path}: {name}")
                    lines.append(f"QBYLocalizedString(\"{match.group(1)}\");")
                    break
    for path, text in files:
        for _, second in CHOICE.findall(text):
            lines.append(f"// {path}: the other text of a choice")
            lines.append(f"QBYLocalizedString(\"{second}\");")
    for path, field in FIELD_NAMES:
        lines.append(f"// {path}: a field of a validation message")
        lines.append(f"QBYLocalizedString({c_string(field)});")
    with open(os.path.join(ROOT, "resources/lists/Services.plist"), "rb") as f:
        services = plistlib.load(f)
    for service in services:
        for field in ("name", "shortName", "unsupportedReason"):
            if service.get(field):
                what = ("why a service cannot track yet" if field == "unsupportedReason" else
                        "the name of a carrier or shop (brand names stay as they are)")
                lines.append(f"// TRANSLATORS: {what}")
                lines.append(f"QBYLocalizedString({c_string(service[field])});")
        for setting in service.get("settings", []):
            if setting.get("name"):
                lines.append("// TRANSLATORS: a field a carrier or shop asks for")
                lines.append(f"QBYLocalizedString({c_string(setting['name'])});")
    return lines


def run(arguments):
    result = subprocess.run(arguments, cwd=ROOT, capture_output=True, text=True)
    # xgettext's reminder about a bug-report address concerns projects that use Makevars.
    noise = re.compile(r"msgid-bugs-address|Makevars|MSGID_BUGS_ADDRESS|specify an --msgid")
    for line in result.stderr.splitlines():
        if not noise.search(line):
            print(line, file=sys.stderr)
    if result.returncode != 0:
        sys.exit(f"{arguments[0]} failed")


def without_date(text):
    return re.sub(r'^"POT-Creation-Date: .*\\n"$', "", text, flags=re.M)


def main():
    check = "--check" in sys.argv[1:]
    files = sources()
    potfiles = "".join(path + "\n" for path, _ in files)
    template = os.path.join(PO, "porvane.pot")
    with tempfile.TemporaryDirectory() as work:
        extra = os.path.join(work, "resources-and-constants.cpp")
        with open(extra, "w", encoding="utf-8") as f:
            f.write("\n".join(extra_messages(files)) + "\n")
        listed = os.path.join(work, "POTFILES")
        with open(listed, "w", encoding="utf-8") as f:
            f.write(potfiles)
        output = os.path.join(work, "porvane.pot")
        arguments = ["xgettext", "--language=C++", "--from-code=UTF-8", "--add-comments=TRANSLATORS",
                     "--sort-by-file", "--package-name=Porvane",
                     "--files-from", listed, "--output", output]
        arguments += ["--keyword=" + k for k in KEYWORDS]
        run(arguments)
        # The generated part: join it so its references name the real sources.
        generated = os.path.join(work, "generated.pot")
        run(["xgettext", "--language=C++", "--from-code=UTF-8", "--add-comments",
             "--keyword=QBYLocalizedString", "--no-location", "--output",
             generated, extra])
        joined = os.path.join(work, "joined.pot")
        run(["msgcat", "--use-first", "--output-file", joined, output, generated])
        with open(joined, encoding="utf-8") as f:
            new = f.read()
        # xgettext leaves the charset open in a template.
        new = new.replace("charset=CHARSET", "charset=UTF-8")

        old = ""
        if os.path.exists(template):
            with open(template, encoding="utf-8") as f:
                old = f.read()
        old_potfiles = ""
        if os.path.exists(os.path.join(PO, "POTFILES")):
            with open(os.path.join(PO, "POTFILES"), encoding="utf-8") as f:
                old_potfiles = f.read()
        catalogs = sorted(n for n in os.listdir(PO) if n.endswith(".po"))
        if check:
            stale = without_date(old) != without_date(new) or old_potfiles != potfiles
            if stale:
                print("po/porvane.pot is out of date: run po/extract-messages.py", file=sys.stderr)
            missing = False
            for name in catalogs:
                with open(joined, "w", encoding="utf-8") as f:
                    f.write(new)
                result = subprocess.run(
                    ["msgcmp", "--use-untranslated", os.path.join(PO, name), joined],
                    cwd=ROOT, capture_output=True, text=True)
                if result.returncode != 0:
                    missing = True
                    print(result.stderr, file=sys.stderr, end="")
            return 1 if stale or missing else 0

        if without_date(old) != without_date(new):
            with open(template, "w", encoding="utf-8") as f:
                f.write(new)
        with open(os.path.join(PO, "POTFILES"), "w", encoding="utf-8") as f:
            f.write(potfiles)
        for name in catalogs:
            run(["msgmerge", "--quiet", "--update", "--backup=none", "--no-fuzzy-matching",
                 os.path.join(PO, name), template])
    return 0


if __name__ == "__main__":
    sys.exit(main())
