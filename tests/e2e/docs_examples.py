#!/usr/bin/env python3
"""The examples of docs/app-authors.md, for docs_e2e.sh.

Every ```js block of the document is an example. The ```output block right
after it holds the text the example prints with console.log, line by line;
a ```stderr block holds lines that TESSEL_TRACE=1 must print, where "…"
stands for any text.

  docs_examples.py page DOC HTML   writes the page that runs every example in
                                   order, its script inline
  docs_examples.py check DOC LOG   compares the runtime's standard error with
                                   the document; prints each difference and
                                   exits 1 when there is one
"""
import re
import sys

FENCE = re.compile(r"^```(\w*)\s*$")
CONSOLE = re.compile(r"^tessel: console\.\w+ \S+: (.*)$")


def examples(doc):
    """[(code, output lines or None, stderr lines)] in document order."""
    blocks, kind, lines = [], None, []
    for line in open(doc, encoding="utf-8").read().splitlines():
        match = FENCE.match(line)
        if kind is None and match:
            kind, lines = match.group(1), []
        elif kind is not None and line.strip() == "```":
            blocks.append((kind, lines))
            kind = None
        elif kind is not None:
            lines.append(line)
    found = []
    for kind, lines in blocks:
        if kind == "js":
            found.append(["\n".join(lines), None, []])
        elif kind == "output" and found and found[-1][1] is None:
            found[-1][1] = lines
        elif kind == "stderr" and found:
            found[-1][2] = lines
    return found


def page(doc, html):
    # Inline, so that errors name index.html; "</" would end the script.
    runs = ",\n".join("async () => {\n%s\n}" % code.replace("</", "<\\/")
                       for code, _, _ in examples(doc))
    with open(html, "w", encoding="utf-8") as out:
        out.write("""<!DOCTYPE html>
<html lang="en"><head><meta charset="utf-8"><title>Docs e2e</title></head>
<body><script>
addEventListener("resize", () => console.log("resized " + innerWidth + "x" + innerHeight));
const examples = [
%s
];
(async () => {
  for (let i = 0; i < examples.length; i++) {
    console.log("example " + (i + 1) + " begins");
    try {
      await examples[i]();
    } catch (error) {
      console.log("example threw: " + error);
    }
    console.log("example " + (i + 1) + " ends");
  }
  console.log("examples done");
})();
</script></body></html>
""" % runs)


def check(doc, log):
    lines = open(log, encoding="utf-8", errors="replace").read().splitlines()
    printed, current = {}, None
    for line in lines:
        match = CONSOLE.match(line)
        if not match:
            continue
        text = match.group(1)
        marker = re.match(r"^example (\d+) (begins|ends)$", text)
        if marker:
            current = int(marker.group(1)) if marker.group(2) == "begins" else None
            if current:
                printed[current] = []
        elif current is not None and not text.startswith("resized "):
            printed[current].append(text)
    problems = []
    for number, (code, output, stderr) in enumerate(examples(doc), 1):
        first = code.splitlines()[0]
        if number not in printed:
            problems.append("example %d (%s) did not run" % (number, first))
            continue
        if output is not None and printed[number] != output:
            problems.append("example %d (%s) printed %r, the document says %r"
                            % (number, first, printed[number], output))
        for expected in stderr:
            pattern = re.compile("^" + ".*".join(map(re.escape, expected.split("…"))) + "$")
            if not any(pattern.match(line) for line in lines):
                problems.append("example %d (%s): no line %r on stderr" % (number, first, expected))
    for problem in problems:
        print("FAIL: " + problem)
    print("%d examples checked" % len(examples(doc)))
    return 1 if problems else 0


if __name__ == "__main__":
    if len(sys.argv) != 4 or sys.argv[1] not in ("page", "check"):
        sys.exit(__doc__)
    if sys.argv[1] == "page":
        page(sys.argv[2], sys.argv[3])
    else:
        sys.exit(check(sys.argv[2], sys.argv[3]))
