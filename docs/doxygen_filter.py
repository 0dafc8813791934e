"""Doxygen input filter: the headers' plain // contract comments become documentation.

The file's opening comment documents the file; a comment block above a declaration documents
that declaration; a comment after one on the same line documents it too. Doxygen's special
characters in the comments' text are escaped, so that a contract may say "<file> <id>" or "\\"
and mean just that.
"""
import re
import sys

SPECIAL = re.compile(r"([\\@&$#<>%])")
TRAILING = re.compile(r"^(\s*[^/\s].*?;)\s*//\s?(.*)$")


def escape(text):
    return SPECIAL.sub(r"\\\1", text)


def main():
    lines = open(sys.argv[1], encoding="utf-8").read().split("\n")
    out = []
    head = True
    for line in lines:
        stripped = line.lstrip()
        if head and stripped.startswith("//"):
            if not out:
                out.append("/// \\file")
            out.append("/// " + escape(stripped[2:].strip()))
            continue
        head = False
        if stripped.startswith("//"):
            indent = line[: len(line) - len(stripped)]
            out.append(indent + "/// " + escape(stripped[2:].strip()))
            continue
        m = TRAILING.match(line)
        if m:
            out.append(f"{m.group(1)}  ///< {escape(m.group(2))}")
            continue
        out.append(line)
    sys.stdout.write("\n".join(out))


if __name__ == "__main__":
    main()
