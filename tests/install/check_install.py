"""The library as it is installed: `cmake --install` into a folder of the test's own, and three
programs built against that folder the way their authors would build them (C through pkg-config,
C++ through find_package, Python through pip into a virtual environment), each printing a receipt
on the installed virtual printer. Also: the shared library exports only the C interface.

    check_install.py STEP --build DIR --source DIR --work DIR [options]

STEP is install, exports, c, cpp or python; every step but install uses what install left in
WORK/prefix (CTest runs install first).
"""

import argparse
import glob
import os
import re
import select
import shutil
import subprocess
import sys
import time


def run(cmd, env=None, cwd=None, timeout=300):
    shown = " ".join(cmd)
    result = subprocess.run(cmd, env=env, cwd=cwd, timeout=timeout, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True)
    if result.returncode != 0:
        sys.exit("FAILED (%d): %s\n%s" % (result.returncode, shown, result.stdout))
    return result.stdout


def fail(message):
    sys.exit("FAILED: " + message)


class VirtualPrinter:
    """The installed printer-sim on a free TCP port, saving receipts in `out`."""

    def __init__(self, prefix, out, env):
        os.makedirs(out, exist_ok=True)
        self.out = out
        self.process = subprocess.Popen(
            [os.path.join(prefix, "bin", "printer-sim"), "--port", "0", "--out", out,
             "--no-stdin", "--quiet"], stdout=subprocess.PIPE, text=True, env=env)
        ready, _, _ = select.select([self.process.stdout], [], [], 30)
        line = self.process.stdout.readline() if ready else ""
        match = re.match(r"listening on (127\.0\.0\.1:\d+)", line)
        if not match:
            self.close()
            fail("printer-sim did not start: %r" % line)
        self.address = match.group(1)

    def receipt(self, timeout=30):
        """The text of the first receipt it cut."""
        end = time.monotonic() + timeout
        while time.monotonic() < end:
            found = sorted(glob.glob(os.path.join(self.out, "receipt-*.txt")))
            if found:
                with open(found[0], encoding="utf-8") as f:
                    text = f.read()
                if "cut" in text:
                    return text
            time.sleep(0.05)
        fail("the virtual printer printed no receipt in %s" % self.out)

    def close(self):
        self.process.terminate()
        try:
            self.process.wait(10)
        except subprocess.TimeoutExpired:
            self.process.kill()
            self.process.wait()


def check_receipt(text, language, version):
    # The table for Windows-1252 was selected: the accented capital and the euro print as such.
    for line in ("CAFÉ LA ESQUINA", "vtldllxt %s from %s" % (version, language),
                 "2 x Café con leche        3,20 €"):
        if line not in text:
            fail("the receipt from %s lacks %r:\n%s" % (language, line, text))
    if "full cut" not in text and "partial cut" not in text:
        fail("the receipt from %s was not cut:\n%s" % (language, text))


def print_with(args, language, command, env):
    printer = VirtualPrinter(args.prefix, os.path.join(args.work, language + "-out"), env)
    try:
        output = run(command + [printer.address], env=env, timeout=120)
        text = printer.receipt()
    finally:
        printer.close()
    check_receipt(text, language, args.version)
    print("%s: %s" % (language, output.strip().splitlines()[-1]))


def step_install(args):
    shutil.rmtree(args.work, ignore_errors=True)
    os.makedirs(args.work)
    run(["cmake", "--install", args.build, "--prefix", args.prefix])
    for path in ("lib/libvtldllxt.so.%s" % args.version.split(".")[0], "lib/libvtldllxt.a",
                 "include/vtldllxt.h", "include/vtldllxt.hpp", "bin/vtlprint", "bin/printer-sim",
                 "lib/pkgconfig/vtldllxt.pc", "lib/cmake/vtldllxt/vtldllxtConfig.cmake",
                 "share/man/man1/vtlprint.1", "share/man/man1/printer-sim.1"):
        if not os.path.exists(os.path.join(args.prefix, path)):
            fail("not installed: " + path)
    if not glob.glob(os.path.join(args.prefix, "lib", "python3*", "*-packages", "vtldllxt.py")):
        fail("the Python module was not installed")


def step_exports(args):
    major = args.version.split(".")[0]
    library = os.path.join(args.prefix, "lib", "libvtldllxt.so." + major)
    with open(os.path.join(args.prefix, "include", "vtldllxt.h")) as f:
        header = re.sub(r"/\*.*?\*/", "", f.read(), flags=re.S)
    declared = set(re.findall(r"\b(vtl_[a-z0-9_]+)\s*\(", header))
    exported, versions = set(), set()
    for line in run(["nm", "-D", "--defined-only", library]).splitlines():
        fields = line.split()
        if len(fields) < 3 or fields[1] == "A":
            continue  # the version node itself
        name, _, version = fields[2].partition("@@")
        exported.add(name)
        versions.add(version)
    if exported != declared:
        fail("the library exports what the header does not declare: %s; and lacks: %s"
             % (sorted(exported - declared)[:20], sorted(declared - exported)))
    if versions != {"VTLDLLXT_" + major}:
        fail("symbols carry versions %s" % sorted(versions))
    soname = re.search(r"SONAME\)\s+Library soname: \[(.*)\]", run(["readelf", "-d", library]))
    if not soname or soname.group(1) != "libvtldllxt.so." + major:
        fail("SONAME is %s" % (soname and soname.group(1)))
    print("exports: %d functions of vtldllxt.h, version VTLDLLXT_%s, SONAME libvtldllxt.so.%s"
          % (len(exported), major, major))


def tool_env(args, extra=None):
    env = dict(os.environ)
    env.pop("VTLDLLXT_LIBRARY", None)
    env.update(extra or {})
    return env


def step_c(args):
    env = tool_env(args, {"PKG_CONFIG_PATH": os.path.join(args.prefix, "lib", "pkgconfig")})
    flags = run(["pkg-config", "--cflags", "--libs", "vtldllxt"], env=env).split()
    libdir = run(["pkg-config", "--variable=libdir", "vtldllxt"], env=env).strip()
    program = os.path.join(args.work, "receipt-c")
    run([args.cc, "-std=c99", "-Wall", "-Werror", os.path.join(args.source, "examples",
                                                                "receipt.c"),
         "-o", program, "-Wl,-rpath," + libdir] + args.sanitize.split() + flags, env=env)
    print_with(args, "C", [program], env)


def step_cpp(args):
    env = tool_env(args)
    build = os.path.join(args.work, "cpp-build")
    run(["cmake", "-S", os.path.join(args.source, "examples", "cpp"), "-B", build,
         "-DCMAKE_PREFIX_PATH=" + args.prefix, "-DCMAKE_CXX_COMPILER=" + args.cxx,
         "-DCMAKE_CXX_FLAGS=-Wall -Werror " + args.sanitize,
         "-DCMAKE_EXE_LINKER_FLAGS=" + args.sanitize], env=env)
    run(["cmake", "--build", build], env=env)
    print_with(args, "C++", [os.path.join(build, "receipt")], env)


def step_python(args):
    env = tool_env(args, {"LD_PRELOAD": args.preload} if args.preload else {})
    env.pop("PYTHONPATH", None)
    # pip builds in the folder it is given: a copy keeps the source tree clean.
    source = os.path.join(args.work, "python-src")
    shutil.copytree(os.path.join(args.source, "python"), source)
    venv = os.path.join(args.work, "venv")
    run([args.python, "-m", "venv", "--system-site-packages", venv], env=env)
    python = os.path.join(venv, "bin", "python")
    run([python, "-m", "pip", "install", "--no-index", "--no-build-isolation", "--quiet",
         source], env=env)
    query = ("import vtldllxt, sys; print(vtldllxt.library_path()); print(vtldllxt.__version__); "
             "help(vtldllxt.clsPrnPort)")
    # Installed by pip into the environment: the library through the system's linker.
    linker_env = dict(env, LD_LIBRARY_PATH=os.path.join(args.prefix, "lib"))
    where, version, *described = run([python, "-c", query], env=linker_env,
                                     cwd=args.work).splitlines()
    if where != "libvtldllxt.so.0" or version != args.version:
        fail("pip's module loaded %s (version %s)" % (where, version))
    text = "\n".join(described)
    for member in ("Imprimir(self, tmpDatos", "InicializarRed(self, tmpIP", "OutBufferCount",
                   "NuevoEstado(tmpError: bool, tmpSinPapel: bool)", "DatosImpresos("):
        if member not in text:
            fail("help(clsPrnPort) does not show %r:\n%s" % (member, text[:2000]))
    # Installed by cmake: the library of its own prefix, with no help from the environment.
    modules = glob.glob(os.path.join(args.prefix, "lib", "python3*", "*-packages"))
    where = run([args.python, "-c", query], env=dict(env, PYTHONPATH=modules[0]),
                cwd=args.work).splitlines()[0]
    if where != os.path.join(args.prefix, "lib", "libvtldllxt.so.0"):
        fail("the installed module loaded %s" % where)
    print_with(args, "Python", [python, os.path.join(args.source, "python", "example_receipt.py")],
               linker_env)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("step", choices=["install", "exports", "c", "cpp", "python"])
    parser.add_argument("--build", required=True)
    parser.add_argument("--source", required=True)
    parser.add_argument("--work", required=True)
    parser.add_argument("--version", required=True)
    parser.add_argument("--cc", default="cc")
    parser.add_argument("--cxx", default="c++")
    parser.add_argument("--python", default="/usr/bin/python3")
    parser.add_argument("--sanitize", default="", help="compiler flags the library was built with")
    parser.add_argument("--preload", default="", help="LD_PRELOAD for the Python interpreter")
    args = parser.parse_args()
    args.prefix = os.path.join(args.work, "prefix")
    globals()["step_" + args.step](args)


if __name__ == "__main__":
    main()
