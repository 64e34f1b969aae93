#!/usr/bin/env python3
"""Renders the user guide (a small subset of Markdown) as one HTML page.

Handles what docs/user-guide.md uses: headings, paragraphs, bullet lists
(with continuation lines and fenced code inside items), fenced code blocks,
pipe tables, images, links, `code`, **bold** and *italic*. Nothing is fetched.

usage: md2html.py INPUT.md OUTPUT.html [TITLE]
"""
import html
import re
import sys

INLINE = [
    (re.compile(r"!\[([^\]]*)\]\(([^)\s]+)\)"), lambda m: '<img src="%s" alt="%s">' % (m[2], m[1])),
    (re.compile(r"\[([^\]]+)\]\(([^)\s]+)\)"), lambda m: '<a href="%s">%s</a>' % (m[2], m[1])),
    (re.compile(r"\*\*([^*]+)\*\*"), lambda m: "<strong>%s</strong>" % m[1]),
    (re.compile(r"(?<![\w*])\*([^*\s][^*]*)\*(?![\w*])"), lambda m: "<em>%s</em>" % m[1]),
]


def inline(text):
    # Code spans first, kept away from the other rules.
    parts = re.split(r"(`[^`]*`)", text)
    out = []
    for part in parts:
        if part.startswith("`") and part.endswith("`") and len(part) >= 2:
            out.append("<code>%s</code>" % html.escape(part[1:-1]))
            continue
        s = html.escape(part, quote=False)
        for rule, repl in INLINE:
            s = rule.sub(repl, s)
        out.append(s)
    return "".join(out)


def table(rows):
    cells = [[c.strip() for c in r.strip().strip("|").split("|")] for r in rows]
    head, body = cells[0], cells[2:]
    out = ["<table>", "<tr>" + "".join("<th>%s</th>" % inline(c) for c in head) + "</tr>"]
    for r in body:
        out.append("<tr>" + "".join("<td>%s</td>" % inline(c) for c in r) + "</tr>")
    out.append("</table>")
    return "\n".join(out)


def render(lines):
    out = []
    i = 0
    para = []

    def flush():
        if para:
            out.append("<p>%s</p>" % inline(" ".join(para)))
            para.clear()

    while i < len(lines):
        line = lines[i]
        stripped = line.strip()
        if not stripped:
            flush()
            i += 1
        elif stripped.startswith("```"):
            flush()
            j = i + 1
            indent = len(line) - len(line.lstrip())
            code = []
            while j < len(lines) and not lines[j].strip().startswith("```"):
                code.append(lines[j][indent:] if lines[j][:indent].strip() == "" else lines[j])
                j += 1
            out.append("<pre><code>%s</code></pre>" % html.escape("\n".join(code)))
            i = j + 1
        elif re.match(r"#{1,6} ", stripped):
            flush()
            level = len(stripped) - len(stripped.lstrip("#"))
            text = stripped[level:].strip()
            anchor = re.sub(r"[^a-z0-9]+", "-", text.lower()).strip("-")
            out.append('<h%d id="%s">%s</h%d>' % (level, anchor, inline(text), level))
            i += 1
        elif stripped.startswith("|") and i + 1 < len(lines) and re.match(r"\|[\s:|-]+\|$", lines[i + 1].strip()):
            flush()
            j = i
            while j < len(lines) and lines[j].strip().startswith("|"):
                j += 1
            out.append(table(lines[i:j]))
            i = j
        elif re.match(r"[-*] ", stripped):
            flush()
            items = []
            while i < len(lines) and (re.match(r"\s*[-*] ", lines[i]) or
                                      (lines[i].startswith("  ") and items) or
                                      (not lines[i].strip() and i + 1 < len(lines) and
                                       (lines[i + 1].startswith("  ") or re.match(r"[-*] ", lines[i + 1])) and
                                       items)):
                if re.match(r"[-*] ", lines[i]):
                    items.append([lines[i][2:]])
                else:
                    items[-1].append(lines[i][2:] if lines[i].startswith("  ") else "")
                i += 1
            out.append("<ul>")
            for item in items:
                body = render(item)
                # A single paragraph item needs no <p>.
                single = body.startswith("<p>") and body.endswith("</p>") and body.count("<p>") == 1 and "\n" not in body
                out.append("<li>%s</li>" % (body[3:-4] if single else body))
            out.append("</ul>")
        else:
            para.append(stripped)
            i += 1
    flush()
    return "\n".join(out)


STYLE = """
body { font-family: "Liberation Sans", Arial, sans-serif; max-width: 52em; margin: 2em auto; padding: 0 1em;
       color: #2a3038; line-height: 1.45; }
h1, h2 { color: #1f5a8c; }
code { background: #eef2f6; padding: 0 .2em; }
pre { background: #eef2f6; padding: .6em 1em; overflow-x: auto; }
table { border-collapse: collapse; }
td, th { border: 1px solid #b6c4d2; padding: .3em .6em; text-align: left; vertical-align: top; }
img { max-width: 100%; border: 1px solid #b6c4d2; margin: .5em 0; display: block; }
"""


def main():
    if len(sys.argv) < 3:
        sys.stderr.write(__doc__)
        return 64
    with open(sys.argv[1], encoding="utf-8") as f:
        lines = f.read().splitlines()
    title = sys.argv[3] if len(sys.argv) > 3 else "salvor user guide"
    page = ('<!DOCTYPE html>\n<html lang="en">\n<head>\n<meta charset="utf-8">\n<title>%s</title>\n'
            "<style>%s</style>\n</head>\n<body>\n%s\n</body>\n</html>\n") % (html.escape(title), STYLE, render(lines))
    with open(sys.argv[2], "w", encoding="utf-8") as f:
        f.write(page)
    return 0


if __name__ == "__main__":
    sys.exit(main())
