#!/usr/bin/env python3
"""`korvanthelm-pack try` on one table of exes, each built with
`korvanthelm-pack build` around a set-up program that keeps or breaks one
part of its contract (try_setup.exe and its modes; the demo's own set-up
program for the correct row). Each row runs `try --json` once, with HOME and
TMPDIR fresh and empty and the Wine prefix cached in the work folder, and
asserts the document, the text report on standard error, the exit status,
that `try` ended well within its time limit, and that HOME and TMPDIR are
empty again afterwards: nothing left outside the cache and --keep, and the
prefix without the run's drive letters and without Z:. Then a
run interrupted midway (SIGINT, SIGTERM, SIGHUP while a start runs) must end
of that signal, with no process of the prefix left and its world removed."""
import argparse
import hashlib
import json
import os
import pwd
import shutil
import signal
import subprocess
import sys
import time

ZEROS = "0" * 64


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def check_correct(doc, text, d):
    assert doc["ok"] is True, doc
    assert doc["second_start"] == "handed over", doc["second_start"]
    assert [s["setup_program"] and s["setup_program"]["arguments"] for s in doc["starts"]] == [
        "--setup", None, "--update"], doc["starts"]
    assert [s["work_directory"] for s in doc["starts"]] == ["removed", "none", "removed"]
    assert all(not s["faults"] and not s["message_boxes"] for s in doc["starts"]), doc["starts"]
    assert doc["setup_side"]["problems"] == [], doc["setup_side"]
    # The program handed over to, as a path: no quotes of its command line.
    handed_over_to = doc["starts"][1]["handed_over_to"]
    assert handed_over_to == doc["setup_side"]["launcher_record"], handed_over_to
    assert "OK: all three starts behave as README says" in text, text
    assert "; update.request removed" in text, text


def check_broken_side(problem_start, expected_build):
    def check(doc, text, d):
        assert doc["ok"] is False
        problems = doc["setup_side"]["problems"]
        assert len(problems) == 1 and problems[0].startswith(problem_start.format(**d)), problems
        assert doc["second_start"] == "unpacked again, because " + problems[0], doc["second_start"]
        assert doc["starts"][0]["faults"] == [], doc["starts"][0]
        assert doc["starts"][1]["setup_program"]["arguments"] == "--setup"
        build = expected_build and expected_build.format(**d)
        assert doc["setup_side"]["launcher_build"] == build, doc["setup_side"]
        assert "  FAILED: " + problems[0] in text, text
        assert "Second start: " in text and "FAILED: unpacked again, because " in text, text
        assert "FAILED: not all three starts behave as README says" in text, text
    return check


def check_exit7(doc, text, d):
    first = doc["starts"][0]
    assert doc["ok"] is False
    assert first["exit_code"] == 1, first
    assert first["setup_program"] == {"arguments": "--setup", "exit_code": 7}, first
    [box] = first["message_boxes"]
    assert box["caption"] == "KORVANTHELM" and "(код 7)" in box["text"], box
    assert "the set-up program ended with exit code 7" in first["faults"], first
    assert first["work_directory"] == "removed", first
    assert 'message box "Не удалось запустить лаунчер (код 7)' in text, text
    assert doc["setup_side"]["problems"][0].startswith("no launcher record"), doc["setup_side"]
    assert doc["starts"][2]["faults"][-1].startswith("update.request is still there"), doc["starts"]
    assert "; update.request left" in text, text


def check_never_ends(doc, text, d):
    first = doc["starts"][0]
    assert doc["ok"] is False
    assert first["timed_out"] is True and first["exit_code"] is None, first
    assert first["setup_program"]["arguments"] == "--setup", first
    assert [s["ran"] for s in doc["starts"]] == [True, False, False], doc["starts"]
    assert doc["second_start"] is None, doc["second_start"]
    # The watcher ends it at the limit; the packer's own wait is only the
    # fallback, 30 s later.
    assert first["wall_ms"] < 14000, first
    assert first["work_directory"] == "left", first
    assert "did not end within 4 s, ended by try" in text, text
    assert "Second start: not run, an earlier start did not end" in text, text


def check_breakpoint(doc, text, d):
    first = doc["starts"][0]
    assert doc["ok"] is False
    crash = "the set-up program crashed: exception 0x80000003 (a breakpoint nobody handled)"
    assert crash in first["faults"], first
    assert first["setup_program"]["exit_code"] == 0x80000003, first
    assert first["crashes"] == [{"command_line": first["crashes"][0]["command_line"],
                                 "exception_code": 0x80000003}], first
    assert first["crashes"][0]["command_line"].endswith('\\KORVANTHELM\\KORVANTHELM.exe" --setup')
    # The contract was kept before the crash: the second start hands over.
    assert doc["setup_side"]["problems"] == [], doc["setup_side"]
    assert doc["second_start"] == "handed over", doc["second_start"]
    assert "  FAILED: " + crash in text, text


def windows_user():
    return pwd.getpwuid(os.getuid()).pw_name


def check_outside(doc, text, d):
    assert doc["ok"] is False
    assert doc["setup_side"]["problems"] == [], doc["setup_side"]
    home = os.path.join(d["cache"], "korvanthelm", "home", "try-outside.txt")
    expected = [f"C:\\users\\{windows_user()}\\try-outside.txt", "C:\\windows\\try-outside.txt",
                "HKEY_CURRENT_USER\\Software\\KorvanthelmTryOutside", home]
    assert doc["outside_world"] == expected, doc["outside_world"]
    for written in expected:
        assert "  FAILED: written outside its world: " + written in text, text


def check_real_home(doc, text, d):
    # Z: is gone: the write into the user's own folder fails and leaves
    # nothing, and the run is judged on the contract it kept.
    assert not os.path.exists(d["target_file"]), d["target_file"]
    assert os.listdir(os.path.dirname(d["target_file"])) == []
    assert doc["ok"] is True, doc
    assert doc["outside_world"] == [], doc["outside_world"]
    assert "OK: all three starts behave as README says" in text, text


def check_unix_home(doc, text, d):
    # Wine's \\?\unix\ names reach any Linux path, the real home (the HOME
    # try was started with) among them; try keeps that home read-only for
    # Wine, so the write fails as on a read-only disk and leaves nothing, and
    # the run is judged, as for any write that failed, on the contract the
    # program kept.
    assert not os.path.exists(d["target_file"]), d["target_file"]
    assert doc["warnings"] == [], doc["warnings"]
    assert doc["ok"] is True, doc
    assert doc["outside_world"] == [], doc["outside_world"]
    assert "OK: all three starts behave as README says" in text, text
    assert "warning" not in text, text


def check_beside_exe(doc, text, d):
    # X: is the exe's folder: what is written there stays, and is reported.
    assert os.path.isfile(d["target_file"]), d["target_file"]
    assert doc["ok"] is False
    assert doc["setup_side"]["problems"] == [], doc["setup_side"]
    assert doc["outside_world"] == [d["target_file"]], doc["outside_world"]
    assert "  FAILED: written outside its world: " + d["target_file"] in text, text


def check_outlives(doc, text, d):
    assert doc["ok"] is False
    for start in (doc["starts"][0], doc["starts"][2]):
        [left] = start["outlived"]
        assert left.endswith('\\KORVANTHELM\\KORVANTHELM.exe" --linger'), start
        assert "still running after the start, ended by try: " + left in start["faults"], start
    assert doc["starts"][1]["outlived"] == [], doc["starts"][1]
    assert "  FAILED: still running after the start, ended by try: " in text, text


def check_shouting(doc, text, d):
    assert doc["ok"] is False
    record = doc["setup_side"]["launcher_record"]
    assert record.endswith("KorvanThelmLauncher.exe\x1b[2J\a\b"), record
    boxes = [box for start in doc["starts"] for box in start["message_boxes"]]
    assert {"caption": "KORVANTHELM\x1b", "text": "\x1b[31mred\a\b\tand a tab"} in boxes, boxes
    for raw in ("\x1b", "\a", "\b"):
        assert raw not in text, text
    assert "KorvanThelmLauncher.exe\\x1b[2J\\x07\\x08" in text, text
    assert 'message box "\\x1b[31mred\\x07\\x08\\x09and a tab"' in text, text


# mode, --timeout, exit status, check. "demo": the demo tree as it is.
ROWS = [
    ("demo", 60, 0, check_correct),
    ("wrong_build", 60, 1, check_broken_side(
        "app\\launcher.build does not hold LauncherJarDigest: it holds \"" + ZEROS + "\", not {jar}",
        ZEROS)),
    ("other_jar", 60, 1, check_broken_side(
        "the launcher jar is not the one this exe was built with (LauncherJarDigest): "
        "installed {other_jar}, built with {jar}", "{jar}")),
    ("other_exe", 60, 1, check_broken_side(
        "the launcher exe is not the one this exe was built with (LauncherExeDigest): "
        "installed {other_jar}, built with {setup}", "{jar}")),
    ("no_record", 60, 1, check_broken_side(
        "no launcher record: %APPDATA%\\KORVANTHELM\\launcher.path", None)),
    ("exit7", 60, 1, check_exit7),
    ("never_ends", 4, 1, check_never_ends),
    ("breakpoint", 60, 1, check_breakpoint),
    ("outside", 60, 1, check_outside),
    ("real_home", 60, 0, check_real_home),
    ("unix_home", 60, 0, check_unix_home),
    ("beside_exe", 60, 1, check_beside_exe),
    ("outlives", 60, 1, check_outlives),
    ("shouting", 60, 1, check_shouting),
]


def wine_processes(prefix):
    """The processes of the Wine prefix `prefix` still running."""
    found = []
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            with open(f"/proc/{pid}/environ", "rb") as f:
                if b"WINEPREFIX=" + prefix.encode() + b"\0" in f.read() + b"\0":
                    found.append(int(pid))
        except OSError:
            pass
    return found


def write_target(args, root, mode):
    """The file the real_home, unix_home and beside_exe rows' set-up program
    writes (a Linux path), and the path it is told (a Windows one); None
    otherwise."""
    if mode == "real_home":
        # A folder of the user's, outside the exe's folder, HOME and TMPDIR.
        folder = os.path.join(args.work, "real-home-target")
        shutil.rmtree(folder, ignore_errors=True)
        os.makedirs(folder)
        target = os.path.join(folder, "written.txt")
        return target, "Z:" + target.replace("/", "\\")
    if mode == "beside_exe":
        return os.path.join(root, "try-beside.txt"), "X:\\try-beside.txt"
    if mode == "unix_home":
        # The HOME run_row gives try: the real home as try sees it.
        target = os.path.join(root, "home", "written.txt")
        return target, "\\\\?\\unix" + target.replace("/", "\\")
    return None, None


def make_tree(root, mode, setup, jar, target=None):
    tree = os.path.join(root, "tree")
    app = os.path.join(tree, "KORVANTHELM", "launcher", "app")
    os.makedirs(app)
    shutil.copyfile(setup, os.path.join(tree, "KORVANTHELM", "KORVANTHELM.exe"))
    shutil.copyfile(setup, os.path.join(tree, "KORVANTHELM", "launcher", "KorvanThelmLauncher.exe"))
    shutil.copyfile(jar, os.path.join(app, "KorvanThelm.jar"))
    with open(jar, "rb") as f, open(os.path.join(app, "other.jar"), "wb") as out:
        out.write(f.read() + b"another build")
    with open(os.path.join(app, "launcher.build"), "w") as f:
        f.write(sha256(jar) + "\n")
    with open(os.path.join(tree, "KORVANTHELM", "try-mode.txt"), "w") as f:
        f.write(mode)
    if target:
        with open(os.path.join(tree, "KORVANTHELM", "try-target.txt"), "w", encoding="utf-8") as f:
            f.write(target)
    return tree


def run_row(args, mode, timeout, status, check):
    root = os.path.join(args.work, mode)
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    target_file, target = write_target(args, root, mode)
    tree = (args.demo_tree if mode == "demo" else
            make_tree(root, mode, args.setup, args.jar, target))
    exe = os.path.join(root, "KORVANTHELM.exe")
    subprocess.run([args.packer, "build", tree, "-o", exe], check=True, capture_output=True)
    home, tmp = os.path.join(root, "home"), os.path.join(root, "tmp")
    os.makedirs(home)
    os.makedirs(tmp)
    env = dict(os.environ, HOME=home, TMPDIR=tmp, XDG_CACHE_HOME=os.path.join(args.work, "cache"))
    # One row keeps its world, to show what the set-up program left.
    keep = os.path.join(root, "keep") if mode == "wrong_build" else None
    started = time.monotonic()
    run = subprocess.run([args.packer, "try", exe, "--timeout", str(timeout), "--json"] +
                         (["--keep", keep] if keep else []), env=env,
                         capture_output=True, timeout=3 * timeout + 120)
    took = time.monotonic() - started
    text = run.stderr.decode("utf-8")
    print(f"--- {mode}: exit {run.returncode} in {took:.1f} s\n{text}", flush=True)
    assert run.returncode == status, (run.returncode, status)
    doc = json.loads(run.stdout)
    digests = {"jar": sha256(args.jar), "setup": sha256(args.setup), "other_jar": sha256(os.path.join(tree, "KORVANTHELM",
                                                                           "launcher", "app",
                                                                           "other.jar"))
               if mode != "demo" else None, "cache": os.path.join(args.work, "cache"),
               "target_file": target_file}
    check(doc, text, digests)
    if mode == "never_ends":
        assert took < timeout + 40, f"try took {took:.1f} s past a {timeout} s limit"
    assert os.listdir(home) == [] and os.listdir(tmp) == [], (os.listdir(home), os.listdir(tmp))
    # try ends Wine's processes, the launcher handed over to included.
    prefix = prefix_of(args)
    for _ in range(50):
        if not wine_processes(prefix):
            break
        time.sleep(0.1)
    assert not wine_processes(prefix), f"Wine still running: {wine_processes(prefix)}"
    check_drives_gone(args)
    assert doc["kept"] == keep, doc["kept"]
    # What a run wrote outside its world is gone before the next one starts.
    if mode not in ("outside", "beside_exe"):
        assert doc["outside_world"] == [], doc["outside_world"]
    if keep:
        mark = os.path.join(keep, "Local", "KORVANTHELM", "Launcher", "app", "launcher.build")
        with open(mark) as f:
            assert f.read().strip() == ZEROS
        assert os.path.isfile(os.path.join(keep, "Roaming", "KORVANTHELM", "launcher.path"))
        assert f"World kept in {keep}" in text, text


def prefix_of(args):
    return os.path.join(args.work, "cache", "korvanthelm", "wine-prefix")


def check_drives_gone(args):
    """The run's drive letters went with it, and Z: is not back."""
    left = set(os.listdir(os.path.join(prefix_of(args), "dosdevices"))) & {"w:", "x:", "y:", "z:"}
    assert not left, left


def check_reset(args):
    """After the outside row, the next run starts from a clean prefix: what
    the row wrote into it is gone, in the files and in the registry."""
    prefix = prefix_of(args)
    leftovers = [os.path.join(prefix, "drive_c", "users", windows_user(), "try-outside.txt"),
                 os.path.join(prefix, "drive_c", "windows", "try-outside.txt"),
                 os.path.join(args.work, "cache", "korvanthelm", "home", "try-outside.txt")]
    with open(os.path.join(prefix, "user.reg"), encoding="utf-8", errors="replace") as f:
        registry = f.read()
    assert not [p for p in leftovers if os.path.exists(p)], leftovers
    assert "KorvanthelmTryOutside" not in registry


def run_interrupted(args, signal_number):
    """try killed while a start runs: it ends of that signal, and leaves no
    process of the prefix and no world behind."""
    mode = "never_ends"
    root = os.path.join(args.work, f"interrupted-{signal_number}")
    shutil.rmtree(root, ignore_errors=True)
    os.makedirs(root)
    tree = make_tree(root, mode, args.setup, args.jar)
    exe = os.path.join(root, "KORVANTHELM.exe")
    subprocess.run([args.packer, "build", tree, "-o", exe], check=True, capture_output=True)
    home, tmp = os.path.join(root, "home"), os.path.join(root, "tmp")
    os.makedirs(home)
    os.makedirs(tmp)
    env = dict(os.environ, HOME=home, TMPDIR=tmp, XDG_CACHE_HOME=os.path.join(args.work, "cache"))
    run = subprocess.Popen([args.packer, "try", exe, "--timeout", "60"], env=env,
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    # Midway: the set-up program has started (the watcher's trace names it).
    started = time.monotonic()
    while time.monotonic() - started < 120:
        traces = [os.path.join(tmp, world, "start-1.trace") for world in os.listdir(tmp)]
        if any(os.path.exists(t) and b"--setup" in open(t, "rb").read() for t in traces):
            break
        time.sleep(0.2)
    else:
        run.kill()
        raise AssertionError("the set-up program did not start within 120 s")
    os.kill(run.pid, signal_number)
    out, err = run.communicate(timeout=90)
    print(f"--- interrupted by {signal.Signals(signal_number).name}: exit {run.returncode}\n"
          f"{err.decode('utf-8', 'replace')}", flush=True)
    assert run.returncode == -signal_number, run.returncode
    assert not wine_processes(prefix_of(args)), f"Wine still running: {wine_processes(prefix_of(args))}"
    check_drives_gone(args)
    assert os.listdir(home) == [] and os.listdir(tmp) == [], (os.listdir(home), os.listdir(tmp))


def main():
    parser = argparse.ArgumentParser()
    for name in ("--packer", "--setup", "--demo-tree", "--jar", "--work"):
        parser.add_argument(name, required=True)
    parser.add_argument("--only", help="run this row alone")
    args = parser.parse_args()
    failed = []
    # Without Wine: one line saying what to install, exit status 1.
    run = subprocess.run([args.packer, "try", "any.exe"], env=dict(os.environ, PATH="/nonexistent"),
                         capture_output=True, timeout=30)
    if (run.returncode, run.stdout, run.stderr) != (1, b"", (
            b"korvanthelm-pack: try needs Wine: install the package wine (apt-get install wine)\n")):
        print(f"FAILED without Wine: {run!r}", flush=True)
        failed.append("no wine")
    for mode, timeout, status, check in ROWS:
        if args.only and mode != args.only:
            continue
        try:
            run_row(args, mode, timeout, status, check)
            if mode == "outside":
                run_row(args, "demo", 60, 0, check_correct)
                check_reset(args)
        except (AssertionError, subprocess.SubprocessError, ValueError) as error:
            print(f"FAILED row {mode}: {error!r}", flush=True)
            failed.append(mode)
    for signal_number in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
        if args.only and args.only != "interrupted":
            continue
        try:
            run_interrupted(args, signal_number)
        except (AssertionError, subprocess.SubprocessError, ValueError, OSError) as error:
            print(f"FAILED interrupted by {signal_number!r}: {error!r}", flush=True)
            failed.append(f"interrupted {signal_number!r}")
    print("failed rows:", failed or "none")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
