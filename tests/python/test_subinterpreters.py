# SPDX-License-Identifier: MIT
"""The module lives in one interpreter per process: importing it in a
sub-interpreter fails with ImportError, whether the main interpreter has
imported it already or not, and leaves the main interpreter's module
working. Each case runs in a fresh process, since a sub-interpreter cannot
be undone inside the test run's own."""

import sys
import textwrap

import pytest

from conftest import run_python

if sys.version_info >= (3, 13):
    pytest.importorskip("_interpreters")
else:
    pytest.importorskip("_xxsubinterpreters")

# run(config, code) -> None, or (exception type name, message) when the code
# raised inside a new sub-interpreter of that configuration: "isolated"
# (its own GIL, refuses single-phase modules) or "legacy" (shares the GIL,
# leaves the decision to the module).
PRELUDE = textwrap.dedent('''
    import sys
    if sys.version_info >= (3, 13):
        import _interpreters

        def run(config, code):
            iid = _interpreters.create(_interpreters.new_config(config))
            try:
                info = _interpreters.exec(iid, code)
            finally:
                _interpreters.destroy(iid)
            return None if info is None else (info.type.__name__, info.msg)
    else:
        import _xxsubinterpreters

        def run(config, code):
            iid = _xxsubinterpreters.create(isolated=config == "isolated")
            try:
                _xxsubinterpreters.run_string(iid, code)
            except _xxsubinterpreters.RunFailedError as exc:
                # The text is "<class 'ImportError'>: message".
                kind, _, message = str(exc).partition(": ")
                return kind.removeprefix("<class '").removesuffix("'>"), message
            finally:
                _xxsubinterpreters.destroy(iid)
            return None

    IMPORT = "import lamiro"
    # After a refused import nothing of the module is left in that interpreter.
    NOTHING_LEFT = "import sys\\nassert 'lamiro' not in sys.modules"

    def refused(config):
        failure = run(config, IMPORT)
        assert failure is not None and failure[0] == "ImportError", failure
        assert run(config, NOTHING_LEFT) is None

    def spectra():
        import numpy as np
        import lamiro
        n = np.full((3, 300), 1.8 + 0.02j)
        n[0] = 1.0
        wl = np.linspace(400.0, 800.0, 300)
        results = []
        for size in (50, 300):
            res = lamiro.DataPy(np.array([90.0]), n[:, :size], wl[:size], 0.3, 0.5).simulate()
            results.append(res.r.tobytes() + res.t.tobytes())
        return results
''')


def run_child(body):
    rc, out, err = run_python(PRELUDE + textwrap.dedent(body) + "\nprint('done')", timeout=120)
    assert rc == 0 and out.strip() == "done", f"exit {rc}\n{out}\n{err[-4000:]}"


@pytest.mark.parametrize("config", ["isolated", "legacy"])
def test_refused_when_the_main_interpreter_has_imported_it(config):
    run_child(f'''
        import lamiro
        expected = spectra()
        for _ in range(3):
            refused({config!r})
            assert spectra() == expected
        # A type object and results made before still work, and the module,
        # removed from sys.modules and imported again, is the same one.
        assert lamiro.DataPy.__name__ == "DataPy" and spectra() == expected
        del sys.modules["lamiro"]
        import lamiro as again
        assert again is lamiro and again.__all__ == ["DataPy", "Simulation"]
    ''')


def test_refused_in_a_fresh_process():
    run_child('''
        for _ in range(3):
            refused("isolated")
        assert "lamiro" not in sys.modules
    ''')


# Python 3.12 runs the initialisation of a single-phase module inside the
# sub-interpreter before refusing the module there; that attempt must not
# make the sub-interpreter the module's owner.
def test_main_interpreter_imports_it_after_a_refused_sub_interpreter():
    run_child('''
        refused("isolated")
        import lamiro
        first = spectra()
        refused("isolated")
        refused("legacy")
        assert spectra() == first
    ''')


def test_legacy_sub_interpreter_first_in_a_fresh_process():
    run_child('''
        for _ in range(3):
            refused("legacy")
        import lamiro
        first = spectra()
        refused("legacy")
        assert spectra() == first
    ''')
