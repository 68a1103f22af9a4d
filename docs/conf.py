# SPDX-License-Identifier: MIT
"""Sphinx configuration of lamiro's documentation (`make docs`, Read the Docs)."""

import pathlib
import sys
import tomllib

HERE = pathlib.Path(__file__).resolve().parent
ROOT = HERE.parent
sys.path.insert(0, str(HERE / "_ext"))

from stub_reference import stage_stub_packages  # noqa: E402

with open(ROOT / "pyproject.toml", "rb") as f:
    _metadata = tomllib.load(f)["project"]

project = "lamiro"
author = "The lamiro developers"
copyright = "2026, The lamiro developers"
release = version = _metadata["version"]

extensions = [
    "sphinx.ext.doctest",
    "sphinx_copybutton",
    "autoapi.extension",
    "sphinx_gallery.gen_gallery",
    "stub_reference",
]
exclude_patterns = ["_build", "package-page.md", "gallery/*.ipynb", "gallery/*.py", "gallery/*.zip"]
templates_path = []
nitpicky = True

# --- API reference: sphinx-autoapi over the type stubs of every module -------
autoapi_type = "python"
autoapi_dirs = [str(ROOT / "build" / "docs" / "stubs")]
stage_stub_packages(ROOT / "src", ROOT / "build" / "docs" / "stubs")
autoapi_file_patterns = ["*.pyi"]
autoapi_root = "api"
autoapi_add_toctree_entry = False
autoapi_keep_files = False
autoapi_member_order = "bysource"
autoapi_options = ["members", "show-module-summary"]
autodoc_typehints = "signature"
# Signatures longer than this show one parameter per line: the functions
# take up to nine parameters with NumPy array types.
python_maximum_signature_line_length = 120
# The stubs annotate with NumPy's types, which have no pages here.
nitpick_ignore_regex = [("py:class", r"(numpy|npt|np)\..*"), ("py:class", r"(typing|collections\.abc|_typeshed)\..*")]

# --- gallery: every script in examples/, run while the pages are built -------
sphinx_gallery_conf = {
    "examples_dirs": str(ROOT / "examples"),
    "gallery_dirs": "gallery",
    "filename_pattern": r"\.py$",  # run every example, not only plot_*.py
    "ignore_pattern": r"__init__\.py",
    "reset_argv": "gallery_settings.short_budget",
    "within_subsection_order": "gallery_settings.ListedOrder",
    "abort_on_example_error": True,
    "download_all_examples": False,
    "remove_config_comments": True,
    "show_memory": False,
    "show_signature": False,
    "backreferences_dir": None,
    "first_notebook_cell": None,
    "min_reported_time": 0,
    "write_computation_times": False,
}

# --- doctests of the guide ----------------------------------------------------
doctest_global_setup = """
import numpy as np
import lamiro
"""
doctest_test_doctest_blocks = "default"
trim_doctest_flags = True

# The copy button copies the code without the >>> and ... prompts and without the output.
copybutton_prompt_text = r">>> |\.\.\. "
copybutton_prompt_is_regexp = True
copybutton_only_copy_prompt_lines = True

# --- HTML ---------------------------------------------------------------------
# Quotes and ellipses become typographic, but "--" stays two hyphens: the
# examples' docstrings name command-line options such as --quick in prose.
smartquotes_action = "qe"
html_theme = "furo"
html_title = f"lamiro {release}"
html_static_path = ["_static"]
html_css_files = ["wrapped-output.css"]
html_show_sourcelink = False
html_theme_options = {"navigation_with_keys": True}
