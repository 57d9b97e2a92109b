"""What a user installs: the type stubs type checkers see, the extension's
dynamic symbols, and a wheel that installs into a fresh environment, where
its testing kit runs the example test suite."""

from __future__ import annotations

import os
import pathlib
import re
import subprocess
import sys
import venv
import zipfile


ROOT = pathlib.Path(__file__).resolve().parents[2]
TYPING = ROOT / "tests" / "typing"
# What the shipped programs may link against: libraries of every Debian
# desktop (libwayland-client0, libxkbcommon0, the C and C++ runtimes and the
# dynamic loader).
PROGRAM_LIBRARIES = {"libwayland-client.so.0", "libxkbcommon.so.0", "libstdc++.so.6", "libm.so.6", "libgcc_s.so.1",
                     "libc.so.6"}


def mypy(tmp_path: pathlib.Path, source: pathlib.Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run(
        [sys.executable, "-m", "mypy", "--strict", "--no-color-output", "--cache-dir", str(tmp_path / "cache"),
         str(source)],
        capture_output=True, text=True, cwd=tmp_path, timeout=300,
    )


class TestTypeStubs:
    def test_correct_calls_type_check(self, tmp_path):
        result = mypy(tmp_path, TYPING / "good.py")
        assert result.returncode == 0, result.stdout + result.stderr

    def test_wrong_calls_are_rejected_line_by_line(self, tmp_path):
        result = mypy(tmp_path, TYPING / "bad.py")
        assert result.returncode == 1, result.stdout + result.stderr
        flagged = {int(line) for line in re.findall(r"bad\.py:(\d+): error", result.stdout)}
        marked = {number for number, text in enumerate((TYPING / "bad.py").read_text().splitlines(), start=1)
                  if "# error" in text}
        assert flagged == marked, result.stdout

    def test_stubs_match_the_module(self):
        # Every name and parameter list in the stubs is the module's own.
        import ast
        import inspect

        import kestrin

        tree = ast.parse((ROOT / "src" / "kestrin.pyi").read_text())
        classes = {node.name: node for node in tree.body if isinstance(node, ast.ClassDef)}
        assert set(classes) == {"Kestrin", "Output", "Capture"}
        capture_methods = {node.name: node for node in classes["Capture"].body if isinstance(node, ast.FunctionDef)}
        assert {name for name in capture_methods if not name.startswith("_")} == {
            name for name in vars(kestrin.Capture) if not name.startswith("_")
        }
        for name in ("grab", "grab_into", "wait_for_change", "wait_until_stable", "close"):
            stub = [arg.arg for arg in capture_methods[name].args.args][1:]
            parameters = [p for p in inspect.signature(getattr(kestrin.Capture, name)).parameters if p != "self"]
            assert stub == parameters, name
        fields = [node.name for node in classes["Output"].body if isinstance(node, ast.FunctionDef)]
        assert tuple(fields) == kestrin.Output.__match_args__
        cls = classes["Kestrin"]
        methods = {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}
        assert set(methods) - {"__new__"} == {
            name for name in vars(kestrin.Kestrin) if not name.startswith("_")
        }
        for name, node in methods.items():
            stub = [arg.arg for arg in node.args.args][1:]
            runtime = kestrin.Kestrin if name == "__new__" else getattr(kestrin.Kestrin, name)
            parameters = [p for p in inspect.signature(runtime).parameters if p != "self"]
            assert stub == parameters, name


    def test_gnome_stubs_match_the_module(self):
        import ast
        import inspect

        import kestrin.gnome

        tree = ast.parse((ROOT / "src" / "kestrin" / "gnome.pyi").read_text())
        (cls,) = [node for node in tree.body if isinstance(node, ast.ClassDef)]
        methods = {node.name: node for node in cls.body if isinstance(node, ast.FunctionDef)}
        assert set(methods) - {"__new__"} == {name for name in vars(kestrin.gnome.Kestrin) if not name.startswith("_")}
        # The same methods as kestrin.Kestrin, with the same parameters.
        assert set(methods) == {name for name in vars(kestrin.Kestrin) if not name.startswith("_")} | {"__new__"}
        for name, node in methods.items():
            stub = [arg.arg for arg in node.args.args][1:]
            runtime = kestrin.gnome.Kestrin if name == "__new__" else getattr(kestrin.gnome.Kestrin, name)
            parameters = [p for p in inspect.signature(runtime).parameters if p != "self"]
            assert stub == parameters, name
            if name != "__new__":
                assert parameters == [p for p in inspect.signature(getattr(kestrin.Kestrin, name)).parameters
                                      if p != "self"], name


def needed_libraries(path: str | os.PathLike[str]) -> set[str]:
    dynamic = subprocess.run(["objdump", "-p", str(path)], capture_output=True, text=True, check=True).stdout
    return set(re.findall(r"NEEDED\s+(\S+)", dynamic))


class TestDynamicSymbols:
    def test_the_extension_exports_its_init_function_alone(self):
        # Anything more could bind to, or be bound by, a same-named symbol of
        # another library in the interpreter.
        import kestrin
        import kestrin.gnome

        for module, init in ((kestrin, "PyInit_kestrin"), (kestrin.gnome, "PyInit_gnome")):
            listed = subprocess.run(["nm", "-D", "--defined-only", module.__file__], capture_output=True, text=True,
                                    check=True)
            assert [line.split()[-1] for line in listed.stdout.splitlines() if line.strip()] == [init]

    def test_only_kestrin_gnome_links_libsystemd_and_neither_links_libpipewire(self):
        # PipeWire's library is loaded by the first GNOME session instead: a
        # wheel cannot carry it.
        import kestrin
        import kestrin.gnome

        assert not needed_libraries(kestrin.__file__) & {"libsystemd.so.0", "libpipewire-0.3.so.0"}
        assert "libsystemd.so.0" in needed_libraries(kestrin.gnome.__file__)
        assert "libpipewire-0.3.so.0" not in needed_libraries(kestrin.gnome.__file__)


class TestWheel:
    def test_repaired_wheel_installs_into_a_fresh_environment_and_runs(self, tmp_path):
        built = subprocess.run(
            [ROOT / "scripts" / "build_wheels.sh", "--python", sys.executable, "--no-isolation",
             "--out", tmp_path / "dist"],
            capture_output=True, text=True, timeout=1800,
        )
        assert built.returncode == 0, built.stdout[-3000:] + built.stderr[-3000:]
        (wheel,) = (tmp_path / "dist").glob("kestrin-*.whl")
        assert built.stdout.split() == [str(wheel)]
        shown = subprocess.run([sys.executable, "-m", "auditwheel", "show", wheel], capture_output=True, text=True,
                               check=True)
        assert re.search(r'consistent with the following platform tag: "manylinux_2_\d+_x86_64"',
                         " ".join(shown.stdout.split())), shown.stdout
        names = zipfile.ZipFile(wheel).namelist()
        # The wheel carries what a target machine may lack, but not PipeWire.
        bundled = {re.sub(r"-[0-9a-f]{8}\.so.*", "", name.removeprefix("kestrin.libs/"))
                   for name in names if name.startswith("kestrin.libs/")}
        assert {"libwayland-client", "libxkbcommon", "libsystemd"} <= bundled
        assert not any("pipewire" in name for name in bundled)
        assert "kestrin/__init__.pyi" in names and "kestrin/py.typed" in names
        assert any(re.fullmatch(r"kestrin/__init__\.cpython-.*\.so", name) for name in names)
        assert any(re.fullmatch(r"kestrin/gnome\.cpython-.*\.so", name) for name in names)
        assert "kestrin/gnome.pyi" in names
        assert {"kestrin/_bin/kestrin-probe", "kestrin/_bin/kestrin-seat-keyboard", "kestrin/testing/__init__.py",
                "kestrin/testing/pytest_plugin.py"} <= set(names)
        (entry_points,) = [name for name in names if name.endswith(".dist-info/entry_points.txt")]
        assert "[pytest11]\nkestrin_testing = kestrin.testing.pytest_plugin" in zipfile.ZipFile(wheel).read(
            entry_points).decode()

        env_dir = tmp_path / "env"
        venv.create(env_dir, with_pip=True)
        python = env_dir / "bin" / "python"
        # Without its NumPy dependency: everything but screenshot works.
        installed = subprocess.run([python, "-m", "pip", "install", "--no-deps", "-q", str(wheel)],
                                   capture_output=True, text=True, timeout=600)
        assert installed.returncode == 0, installed.stderr
        check = subprocess.run(
            [python, "-c", "import kestrin, sys; print(kestrin.__all__, kestrin.Kestrin.__module__, "
                           "'numpy' in sys.modules)"],
            capture_output=True, text=True, timeout=60, cwd=tmp_path, env={**os.environ, "PYTHONPATH": ""},
        )
        assert check.returncode == 0, check.stderr
        assert check.stdout.strip() == "['Kestrin'] builtins False"

        # The programs need only libraries every desktop system has, or that
        # the wheel carries beside them.
        site = pathlib.Path(subprocess.run([python, "-c", "import kestrin; print(kestrin.__file__)"],
                                           capture_output=True, text=True, check=True).stdout.strip()).parent
        for program in ("kestrin-probe", "kestrin-seat-keyboard"):
            dynamic = subprocess.run(["objdump", "-p", site / "_bin" / program], capture_output=True, text=True,
                                     check=True).stdout
            needed = {name for name in re.findall(r"NEEDED\s+(\S+)", dynamic) if not name.startswith("ld-linux")}
            carried = {name for name in needed if (site.parent / "kestrin.libs" / name).exists()}
            assert needed - carried <= PROGRAM_LIBRARIES, (program, needed)

        # With pytest, the kit's plugin runs the example suite; twice, one
        # session after the other.
        installed = subprocess.run([python, "-m", "pip", "install", "-q", "pytest", "numpy"], capture_output=True,
                                   text=True, timeout=600)
        assert installed.returncode == 0, installed.stderr
        helped = subprocess.run([python, "-m", "kestrin.testing", "--help"], capture_output=True, text=True,
                                timeout=60, cwd=tmp_path)
        assert helped.returncode == 0 and "kestrin-seat-keyboard" in helped.stdout and str(site) in helped.stdout
        suite = tmp_path / "suite"
        suite.mkdir()
        for test in (ROOT / "examples" / "wayland_tests").glob("test_*.py"):
            (suite / test.name).write_text(test.read_text())
        as_root = ["--wayland-desktop-user", "kestrin-sway"] if os.getuid() == 0 else []
        for _ in range(2):
            run = subprocess.run([python, "-m", "pytest", "-q", "-p", "no:cacheprovider", *as_root, str(suite)],
                                 capture_output=True, text=True, timeout=300, cwd=suite,
                                 env={**os.environ, "PYTHONPATH": ""})
            assert run.returncode == 0, run.stdout[-3000:] + run.stderr[-3000:]
            assert re.search(r"^2 passed in", run.stdout, re.M), run.stdout

        # kestrin.gnome from the wheel opens a session on a headless Mutter,
        # with the system's PipeWire library, and takes a screenshot.
        from headless import HeadlessMutter

        with HeadlessMutter() as mutter:
            run = subprocess.run(
                [python, "-c", "import kestrin.gnome; k = kestrin.gnome.Kestrin(); print(k.screenshot().shape)"],
                capture_output=True, text=True, timeout=60, cwd=tmp_path, env={**mutter.env(), "PYTHONPATH": ""})
        assert run.returncode == 0, run.stderr
        assert run.stdout.strip() == f"({mutter.height}, {mutter.width}, 4)"
