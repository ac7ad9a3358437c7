"""The manual pages say what the programs' --help says: every option of one is in the other,
each control command of the virtual printer is described, and the page names the version.

    check_man.py PROGRAM PAGE VERSION
"""

import re
import subprocess
import sys


def options(text):
    return set(re.findall(r"(?<![\w-])--[a-z][a-z0-9-]*", text))


def page_text(path):
    with open(path, encoding="utf-8") as f:
        troff = f.read()
    # Undo the escapes a man page needs: "\-" is a hyphen, "\fB" and the like change fonts.
    return re.sub(r"\\f[BIRP]", "", troff).replace("\\-", "-")


def main():
    program, page, version = sys.argv[1:4]
    result = subprocess.run([program, "--help"], stdout=subprocess.PIPE, text=True, timeout=60)
    if result.returncode != 0:
        sys.exit("FAILED: %s --help exited with %d" % (program, result.returncode))
    helptext, man = result.stdout, page_text(page)
    # Examples may show other programs' options; -h, --help is there whether listed or not.
    described = re.sub(r"^\.SH EXAMPLES\n.*?(?=^\.SH )", "", man, flags=re.S | re.M)
    described = described.replace("--help", "")
    helptext_options = options(helptext) - {"--help"}
    failures = []
    missing = helptext_options - options(described)
    if missing:
        failures.append("in --help but not in %s: %s" % (page, " ".join(sorted(missing))))
    stale = options(described) - helptext_options
    if stale:
        failures.append("in %s but not in --help: %s" % (page, " ".join(sorted(stale))))
    # Control commands of the virtual printer: the indented lines of "Commands:" in --help.
    block = re.search(r"\n  Commands:\n(.*?)\n\n", helptext, flags=re.S)
    if block:
        for line in block.group(1).splitlines():
            if not re.match(r" {4}\S", line):
                continue  # the description of the command above, continued
            for command in re.split(r"\s+\|\s+", re.split(r"\s{2,}", line.strip())[0]):
                if command and command not in man:
                    failures.append("command %r is not described in %s" % (command, page))
    if not re.search(r'^\.TH .*"vtldllxt %s"' % re.escape(version), man, flags=re.M):
        failures.append("%s does not name version %s in its .TH line" % (page, version))
    if failures:
        sys.exit("FAILED:\n  " + "\n  ".join(failures))
    print("%s: %d options, in step with --help" % (page, len(helptext_options)))


if __name__ == "__main__":
    main()
