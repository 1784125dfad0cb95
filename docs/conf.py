"""The tonesift documentation site: ./dev docs builds it from these pages into build/docs/html."""
import tonesift_image

project = "tonesift"
author = "the tonesift developers"
copyright = "2026, the tonesift developers"
release = version = tonesift_image.__version__

extensions = ["myst_parser", "sphinx.ext.autodoc"]
source_suffix = {".md": "markdown"}
myst_enable_extensions = ["colon_fence", "deflist", "fieldlist"]
# Headings up to ### get anchors, so that pages can link to a section (page.md#section).
myst_heading_anchors = 3
# The charts are remade by ./dev bench.
html_static_path = ["_static"]
html_css_files = ["wrap.css"]
html_extra_path = ["tonesift-regions.schema.json"]

html_theme = "furo"
html_title = f"tonesift {release}"
# The theme's own fonts are the reader's: nothing is fetched from elsewhere.
html_theme_options = {"navigation_with_keys": True}

autodoc_member_order = "bysource"
autodoc_typehints = "signature"
