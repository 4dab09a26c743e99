#!/usr/bin/env python3
"""Prints catalogue entries: each line of standard input is NAME<TAB>English<TAB>Japanese,
written as a text::Phrase with the Japanese as code page 932 bytes (its UTF-8 in the comment)."""
import sys

HEX = set("0123456789abcdefABCDEF")


def literal(text):
    out, escaped = ['"'], False
    for b in text.encode("cp932"):
        c = chr(b)
        if 0x20 <= b < 0x7F and c not in '"\\':
            if escaped and c in HEX:
                out.append('" "')  # a hex escape would swallow this digit
            out.append(c)
            escaped = False
        else:
            out.append("\\x%02x" % b)
            escaped = True
    out.append('"')
    return "".join(out)


def english(text):
    return '"' + text.replace("\\", "\\\\").replace('"', '\\"') + '"'


for row in sys.stdin:
    if not row.strip():
        continue
    name, en, ja = row.rstrip("\n").split("\t")
    print('// "%s"' % ja)
    print("inline constexpr Phrase %s{\n    %s,\n    %s};" % (name, english(en), literal(ja)))
