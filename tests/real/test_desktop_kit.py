"""kestrin.testing against a real sway: the desktop's outputs and keyboard,
desktops side by side, its pytest plugin, and what stopping leaves behind,
also after Ctrl-C."""

from __future__ import annotations

import os
import re
import signal
import subprocess
import sys
import textwrap
import time
from pathlib import Path

import pytest

from kestrin.testing import DesktopError, HeadlessDesktop, OutputSpec, RootWithoutUser
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

    @pytest.mark.skipif(os.getuid() != 0, reason="only root is refused")
    def test_as_root_without_a_user_it_says_what_to_pass(self, tmp_path):
        run = run_pytest(tmp_path, "def test_needs_a_desktop(wayland_desktop):\n    pass\n", as_root=False)
        out = run.communicate(timeout=60)[0]
        assert run.returncode == 1 and "run pytest with --wayland-desktop-user=NAME" in out, out
        with pytest.raises(RootWithoutUser) as raised:
            HeadlessDesktop().start()
        assert str(raised.value) == (
            "sway refuses to run as root: pass user='NAME' (an existing unprivileged user to run it as) or "
            "create_user=True (runs it as the system user kestrin-sway, made if it does not exist)")


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
