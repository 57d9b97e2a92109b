"""kestrin.testing against a real sway: the desktop's outputs and keyboard,
desktops side by side, its pytest plugin, and what stopping leaves behind,
also after Ctrl-C."""

from __future__ import annotations

import os
import pwd
import re
import shutil
import signal
import subprocess
import sys
import tempfile
import textwrap
import threading
import time
from pathlib import Path

import pytest

from kestrin.testing import DesktopError, HeadlessDesktop, OutputSpec
from kestrin.testing._compositor import SWAY_USER, process_alive

KEY_A, KEY_Q, KEY_MINUS, KEY_CAPSLOCK = 30, 16, 12, 58
AS_ROOT = ["--wayland-desktop-user", SWAY_USER] if os.getuid() == 0 else []


def desktop(**options) -> HeadlessDesktop:
    return HeadlessDesktop(user=SWAY_USER, **options)


def leftovers(pids: list[int], runtime_dir: str) -> list[str]:
    found = [f"process {pid}" for pid in pids if process_alive(pid)]
    return found + ([runtime_dir] if os.path.exists(runtime_dir) else [])


class TestDesktop:
    def test_outputs_are_named_with_their_modes_scales_and_places(self):
        with desktop(outputs=[(800, 600), (1280, 720, 2), OutputSpec(640, 480, position=(0, 600))]) as d:
            outputs = {o["name"]: o for o in d.swaymsg("-t", "get_outputs")}
            assert {name: (o["current_mode"]["width"], o["current_mode"]["height"], o["scale"],
                           o["rect"]["x"], o["rect"]["y"]) for name, o in outputs.items()} == {
                "HEADLESS-1": (800, 600, 1.0, 0, 0),
                "HEADLESS-2": (1280, 720, 2.0, 800, 0),
                "HEADLESS-3": (640, 480, 1.0, 0, 600),
            }
            assert os.stat(d.runtime_dir).st_mode & 0o777 == 0o700
            assert d.env()["WAYLAND_DISPLAY"] == d.socket and os.path.isabs(d.socket)

    def test_three_desktops_at_once_each_get_their_own_input(self):
        desktops = [desktop(outputs=[size]) for size in ((640, 480), (800, 600), (1024, 768))]
        try:
            for d in desktops:
                d.start()
            recorders = [d.recorder() for d in desktops]
            sessions = [d.connect() for d in desktops]
            for n, session in enumerate(sessions):
                session.key_press(KEY_A + n, 5)  # a, s, d
                session.move_to(10 + n, 20 + n)
            for n, recorder in enumerate(recorders):
                assert recorder.wait_for_text("asd"[n]) == "asd"[n]
                recorder.wait_for(lambda e: e["event"] == "motion" and (e["x"], e["y"]) == (10.5 + n, 20.5 + n))
            time.sleep(0.1)
            assert [r.text() for r in recorders] == ["a", "s", "d"]
            assert [{(e["x"], e["y"]) for e in r.events("motion")} for r in recorders] == [
                {(10.5, 20.5)}, {(11.5, 21.5)}, {(12.5, 22.5)}]
            assert [r.wait_ready()["width"] for r in recorders] == [640, 800, 1024]
            del sessions
        finally:
            for d in desktops:
                d.stop()

    def test_the_layout_and_a_new_session_after_an_earlier_one(self):
        with desktop(outputs=[(640, 480)], layout="fr") as d:
            recorder = d.recorder()
            d.connect().key_press(KEY_Q, 5)
            # The first session has gone, and with it the seat's active
            # keyboard; the next one still gets the keymap.
            d.connect().key_press(KEY_Q, 5)
            assert recorder.wait_for_text("aa") == "aa"

    def test_variant_and_options_reach_the_keymap(self):
        # German without dead keys makes the key right of 0 a plain "ß";
        # caps:escape makes Caps Lock an Escape.
        with desktop(outputs=[(640, 480)], layout="de", variant="nodeadkeys", options="caps:escape") as d:
            recorder = d.recorder()
            session = d.connect()
            for key in (KEY_MINUS, KEY_CAPSLOCK):
                session.key_press(key, 5)
            recorder.wait_for_count("key", 4)
            assert [e["keysym"] for e in recorder.events("key") if e["state"] == 1] == ["ssharp", "Escape"]

    def test_stop_ends_what_it_started_and_removes_the_runtime_directory(self):
        d = desktop(outputs=[(640, 480)]).start()
        app = d.spawn(["sh", "-c", "echo started; exec sleep 60"])
        recorder = d.recorder()
        window = d.wait_for_window(app_id=None)
        assert window["pid"] == recorder.pid
        pids, runtime_dir = [d.pid, app.pid, recorder.pid, d._holder.pid], d.runtime_dir
        d.stop()
        assert leftovers(pids, runtime_dir) == []
        assert app.output() == "started\n"

    def test_waiting_for_a_window_that_never_comes_names_it(self):
        with desktop(outputs=[(640, 480)]) as d:
            with pytest.raises(DesktopError, match="a window with app_id 'absent'"):
                d.wait_for_window(app_id="absent", timeout=0.2)

    @pytest.mark.skipif(os.getuid() != 0, reason="only root needs another identity")
    def test_as_root_with_no_options_it_runs_as_a_uid_without_an_account(self):
        with HeadlessDesktop(outputs=[(640, 480)]) as d:
            uid = os.stat(d.runtime_dir).st_uid
            assert uid != 0 and _uid_of(d.pid) == uid
            with pytest.raises(KeyError):
                pwd.getpwuid(uid)
            recorder = d.recorder()
            d.connect().key_press(KEY_A, 5)
            assert recorder.wait_for_text("a") == "a"

    def test_a_desktop_started_on_a_thread_that_ends_lives_on(self):
        # Parent-death signals fire when the thread that forked ends.
        started: list[HeadlessDesktop] = []
        thread = threading.Thread(target=lambda: started.append(desktop(outputs=[(320, 240)]).start()))
        thread.start()
        thread.join()
        with started[0] as d:
            app = d.spawn(["sleep", "60"])
            recorder = d.recorder()
            d.connect().key_press(KEY_A, 5)
            assert recorder.wait_for_text("a") == "a"
            assert d.running and app.running

    def test_connect_and_recorder_in_any_order_and_number(self):
        with desktop(outputs=[(640, 480)]) as d:
            first = d.connect()
            older = d.recorder()
            second = d.connect()  # while the first session still gives the seat its pointer
            second.key_press(KEY_A, 5)
            assert older.wait_for_text("a") == "a"
            newer = d.recorder()  # fullscreen on top: it has the focus now
            third = d.connect()
            third.key_press(KEY_Q, 5)
            first.move_to(7, 9)
            assert newer.wait_for_text("q") == "q"
            newer.wait_for(lambda e: e["event"] == "motion" and (e["x"], e["y"]) == (7.5, 9.5))
            assert older.text() == "a"
            del first, second, third

    @pytest.mark.skipif(os.getuid() != 0, reason="only root and the desktop's user are two")
    def test_what_the_desktops_user_links_never_leads_roots_writes_or_reads(self, tmp_path):
        target = tmp_path / "root-only"
        target.write_text("SECRET\n")
        target.chmod(0o600)
        with HeadlessDesktop(outputs=[(640, 480)]) as d:
            d.spawn(["true"]).stop()
            uid = os.stat(d.runtime_dir).st_uid
            # What runs as root in the desktop keeps its runtime files where
            # only root can change them.
            assert os.stat(d.env()["XDG_RUNTIME_DIR"]).st_uid == 0
            # Every log name, planted wherever that user may write, and the
            # logs directory swapped for its own if it can.
            attack = f"""
                for dir in "$XDG_RUNTIME_DIR" "$XDG_RUNTIME_DIR/logs" "$XDG_RUNTIME_DIR/.." "$XDG_RUNTIME_DIR/../logs"; do
                    mkdir -p "$dir" 2>/dev/null
                    for name in app-1.log app-2.log app-3.log seat-keyboard.log sway.log; do
                        ln -sf {target} "$dir/$name" 2>/dev/null
                    done
                done
                mv "$XDG_RUNTIME_DIR/../logs" "$XDG_RUNTIME_DIR/old-logs" 2>/dev/null &&
                    ln -s "$XDG_RUNTIME_DIR/logs" "$XDG_RUNTIME_DIR/../logs"
                true
            """
            subprocess.run(["setpriv", f"--reuid={uid}", f"--regid={uid}", "--clear-groups", "sh", "-c", attack],
                           env={**d.env(), "XDG_RUNTIME_DIR": d.runtime_dir}, check=True, timeout=30)
            app = d.spawn(["sh", "-c", "echo overwritten"])
            app.stop()
            assert app.output() == "overwritten\n"
            message = d._with_logs("what the logs say")
        assert target.read_text() == "SECRET\n"
        assert "SECRET" not in message


ROOT = Path(__file__).resolve().parents[2]
SCOPES = ["function", "module", "session"]

# A test that fails holding a key and a button, with a recorder on top and an
# application running, and what the tests after it must find.
HAND_OVER = """
import pytest

pytestmark = pytest.mark.wayland_desktop(outputs=[(640, 480)])
KEPT = []  # as a failed test's traceback keeps its session


def test_fails_holding_a_key_and_a_button(wayland_desktop, kestrin_session):
    KEPT.append(kestrin_session)
    wayland_desktop.recorder()
    wayland_desktop.spawn(["sleep", "60"])
    kestrin_session.key_down(42)  # Shift
    kestrin_session.button_down()
    assert False, "fails on purpose"


@pytest.mark.wayland_desktop(outputs=[(640, 480)], layout="fr")
def test_the_next_starts_clean_with_its_own_layout(wayland_desktop, kestrin_session):
    assert wayland_desktop.windows() == []
    for let_go in (lambda: KEPT[0].key_up(42), KEPT[0].button_up):
        with pytest.raises(ValueError, match="not held"):
            let_go()
    recorder = wayland_desktop.recorder()
    kestrin_session.key_press(16, 5)  # "a" in French; lower case, for Shift is not held
    kestrin_session.left_click(5)
    assert recorder.wait_for_text("a") == "a"
    assert [e["state"] for e in recorder.wait_for_count("button", 2)] == [1, 0]


def test_then_the_modules_layout_again(wayland_desktop, kestrin_session):
    recorder = wayland_desktop.recorder()
    kestrin_session.key_press(16, 5)
    assert recorder.wait_for_text("q") == "q"
"""


def readme_block(heading: str, language: str) -> str:
    """The first fenced block of ``language`` in the README's section
    ``heading``."""
    text = (ROOT / "README.md").read_text()
    section = text[text.index(heading + "\n"):]
    block = re.search(rf"^```{language}\n(.*?)^```", section, re.MULTILINE | re.DOTALL)
    assert block is not None, f"no {language} block under {heading}"
    return block.group(1)


def _start_time(pid: int) -> int | None:
    try:
        stat = Path(f"/proc/{pid}/stat").read_text()
    except OSError:
        return None
    return int(stat[stat.rfind(")") + 2 :].split()[19])


def _command(pid: int) -> str:
    try:
        return Path(f"/proc/{pid}/cmdline").read_bytes().replace(b"\0", b" ").decode()
    except OSError:
        return ""


def _owner(path: str) -> int | None:
    try:
        return os.stat(path).st_uid
    except FileNotFoundError:
        return None


def _uid_of(pid: int) -> int:
    status = Path(f"/proc/{pid}/status").read_text()
    return int(re.search(r"^Uid:\s+(\d+)", status, re.MULTILINE).group(1))


def run_pytest(tmp_path: Path, source: str, *args: str, env: dict | None = None, as_root: bool = True,
               **kwargs) -> subprocess.Popen:
    test_file = tmp_path / "test_user.py"
    test_file.write_text(textwrap.dedent(source))
    return subprocess.Popen([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", *(AS_ROOT if as_root else []), *args,
                             str(test_file)], cwd=tmp_path, env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.STDOUT, text=True, **kwargs)


class TestPlugin:
    def test_without_sway_the_fixture_fails_naming_the_package_or_skips_when_asked(self, tmp_path):
        source = "def test_needs_a_desktop(wayland_desktop):\n    pass\n"
        env = {**os.environ, "PATH": str(tmp_path)}
        failed = run_pytest(tmp_path, source, env=env)
        out = failed.communicate(timeout=60)[0]
        assert failed.returncode == 1, out
        assert "install the Debian package sway (apt-get install sway" in out
        skipped = run_pytest(tmp_path, source, "--wayland-desktop-skip-missing", "-rs", env=env)
        out = skipped.communicate(timeout=60)[0]
        assert skipped.returncode == 0 and "1 skipped" in out, out

    @pytest.mark.parametrize("scope, desktops", [([], 2), (["--wayland-desktop-scope=module"], 1)])
    def test_one_desktop_per_test_or_per_module_with_the_markers_outputs(self, tmp_path, scope, desktops):
        run = run_pytest(tmp_path, """
            import pytest

            pytestmark = pytest.mark.wayland_desktop(outputs=[(640, 480), (320, 200)])
            sockets = set()

            @pytest.mark.parametrize("n", [1, 2])
            def test_desktop(wayland_desktop, kestrin_session, n):
                sockets.add(wayland_desktop.socket)
                assert [(o.width, o.height) for o in kestrin_session.outputs()] == [(640, 480), (320, 200)]
                print("desktops:", len(sockets))
        """, "-s", *scope)
        out = run.communicate(timeout=60)[0]
        assert run.returncode == 0, out
        assert re.findall(r"desktops: (\d)", out) == ["1", str(desktops)], out

    @pytest.mark.parametrize("scope", SCOPES)
    def test_the_readme_example_and_the_examples_pass_under_every_scope(self, tmp_path, scope):
        (tmp_path / "test_readme.py").write_text(readme_block("## Testing your application on Wayland", "python"))
        (tmp_path / "test_hand_over.py").write_text(HAND_OVER)
        run = subprocess.run([sys.executable, "-m", "pytest", "-q", "-p", "no:cacheprovider", "--rootdir",
                              str(tmp_path), f"--wayland-desktop-scope={scope}", "test_readme.py",
                              "test_hand_over.py", str(ROOT / "examples" / "wayland_tests")],
                             cwd=tmp_path, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True, timeout=600)
        assert "1 failed, 6 passed" in run.stdout, run.stdout
        assert re.findall(r"^FAILED (\S+)", run.stdout, re.MULTILINE) == [
            "test_hand_over.py::test_fails_holding_a_key_and_a_button"], run.stdout

    @pytest.mark.parametrize("signum", [signal.SIGINT, signal.SIGTERM], ids=["ctrl-c", "sigterm"])
    def test_ctrl_c_or_sigterm_mid_test_leaves_no_process_and_no_runtime_directory(self, tmp_path, signum):
        state = tmp_path / "state"
        run = run_pytest(tmp_path, f"""
            import time

            def test_interrupted(wayland_desktop, kestrin_session):
                recorder = wayland_desktop.recorder()
                app = wayland_desktop.spawn(["sleep", "60"])
                pids = [wayland_desktop.pid, wayland_desktop._holder.pid, recorder.pid, app.pid]
                with open({str(state)!r}, "w") as f:
                    f.write(" ".join(map(str, pids)) + "\\n" + wayland_desktop.runtime_dir)
                time.sleep(60)
        """)
        try:
            deadline = time.monotonic() + 30
            while not (state.exists() and "\n" in state.read_text()) and run.poll() is None:
                assert time.monotonic() < deadline, "the test did not get going"
                time.sleep(0.05)
            pids_line, runtime_dir = state.read_text().split("\n")
            run.send_signal(signum)
            out = run.communicate(timeout=30)[0]
        finally:
            if run.poll() is None:
                run.kill()
        assert "KeyboardInterrupt" in out, out
        assert leftovers([int(p) for p in pids_line.split()], runtime_dir) == []


# A Python that starts a desktop with a recorder and an application, writes
# their ids and directories on one line, then ends as its argument says.
OUTLIVER = """
import gc, os, sys, time
from kestrin.testing import HeadlessDesktop

d = HeadlessDesktop(outputs=[(320, 240)]).start()
recorder, app = d.recorder(), d.spawn(["sleep", "60"])
print(d.pid, d._holder.pid, recorder.pid, app.pid, d.private_dir, flush=True)
ending = sys.argv[1]
if ending == "dropped":
    del d, recorder, app
elif ending == "collected":
    cycle = [d]
    cycle.append(cycle)
    del d, recorder, app, cycle
    gc.collect()
if ending in ("dropped", "collected"):
    print("let go", flush=True)
if ending != "at-exit":
    time.sleep(60)
"""


class TestNothingOutlivesPython:
    @pytest.mark.parametrize("ending", ["dropped", "collected", "at-exit", "sigint", "sigterm", "sigkill"])
    def test_no_process_or_directory_of_a_desktop_is_left(self, tmp_path, ending):
        script = tmp_path / "outliver.py"
        script.write_text(OUTLIVER)
        run = subprocess.Popen([sys.executable, str(script), ending], stdout=subprocess.PIPE,
                               stderr=subprocess.PIPE, text=True)
        try:
            *pids, private_dir = run.stdout.readline().split()
            # Ids are handed out again soon on a busy machine: a process
            # counts as left only with its start time unchanged.
            started = {int(pid): _start_time(int(pid)) for pid in pids}
            if ending in ("dropped", "collected"):
                assert run.stdout.readline() == "let go\n"
            signum = {"sigint": signal.SIGINT, "sigterm": signal.SIGTERM, "sigkill": signal.SIGKILL}.get(ending)
            if signum is not None:
                run.send_signal(signum)
            # Gone while that Python still runs (dropped, collected) or once
            # it has ended, however it ended.
            deadline = time.monotonic() + 30

            def left() -> list[str]:
                found = [pid for pid, start in started.items() if process_alive(pid) and _start_time(pid) == start]
                return [f"{entry} {_command(int(entry.split()[1]))}" if entry.startswith("process ") else entry
                        for entry in leftovers(found, private_dir)]

            while left() and time.monotonic() < deadline:
                time.sleep(0.05)
            assert left() == [], run.stderr.read() if run.poll() else ""
            if ending in ("dropped", "collected"):
                assert run.poll() is None
        finally:
            run.kill()
            run.communicate()


MY_SCRIPT = """
import kestrin

k = kestrin.Kestrin()
k.key_press(30, 5)
print("driven:", k.screenshot().shape)
"""
# Who pastes the recipe when the tests run as root: root itself, and a user
# with no account (a free uid, as the kit would take).
OTHER_UID = 65531


class TestRunningHeadless:
    @pytest.mark.parametrize("who", ["root", "user"])
    def test_the_readme_recipe_as_written_gives_a_desktop_kestrin_drives(self, who):
        if who == "root" and os.getuid() != 0:
            pytest.skip("the tests do not run as root")
        recipe = readme_block("## Running headless", "sh")
        workdir = Path(tempfile.mkdtemp())
        (workdir / "my_script.py").write_text(MY_SCRIPT)
        out = workdir / "out"
        env = {name: value for name, value in os.environ.items()
               if name not in ("WAYLAND_DISPLAY", "WAYLAND_SOCKET", "XDG_RUNTIME_DIR", "SWAYSOCK", "DISPLAY")}
        # The environment kestrin was installed into comes first, as when it
        # is activated.
        env["PATH"] = f"{Path(sys.executable).parent}:{env.get('PATH', '/usr/bin:/bin')}"
        command = ["sh", "-e", "-c", recipe + 'echo "left: $XDG_RUNTIME_DIR $ready"\n']
        if who == "user" and os.getuid() == 0:
            if subprocess.run(["setpriv", f"--reuid={OTHER_UID}", f"--regid={OTHER_UID}", "--clear-groups",
                               sys.executable, "-c", "import kestrin.testing"], capture_output=True).returncode:
                shutil.rmtree(workdir)
                pytest.skip(f"this Python ({sys.executable}) or its kestrin is out of reach of other users")
            os.chown(workdir, OTHER_UID, OTHER_UID)
            env["HOME"] = str(workdir)
            command = ["setpriv", f"--reuid={OTHER_UID}", f"--regid={OTHER_UID}", "--clear-groups", *command]
        x11_before = _owner("/tmp/.X11-unix")
        with open(out, "w") as output:
            run = subprocess.Popen(command, cwd=workdir, env=env, stdin=subprocess.DEVNULL, stdout=output,
                                   stderr=subprocess.STDOUT, start_new_session=True)
        try:
            run.wait(timeout=120)
        finally:
            # sway and kestrin-seat-keyboard still run in its process group.
            try:
                os.killpg(run.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
            run.wait()
            text = out.read_text()
            left = re.search(r"^left: (.*)$", text, re.MULTILINE)
            for path in ([workdir] + (left.group(1).split() if left else [])):
                shutil.rmtree(path, ignore_errors=True) if os.path.isdir(path) else Path(path).unlink(missing_ok=True)
        assert run.returncode == 0 and "driven: (720, 1280, 4)" in text, text
        # A sway that started Xwayland would take /tmp/.X11-unix for its own
        # user, and every later X server of the machine would refuse it.
        assert _owner("/tmp/.X11-unix") == x11_before
