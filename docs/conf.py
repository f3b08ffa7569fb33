"""Sphinx configuration of varlix's documentation (built by ./tools/docs)."""
import os
import warnings

import varlix

project = "varlix"
author = "the varlix developers"
copyright = "the varlix developers"
release = version = varlix.__version__

extensions = [
    "sphinx.ext.autodoc",
    "sphinx.ext.autosummary",
    "sphinx.ext.mathjax",
    "numpydoc",
    "myst_parser",
    "sphinx_gallery.gen_gallery",
]

source_suffix = {".rst": "restructuredtext", ".md": "markdown"}
exclude_patterns = ["_build", "gallery/GALLERY_HEADER.rst"]
templates_path = []

# The API reference comes from the docstrings: one page per public object.
autosummary_generate = True
autodoc_default_options = {"members": True, "undoc-members": False}
autodoc_typehints = "none"
numpydoc_show_class_members = False
numpydoc_class_members_toctree = False
numpydoc_xref_param_type = False

# The README's _varlix sections are included as Markdown; they start at a
# third-level heading.
suppress_warnings = ["myst.header"]

html_theme = "furo"
html_title = f"varlix {release}"
html_static_path = []

# Examples run at build time; their plots use matplotlib's file backend.
os.environ.setdefault("MPLBACKEND", "Agg")
sphinx_gallery_conf = {
    "examples_dirs": "gallery",
    "gallery_dirs": "auto_examples",
    "filename_pattern": r"/plot_",
    "download_all_examples": False,
    "remove_config_comments": True,
    "matplotlib_animations": False,
    "within_subsection_order": "FileNameSortKey",
}

# arviz announces its coming refactor on import; that is not ours to fix.
warnings.filterwarnings("ignore", category=FutureWarning, module="arviz")
