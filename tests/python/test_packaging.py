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

    def test_only_kestrin_gnome_links_libsystemd_and_libpipewire(self):
        import kestrin
        import kestrin.gnome

        gnome_only = {"libsystemd.so.0", "libpipewire-0.3.so.0"}
        assert not needed_libraries(kestrin.__file__) & gnome_only
        assert needed_libraries(kestrin.gnome.__file__) >= gnome_only


class TestWheel:
    def test_wheel_installs_into_a_fresh_environment(self, tmp_path):
        built = subprocess.run(
            [sys.executable, "-m", "build", "--wheel", "--outdir", str(tmp_path / "dist"), str(ROOT)],
            capture_output=True, text=True, timeout=1800,
        )
        assert built.returncode == 0, built.stdout[-3000:] + built.stderr[-3000:]
        (wheel,) = (tmp_path / "dist").glob("kestrin-*.whl")
        names = zipfile.ZipFile(wheel).namelist()
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

        # The programs need only libraries every desktop system has.
        site = pathlib.Path(subprocess.run([python, "-c", "import kestrin; print(kestrin.__file__)"],
                                           capture_output=True, text=True, check=True).stdout.strip()).parent
        for program in ("kestrin-probe", "kestrin-seat-keyboard"):
            dynamic = subprocess.run(["objdump", "-p", site / "_bin" / program], capture_output=True, text=True,
                                     check=True).stdout
            needed = {name for name in re.findall(r"NEEDED\s+(\S+)", dynamic) if not name.startswith("ld-linux")}
            assert needed <= PROGRAM_LIBRARIES, (program, needed)

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
