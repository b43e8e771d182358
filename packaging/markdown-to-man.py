#!/usr/bin/env python3
"""Turns the user pages of the manual (docs/*.md) into sections of
korvanthelm-pack(1), so the man page and the pages are one text.

    markdown-to-man.py PAGE.md...   (roff on standard output)

Only the Markdown the pages use is understood: headings, paragraphs, bullet
and numbered lists (with indented continuation lines and code blocks), fenced
code blocks, tables, `code`, **bold** and [links](target). A page's first
heading becomes a .SH section, the others .SS subsections. Anything else is
printed as text, never as a roff request: a line that would start with a dot
or a quote is escaped, as are backslashes and minus signs (so an option
copied from the page is ASCII)."""

import re
import sys


def escape(text):
    text = text.replace("\\", "\\e").replace("-", "\\-")
    return text


def inline(text):
    """Markdown inline markup as roff fonts; the text escaped."""
    out = []
    position = 0
    for match in re.finditer(r"`([^`]*)`|\*\*([^*]+)\*\*|\[([^\]]+)\]\([^)]*\)", text):
        out.append(escape(text[position:match.start()]))
        code, bold, link = match.groups()
        if code is not None:
            out.append("\\fB" + escape(code) + "\\fR")
        elif bold is not None:
            out.append("\\fB" + inline(bold) + "\\fR")
        else:
            out.append(inline(link))
        position = match.end()
    out.append(escape(text[position:]))
    return "".join(out)


def guard(line):
    """A text line that roff never reads as a request."""
    return "\\&" + line if line[:1] in (".", "'") else line


def table(rows):
    """A table as tagged paragraphs: the first cell is the tag; a cell that is
    just "x" names its column, other cells are text."""
    cells = [[cell.strip() for cell in row.strip().strip("|").split("|")] for row in rows]
    header, body = cells[0], [row for row in cells[2:]]
    lines = []
    for row in body:
        marked = [header[i] for i, cell in enumerate(row) if i > 0 and cell == "x"]
        texts = [cell for i, cell in enumerate(row) if i > 0 and cell and cell != "x"]
        lines.append(".TP")
        lines.append(guard(inline(row[0])))
        text = " ".join(texts)
        if marked:
            text = "(" + ", ".join(marked) + ") " + text
        lines.append(guard(inline(text)))
    return lines


def convert(markdown):
    out = []
    lines = markdown.split("\n")
    first_heading = True
    index = 0
    in_list = False
    while index < len(lines):
        line = lines[index]
        stripped = line.strip()
        indent = len(line) - len(line.lstrip(" "))
        if not stripped:
            index += 1
            continue
        if stripped.startswith("```"):
            fence_indent = indent
            index += 1
            out.append(".RS 4" if not in_list else ".RS 2")
            out.append(".nf")
            while index < len(lines) and not lines[index].strip().startswith("```"):
                code = lines[index][fence_indent:] if lines[index][:fence_indent].isspace() else lines[index]
                out.append(guard(escape(code)))
                index += 1
            out.append(".fi")
            out.append(".RE")
            index += 1
            continue
        heading = re.match(r"^(#+)\s+(.*)$", line)
        if heading:
            in_list = False
            title = heading.group(2)
            if first_heading:
                out.append('.SH "' + inline(title).upper().replace('"', "") + '"')
                first_heading = False
            else:
                out.append('.SS "' + inline(title).replace('"', "") + '"')
            index += 1
            continue
        if stripped.startswith("|"):
            rows = []
            while index < len(lines) and lines[index].strip().startswith("|"):
                rows.append(lines[index])
                index += 1
            out.extend(table(rows))
            in_list = False
            continue
        item = re.match(r"^(\s*)(- |\d+\. )(.*)$", line)
        if item and indent < 4:
            marker = item.group(2).strip()
            nested = indent >= 2
            if nested:
                out.append(".RS 2")
            out.append(".IP \\(bu 2" if marker == "-" else ".IP " + marker + " 4")
            text = [item.group(3)]
            index += 1
            # The item's lines go on while indented and not a block of their own.
            while index < len(lines):
                following = lines[index]
                if (not following.strip() or not following.startswith(" ")
                        or following.strip().startswith("```")
                        or re.match(r"^\s*(- |\d+\. )", following)):
                    break
                text.append(following.strip())
                index += 1
            out.append(guard(inline(" ".join(text))))
            if nested:
                out.append(".RE")
            in_list = True
            continue
        # A paragraph: its lines up to a blank line or a block of another kind.
        text = []
        while index < len(lines):
            following = lines[index]
            if (not following.strip() or following.strip().startswith(("```", "|", "#"))
                    or re.match(r"^\s{0,3}(- |\d+\. )", following)):
                break
            text.append(following.strip())
            index += 1
        out.append(".IP \"\" 2" if in_list and indent >= 2 else ".PP")
        if not (in_list and indent >= 2):
            in_list = False
        out.append(guard(inline(" ".join(text))))
    return out


def main():
    if len(sys.argv) < 2:
        print("usage: markdown-to-man.py PAGE.md...", file=sys.stderr)
        return 2
    for path in sys.argv[1:]:
        with open(path, encoding="utf-8") as page:
            sys.stdout.write("\n".join(convert(page.read())) + "\n")
    return 0


if __name__ == "__main__":
    sys.exit(main())
