"""Checks every internal link of the built site: each href or src that points
into the site must name a file that exists and, with a #fragment, an id in
that file. External links (http, https, mailto) are not followed: the build
machine reaches no other site.

Usage: python docs/check_links.py build/docs/html
"""

import html.parser
import pathlib
import sys
import urllib.parse


class _Page(html.parser.HTMLParser):
    def __init__(self):
        super().__init__()
        self.ids, self.links = set(), []

    def handle_starttag(self, tag, attrs):
        attrs = dict(attrs)
        for key in ("id", "name"):
            if attrs.get(key):
                self.ids.add(attrs[key])
        for key in ("href", "src"):
            if attrs.get(key) is not None and not (tag == "link" and key == "href"
                                                   and attrs.get("rel") == "canonical"):
                self.links.append(attrs[key])


def parse(path):
    page = _Page()
    page.feed(path.read_text(encoding="utf-8"))
    return page


def broken_links(root):
    """(page, link, reason) for every internal link of the site under root."""
    root = pathlib.Path(root).resolve()
    pages = {path: parse(path) for path in sorted(root.rglob("*.html"))}
    broken = []
    for path, page in pages.items():
        for link in page.links:
            parts = urllib.parse.urlsplit(link)
            if parts.scheme or parts.netloc or link.startswith("//"):
                continue  # another site
            target = (path.parent / urllib.parse.unquote(parts.path)).resolve() \
                if parts.path else path
            if target.is_dir():
                target = target / "index.html"
            if root not in target.parents and target != root:
                broken.append((path, link, "points outside the site"))
            elif not target.is_file():
                broken.append((path, link, "no such file"))
            elif parts.fragment and target.suffix == ".html":
                ids = pages[target].ids if target in pages else parse(target).ids
                if urllib.parse.unquote(parts.fragment) not in ids:
                    broken.append((path, link, "no such anchor"))
    return len(pages), broken


def main():
    root = pathlib.Path(sys.argv[1] if len(sys.argv) > 1 else "build/docs/html")
    if not (root / "index.html").is_file():
        sys.exit(f"check_links: {root} has no index.html; build the site first (make docs)")
    count, broken = broken_links(root)
    for path, link, reason in broken:
        print(f"{path.relative_to(root.resolve())}: {link}: {reason}")
    print(f"check_links: {count} pages, {len(broken)} broken internal link(s)")
    sys.exit(1 if broken else 0)


if __name__ == "__main__":
    main()
