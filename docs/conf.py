"""Sphinx settings for the site that `make docs` builds into site/.

The pages are Markdown (MyST); the front page is README.md itself, included
by index.md. The build runs offline and strictly (-W -n): no inventories are
fetched, so the few types of other projects that a signature names are
listed in nitpick_ignore, each by its full name."""

import woxbloomfilter_tools

project = "woxbloomfilter"
author = "the woxbloomfilter developers"
copyright = "the woxbloomfilter developers, MIT licensed"
release = "0.1.0"

extensions = ["myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".md": "markdown"}
exclude_patterns = ["requirements.txt"]

# ::: fences for directives: on a repository host their text still reads as
# Markdown. Headings up to ### get the anchors a repository host gives them,
# so that links such as stored-filters.md#the-format work in both places.
myst_enable_extensions = ["colon_fence", "attrs_block"]
myst_heading_anchors = 3

# Docstrings write `name` for code, as Markdown does.
default_role = "literal"
autodoc_typehints_format = "short"
python_use_unqualified_type_names = True
autodoc_member_order = "bysource"
# The aliases of the signatures, kept as names and described on the
# reference page rather than spelled out in every signature.
autodoc_type_aliases = {
    "Table": "woxbloomfilter_tools._keys.Table",
    "Key": "woxbloomfilter_tools._keys.Key",
    "Types": "woxbloomfilter_tools._keys.Types",
}

nitpicky = True
# Types of the standard library, NumPy, Dask and pyspark, whose inventories would
# need the network.
nitpick_ignore = [
    ("py:class", "collections.abc.Buffer"),
    ("py:class", "os.PathLike"),
    ("py:class", "numpy.typing.NDArray"),
    ("py:class", "numpy._typing._array_like.NDArray"),  # NDArray as autodoc resolves it
    ("py:class", "numpy.bool"),
    ("py:class", "numpy.uint8"),
    ("py:class", "dask.array.Array"),
    ("py:class", "dask.dataframe.DataFrame"),
    ("py:class", "dask.dataframe.Series"),
    ("py:class", "pyspark.sql.DataFrame"),
]

# Blocks without a language are output, shown as plain text.
highlight_language = "text"

html_theme = "furo"
html_static_path = ["_static"]
html_css_files = ["custom.css"]
html_title = "woxbloomfilter"
html_show_sourcelink = False
html_copy_source = False


def _check_exports(app, env):
    """Every name that woxbloomfilter_tools exports has its entry in the
    reference: a new export without one fails the build."""
    documented = env.domains["py"].objects
    for name in woxbloomfilter_tools.__all__:
        if f"woxbloomfilter_tools.{name}" not in documented:
            from sphinx.util import logging

            logging.getLogger(__name__).warning(
                "woxbloomfilter_tools.%s is exported but not in the reference (docs/reference.md)", name
            )


def setup(app):
    app.connect("env-check-consistency", _check_exports)
