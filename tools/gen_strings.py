#!/usr/bin/env python3
"""Generates the application's string tables from app/res/strings/*.json.

The JSON files are the only place the texts live. The build runs this script
(app/texts.cmake) and it writes two files into the build tree:

  --cpp FILE  a C++ source with every text of every language (the Linux
              build reads its texts from it; tests use it on both platforms)
  --rc FILE   a resource script with one LANGUAGE + STRINGTABLE block per
              language, for the Windows executable

Usage: gen_strings.py --cpp OUT.cpp --rc OUT.rc LANGUAGE.json...

Each JSON file holds one language:
  {"language": <Windows language id>, "name": "<English name>",
   "texts": {"<id>": "<UTF-8 text>", ...}}

The English file (language 9) is the reference: every other language must
have exactly its ids, and every %%NAME%% placeholder as often as English has
it. Any problem stops the build with a message naming the file and the id.
Only the Python standard library is used.
"""

import argparse
import json
import os
import re
import sys

ENGLISH = 9
# The product constants, and the values the program puts in at run time (the
# mouse's own firmware version, a number of seconds).
PLACEHOLDERS = ("%%DFU_PRODUCT_NAME%%", "%%DFU_PACKAGE_VERSION%%", "%%CURRENT_VERSION%%", "%%SECONDS%%")
PLACEHOLDER_PATTERN = re.compile(r"%%[A-Za-z0-9_]+%%")
# A string resource entry counts its length in one 16-bit word; resource
# compilers stop far earlier, so stay well below both.
MAX_TEXT_UNITS = 4096


class InputError(Exception):
    pass


def reject_duplicate_keys(pairs):
    seen = {}
    for key, value in pairs:
        if key in seen:
            raise InputError(f'key "{key}" appears twice')
        seen[key] = value
    return seen


def utf16_units(text):
    return len(text.encode("utf-16-le")) // 2


def load_language(path):
    name = os.path.basename(path)
    try:
        with open(path, encoding="utf-8") as f:
            doc = json.load(f, object_pairs_hook=reject_duplicate_keys)
    except OSError as e:
        raise InputError(f"{name}: cannot read: {e.strerror}") from None
    except UnicodeDecodeError as e:
        raise InputError(f"{name}: not UTF-8 ({e.reason} at byte {e.start})") from None
    except json.JSONDecodeError as e:
        raise InputError(f"{name}: not valid JSON: {e.msg} at line {e.lineno}, column {e.colno}") from None
    except InputError as e:
        raise InputError(f"{name}: {e}") from None

    if not isinstance(doc, dict):
        raise InputError(f"{name}: the top level must be an object")
    unknown = set(doc) - {"language", "name", "texts"}
    if unknown:
        raise InputError(f"{name}: unknown keys: {', '.join(sorted(unknown))}")
    language = doc.get("language")
    if not isinstance(language, int) or isinstance(language, bool) or not 1 <= language <= 0xFFFF:
        raise InputError(f'{name}: "language" must be a Windows language id between 1 and 65535')
    title = doc.get("name")
    if not isinstance(title, str) or not title:
        raise InputError(f'{name}: "name" must be a non-empty string')
    texts = doc.get("texts")
    if not isinstance(texts, dict) or not texts:
        raise InputError(f'{name}: "texts" must be a non-empty object')

    table = {}
    for key, text in texts.items():
        if not re.fullmatch(r"[0-9]{1,5}", key) or int(key) > 0xFFFF:
            raise InputError(f'{name}: text id "{key}" is not a number between 0 and 65535')
        if not isinstance(text, str) or not text:
            raise InputError(f"{name}: text {key} must be a non-empty string")
        if "\0" in text:
            raise InputError(f"{name}: text {key} contains a NUL character")
        if any(0xD800 <= ord(c) <= 0xDFFF for c in text):
            raise InputError(f"{name}: text {key} contains an unpaired surrogate")
        if utf16_units(text) > MAX_TEXT_UNITS:
            raise InputError(f"{name}: text {key} is longer than {MAX_TEXT_UNITS} UTF-16 units")
        for token in PLACEHOLDER_PATTERN.findall(text):
            if token not in PLACEHOLDERS:
                raise InputError(f"{name}: text {key} has the unknown placeholder {token}")
        table[int(key)] = text
    return {"file": name, "language": language, "name": title, "texts": table}


def check_against_english(languages):
    by_id = {}
    for lang in languages:
        other = by_id.get(lang["language"])
        if other:
            raise InputError(f"{lang['file']}: language {lang['language']} is already defined by {other['file']}")
        by_id[lang["language"]] = lang
    english = by_id.get(ENGLISH)
    if english is None:
        raise InputError(f"no file defines English (language {ENGLISH}), which every other language falls back to")

    for lang in languages:
        if lang is english:
            continue
        missing = sorted(set(english["texts"]) - set(lang["texts"]))
        extra = sorted(set(lang["texts"]) - set(english["texts"]))
        if missing:
            raise InputError(f"{lang['file']}: texts missing: {', '.join(map(str, missing))}")
        if extra:
            raise InputError(f"{lang['file']}: texts that English does not have: {', '.join(map(str, extra))}")
        for text_id, source in english["texts"].items():
            for placeholder in PLACEHOLDERS:
                want = source.count(placeholder)
                have = lang["texts"][text_id].count(placeholder)
                if want != have:
                    raise InputError(
                        f"{lang['file']}: text {text_id} has {placeholder} {have} time(s), English has it {want} time(s)")
    return sorted(languages, key=lambda lang: lang["language"])


def cpp_literal(text):
    out = []
    for byte in text.encode("utf-8"):
        ch = chr(byte)
        if ch in '"\\':
            out.append("\\" + ch)
        elif 0x20 <= byte < 0x7F:
            out.append(ch)
        else:
            # Octal escapes take at most three digits, so a following digit
            # cannot be swallowed the way it would by \x.
            out.append(f"\\{byte:03o}")
    return '"' + "".join(out) + '"'


def rc_literal(text):
    # Only ASCII in the script, so every resource compiler reads it the same
    # way whatever its code page; \x takes exactly four hex digits here.
    encoded = text.encode("utf-16-le")
    out = []
    for offset in range(0, len(encoded), 2):
        unit = int.from_bytes(encoded[offset:offset + 2], "little")
        if unit == ord('"'):
            out.append('""')
        elif unit == ord("\\"):
            out.append("\\\\")
        elif 0x20 <= unit < 0x7F:
            out.append(chr(unit))
        else:
            out.append(f"\\x{unit:04X}")
    return 'L"' + "".join(out) + '"'


def generate_cpp(languages):
    lines = [
        "// Generated by tools/gen_strings.py from app/res/strings/*.json: edit those, not this file.",
        '#include "app/StringTableData.h"',
        "",
        "namespace mirel {",
        "",
        "namespace {",
        "",
        "// Sorted by language, then id.",
        "constexpr StringTableEntry kEntries[] = {",
    ]
    for lang in languages:
        for text_id in sorted(lang["texts"]):
            lines.append(f"    {{{lang['language']}, {text_id}, {cpp_literal(lang['texts'][text_id])}}},")
    lines += [
        "};",
        "",
        "}  // namespace",
        "",
        "std::span<const StringTableEntry> BuiltInStringTable() { return kEntries; }",
        "",
        "}  // namespace mirel",
        "",
    ]
    return "\n".join(lines)


def generate_rc(languages):
    lines = [
        "// Generated by tools/gen_strings.py from app/res/strings/*.json: edit those, not this file.",
        "// Non-ASCII characters are written as UTF-16 escapes.",
    ]
    for lang in languages:
        language = lang["language"]
        title = lang["name"].encode("ascii", "backslashreplace").decode("ascii")
        lines += [
            "",
            f"// {title} ({language})",
            f"LANGUAGE 0x{language & 0x3FF:02X}, 0x{language >> 10:02X}",
            "STRINGTABLE",
            "BEGIN",
        ]
        for text_id in sorted(lang["texts"]):
            lines.append(f"    {text_id}, {rc_literal(lang['texts'][text_id])}")
        lines.append("END")
    lines += [
        "",
        "// A LANGUAGE statement holds for the rest of an including script: leave",
        "// whatever follows language-neutral rather than in the last language above.",
        "LANGUAGE 0x00, 0x00",
        "",
    ]
    return "\n".join(lines)


def write(path, content):
    with open(path, "w", encoding="ascii", newline="\n") as f:
        f.write(content)


def main(argv):
    parser = argparse.ArgumentParser(description="Generate the string tables from the per-language JSON files.")
    parser.add_argument("--cpp", required=True, help="C++ source to write")
    parser.add_argument("--rc", required=True, help="resource script to write")
    parser.add_argument("inputs", nargs="+", help="one JSON file per language")
    args = parser.parse_args(argv)
    try:
        languages = check_against_english([load_language(path) for path in args.inputs])
        cpp = generate_cpp(languages)
        rc = generate_rc(languages)
        write(args.cpp, cpp)
        write(args.rc, rc)
    except InputError as e:
        print(f"gen_strings.py: error: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"gen_strings.py: error: cannot write {e.filename}: {e.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
