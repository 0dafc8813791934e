# The package as its users get it: pip into a fresh virtual environment, cmake --install into a
# prefix, the checked-in stub against the module, and mypy over the examples.
import os
import pathlib
import subprocess
import sys

import pytest

SOURCE = pathlib.Path(os.environ["TARN_SOURCE_DIR"])
BUILD = pathlib.Path(os.environ["TARN_BUILD_DIR"])

# What an installed package must do: import from where it was installed, with the library found
# through its own run path, and a round trip through the stand-in server.
ROUND_TRIP = """
import sys, tarncl
assert tarncl.__file__.startswith(sys.argv[1]), tarncl.__file__
conn = tarncl.connect(sys.argv[2])
conn.brExecute("CREATE-FILE PKG 7 11")
f = conn.brOpenFile("", "PKG")
f.brWrite(["packaged", ["a", "b"]], "1")
assert f.brRead("1").tolist() == ["packaged", ["a", "b"]]
print("round trip", tarncl.__version__)
"""


def run(args, **kw):
    done = subprocess.run(args, capture_output=True, text=True, **kw)
    assert done.returncode == 0, f"{args}\n{done.stdout}\n{done.stderr}"
    return done.stdout + done.stderr


def clean_env(**extra):
    # Nothing of the build tree's package may leak into the installed one's test.
    env = {k: v for k, v in os.environ.items() if k not in ("PYTHONPATH", "LD_LIBRARY_PATH")}
    env.update(extra)
    return env


def test_pip_installs_an_importable_package_with_the_library_beside_it(tmp_path, data_source):
    try:
        import venv  # noqa: F401
        import ensurepip  # noqa: F401
    except ImportError:
        pytest.skip("the venv module (Debian package python3-venv) is missing")
    env_dir = tmp_path / "venv"
    run([sys.executable, "-m", "venv", "--system-site-packages", str(env_dir)])
    python = env_dir / "bin" / "python"
    # The build directory of this test run is reused, so pip builds nothing anew.
    out = run([str(python), "-m", "pip", "install", "--no-build-isolation", "--no-index",
               "--no-deps", "-v", str(SOURCE)], env=clean_env(TARNCL_BUILD_DIR=str(BUILD)),
              cwd=tmp_path)
    assert "tarncl: building for" in out
    site = run([str(python), "-c", "import sysconfig; print(sysconfig.get_path('platlib'))"],
               env=clean_env()).strip()
    package = pathlib.Path(site) / "tarncl"
    libs = list(package.glob("libtarncl.so.*"))
    assert libs and not any(lib.is_symlink() for lib in libs), list(package.iterdir())
    assert (package / "__init__.pyi").exists() and (package / "py.typed").exists()
    out = run([str(python), "-c", ROUND_TRIP, str(env_dir), data_source + ";Account=PIP"],
              env=clean_env(), cwd=tmp_path)
    assert "round trip" in out


def test_cmake_install_puts_the_package_where_the_interpreter_looks(tmp_path, data_source):
    prefix = tmp_path / "prefix"
    run(["cmake", "--install", str(BUILD), "--prefix", str(prefix)])
    # The interpreter's own site directory for that prefix: /usr/local's is on its path.
    rel = run(["/usr/bin/python3", "-c", "import sysconfig; print(sysconfig.get_path("
               "'platlib', vars={'platbase': '/P', 'base': '/P'}))"]).strip()
    rel = rel.removeprefix("/P/").removeprefix("local/")
    site = prefix / rel
    assert (site / "tarncl" / "__init__.py").exists(), sorted(prefix.rglob("tarncl*"))
    out = run(["/usr/bin/python3", "-c", ROUND_TRIP, str(site), data_source + ";Account=INST"],
              env=clean_env(PYTHONPATH=str(site)), cwd=tmp_path)
    assert "round trip" in out


def test_the_checked_in_stub_is_the_one_the_module_gives():
    fresh = subprocess.run([sys.executable, str(SOURCE / "python" / "gen_stub.py")],
                           capture_output=True, text=True, check=True).stdout
    checked_in = (SOURCE / "python" / "tarncl" / "__init__.pyi").read_text(encoding="utf-8")
    assert fresh == checked_in, "regenerate: PYTHONPATH=build/python python3 python/gen_stub.py " \
                                "python/tarncl/__init__.pyi"


def test_mypy_strict_accepts_the_examples_and_refuses_a_wrong_call(tmp_path):
    try:
        import mypy  # noqa: F401
    except ImportError:
        pytest.skip("mypy (Debian package python3-mypy) is missing")
    env = clean_env(MYPYPATH=str(SOURCE / "python"))
    examples = sorted(str(p) for p in (SOURCE / "examples").glob("*.py"))
    assert examples
    run([sys.executable, "-m", "mypy", "--strict", "--no-incremental", *examples], env=env)
    wrong = tmp_path / "wrong.py"
    wrong.write_text("import tarncl\nn: int = tarncl.clsTarnDynamicArray('a').brExtractStr(1)\n")
    done = subprocess.run([sys.executable, "-m", "mypy", "--strict", "--no-incremental",
                           str(wrong)], capture_output=True, text=True, env=env)
    assert done.returncode != 0 and "incompatible types" in done.stdout.lower(), done.stdout
