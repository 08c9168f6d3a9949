"""Checks the built site as a reader's browser lays it out (headless Chromium).

Every page is opened at 1280 px, then at 600 px, with every request to
another machine refused and recorded. At 1280 px no code block, table, formula,
picture or API name may be wider than its box (nothing to scroll, nothing cut
off, no name broken inside a word); at 600 px no code block either (their lines
wrap there) and the page itself may not be wider than the window (tables scroll
inside their box). Any request that would leave the machine fails the check at
either width.

Usage: python docs/check_layout.py build/docs/html [page.html ...]
       python docs/check_layout.py build/docs/html --screenshots DIR [page.html ...]

With --screenshots, PNG files of the first screen of each page at both widths
are written to DIR (NAME-1280.png, NAME-600.png) instead of checking.
Needs Chromium (`scripts/install-system-deps screenshots`); it is driven over
the DevTools protocol on a pipe, so no other package is needed.
"""

import argparse
import base64
import json
import os
import pathlib
import shutil
import subprocess
import sys
import tempfile
import time

WIDE, NARROW = 1280, 600
# Pages whose content is generated index material (the search page fills in
# only with a query; the index lists names in columns of its own).
SKIPPED = {"search.html", "genindex.html", "py-modindex.html"}

# Runs in the page once it has loaded and MathJax has typeset: returns the
# faults as [kind, excess in px, snippet].
_MEASURE = r"""
(() => {
  const faults = [];
  const snippet = (el) => (el.innerText || el.textContent || "").trim()
      .split("\n")[0].slice(0, 70);
  const wide = window.innerWidth > %(narrow)d;
  const main = document.querySelector("article") || document.body;
  const box = main.getBoundingClientRect();
  for (const pre of main.querySelectorAll("pre")) {
    if (pre.closest(".MathJax, mjx-container")) continue;
    const excess = pre.scrollWidth - pre.clientWidth;
    if (excess > 1) faults.push(["code block", excess, snippet(pre)]);
  }
  if (wide) {
    // A table scrolls inside itself or inside the theme's wrapper, which stands
    // a few px out of the text column on purpose (its shadow).
    for (const table of main.querySelectorAll("table")) {
      const wrapper = table.closest(".table-wrapper") || table;
      const excess = Math.max(table.scrollWidth - table.clientWidth,
                              wrapper.scrollWidth - wrapper.clientWidth,
                              wrapper.getBoundingClientRect().right - box.right - 8);
      if (excess > 1) faults.push(["table", Math.round(excess), snippet(table)]);
    }
    for (const math of main.querySelectorAll("mjx-container[display=true]")) {
      const excess = math.scrollWidth - math.clientWidth;
      if (excess > 1) faults.push(["formula", excess, snippet(math.parentElement)]);
    }
    for (const img of main.querySelectorAll("img")) {
      const excess = img.getBoundingClientRect().right - box.right;
      if (excess > 1) faults.push(["picture", Math.round(excess), img.src.split("/").pop()]);
    }
  }
  // A name (code in a table, a signature, a link of the sidebar or of the
  // page's contents) is broken when one word of it is laid out on two lines
  // between two word characters ("velmora.mpi.|evolve" and "time-|dependent"
  // are fine, "ConvergenceErro|r" is not).
  // A number in a table ("6e-16", "-0.5") is broken when it is laid out on
  // two lines at all.
  const broken = (node, kind, allowed) => {
    const text = node.textContent;
    const re = /\S+/g;
    for (let m = re.exec(text); m; m = re.exec(text)) {
      if (kind === "broken number" && !/\d/.test(m[0])) continue;
      let top = null;
      for (let i = 0; i < m[0].length; i++) {
        const range = document.createRange();
        range.setStart(node, m.index + i);
        range.setEnd(node, m.index + i + 1);
        const rect = range.getBoundingClientRect();
        if (rect.width === 0) continue;
        if (top !== null && Math.abs(rect.top - top) > 2 && !allowed(m[0][i - 1]))
          faults.push([kind, 0, m[0].slice(0, i) + "|" + m[0].slice(i)]);
        top = rect.top;
      }
    }
  };
  for (const cell of document.querySelectorAll("article td, article th")) {
    const walker = document.createTreeWalker(cell, NodeFilter.SHOW_TEXT);
    for (let node = walker.nextNode(); node; node = walker.nextNode())
      if (!node.parentElement.closest("code")) broken(node, "broken number", () => false);
  }
  const names = document.querySelectorAll(
      "article table code, article dt.sig, .sidebar-tree a, .toc-tree a");
  for (const el of names) {
    const walker = document.createTreeWalker(el, NodeFilter.SHOW_TEXT);
    for (let node = walker.nextNode(); node; node = walker.nextNode())
      broken(node, "broken name", (c) => !/\w/.test(c));
    const excess = el.scrollWidth - el.clientWidth;
    if (wide && el.matches("dt.sig") && excess > 1)
      faults.push(["signature", excess, snippet(el)]);
  }
  const page = document.documentElement.scrollWidth - window.innerWidth;
  if (page > 1) faults.push(["page wider than the window", page, ""]);
  return JSON.stringify(faults);
})()
"""


class Browser:
    """Headless Chromium spoken to over the DevTools protocol on a pipe
    (file descriptors 3 and 4 of the browser: JSON messages ended by NUL)."""

    def __init__(self, executable):
        self._profile = tempfile.mkdtemp(prefix="velmora-layout-")
        to_browser, self._write = os.pipe()
        self._read, from_browser = os.pipe()

        def place_pipes():
            a, b = os.dup(to_browser), os.dup(from_browser)
            os.dup2(a, 3)
            os.dup2(b, 4)

        self._process = subprocess.Popen(
            [executable, "--headless=new", "--remote-debugging-pipe", "--no-sandbox",
             "--disable-gpu", "--no-first-run", "--no-default-browser-check",
             "--mute-audio", "--disable-extensions",
             "--disable-background-networking", "--disable-component-update",
             "--disable-sync", "--allow-file-access-from-files",
             f"--user-data-dir={self._profile}", "about:blank"],
            stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
            preexec_fn=place_pipes, close_fds=False)
        os.close(to_browser)
        os.close(from_browser)
        self._buffer, self._next, self._events, self._replies = b"", 0, [], {}
        self.outside = []
        target = self.call("Target.createTarget", url="about:blank")["targetId"]
        self.session = self.call("Target.attachToTarget", targetId=target,
                                 flatten=True)["sessionId"]
        self.page("Page.enable")
        self.page("Fetch.enable", patterns=[{"urlPattern": pattern} for pattern in
                                            ("http://*", "https://*", "ws://*", "wss://*")])

    def close(self):
        try:
            self.call("Browser.close")
        except (OSError, RuntimeError):
            pass
        try:
            self._process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            self._process.kill()
        os.close(self._write)
        os.close(self._read)
        shutil.rmtree(self._profile, ignore_errors=True)

    def _receive(self, timeout):
        import select

        while b"\0" not in self._buffer:
            ready, _, _ = select.select([self._read], [], [], timeout)
            if not ready:
                raise TimeoutError("Chromium did not answer")
            chunk = os.read(self._read, 1 << 20)
            if not chunk:
                raise RuntimeError("Chromium closed the pipe")
            self._buffer += chunk
        message, self._buffer = self._buffer.split(b"\0", 1)
        return json.loads(message)

    def call(self, method, session=None, timeout=60, **params):
        self._next += 1
        key = self._next
        message = {"id": key, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self._write, json.dumps(message).encode() + b"\0")
        while key not in self._replies:
            reply = self._receive(timeout)
            if "id" in reply:
                self._replies[reply["id"]] = reply
            elif "method" in reply:
                self._events.append(reply)
                self._handle(reply)
        reply = self._replies.pop(key)
        if "error" in reply:
            raise RuntimeError(f"{method}: {reply['error'].get('message')}")
        return reply.get("result", {})

    def page(self, method, **params):
        return self.call(method, session=self.session, **params)

    # Requests to another machine are refused as they start: nothing leaves.
    def _handle(self, event):
        if event["method"] == "Fetch.requestPaused":
            self.outside.append(event["params"]["request"]["url"])
            self.call("Fetch.failRequest", session=self.session,
                      requestId=event["params"]["requestId"], errorReason="BlockedByClient")

    def resize(self, width, height):
        """The window's size; the page is laid out again (two frames later)."""
        self.page("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=1, mobile=False)
        self.evaluate("new Promise(done => requestAnimationFrame(() => "
                      "requestAnimationFrame(() => done(0))))")

    def open(self, url, width, height):
        self.outside = []
        self.page("Emulation.setDeviceMetricsOverride", width=width, height=height,
                  deviceScaleFactor=1, mobile=False)
        self._events.clear()
        self.page("Page.navigate", url=url)
        deadline = time.monotonic() + 60
        while not any(e.get("method") == "Page.loadEventFired" for e in self._events):
            if time.monotonic() > deadline:
                raise TimeoutError(f"{url} did not load")
            event = self._receive(deadline - time.monotonic())
            if "id" in event:
                self._replies[event["id"]] = event
            elif "method" in event:
                self._events.append(event)
                self._handle(event)
        # Formulas and fonts settle after the load event.
        self.evaluate("Promise.all([document.fonts.ready, (window.MathJax && MathJax.startup"
                      " && MathJax.startup.promise) || null]).then(() => 0)")

    def evaluate(self, expression):
        result = self.page("Runtime.evaluate", expression=expression, awaitPromise=True,
                           returnByValue=True)
        if "exceptionDetails" in result:
            raise RuntimeError(result["exceptionDetails"].get("text", "script failed"))
        return result["result"].get("value")

    def screenshot(self, path):
        data = self.page("Page.captureScreenshot", format="png")["data"]
        pathlib.Path(path).write_bytes(base64.b64decode(data))


def chromium():
    for name in ("chromium", "chromium-browser", "google-chrome"):
        if shutil.which(name):
            return shutil.which(name)
    sys.exit("check_layout: no Chromium on PATH (scripts/install-system-deps screenshots)")


def pages_of(root, names):
    if names:
        return [root / name for name in names]
    return [path for path in sorted(root.rglob("*.html"))
            if path.relative_to(root).as_posix() not in SKIPPED
            and not path.relative_to(root).parts[0].startswith("_")]


def check(root, pages, browser, widths):
    """{(page, width): [fault, ...]} over every page at the widths (each page
    is loaded once, then laid out at each width)."""
    faults = {}
    for path in pages:
        browser.open(path.as_uri(), widths[0], 900)
        for width in widths:
            if width != widths[0]:
                browser.resize(width, 900)
            found = [tuple(fault) for fault in
                     json.loads(browser.evaluate(_MEASURE % {"narrow": NARROW}))]
            found += [("request leaving the machine", 0, url) for url in browser.outside]
            browser.outside = []
            if found:
                faults[(path.relative_to(root).as_posix(), width)] = found
    return faults


def main(argv=None):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("site", type=pathlib.Path, help="the built site (build/docs/html)")
    parser.add_argument("pages", nargs="*", help="pages to open, relative to the site "
                        "(default: every page)")
    parser.add_argument("--screenshots", type=pathlib.Path, metavar="DIR",
                        help="write screenshots of the pages into DIR instead of checking")
    parser.add_argument("--height", type=int, default=1000,
                        help="window height of the screenshots in px (default: 1000)")
    parser.add_argument("--width", type=int, action="append", choices=(WIDE, NARROW),
                        help=f"only this width (default: {WIDE} and {NARROW})")
    args = parser.parse_intermixed_args(argv)
    root = args.site.resolve()
    if not (root / "index.html").is_file():
        sys.exit(f"check_layout: no site in {args.site}: build it first (make docs)")
    pages = pages_of(root, args.pages)
    widths = args.width or [WIDE, NARROW]
    started = time.monotonic()
    browser = Browser(chromium())
    try:
        if args.screenshots:
            args.screenshots.mkdir(parents=True, exist_ok=True)
            for path in pages:
                stem = path.relative_to(root).with_suffix("").as_posix().replace("/", "_")
                for width in widths:
                    browser.open(path.as_uri(), width, args.height)
                    out = args.screenshots / f"{stem}-{width}.png"
                    browser.screenshot(out)
                    print(out)
            return 0
        faults = check(root, pages, browser, widths)
    finally:
        browser.close()
    for (page, width), found in sorted(faults.items()):
        for kind, excess, what in found:
            extent = f" {excess} px too wide" if excess else ""
            print(f"{page} at {width} px: {kind}{extent}: {what}")
    pages_at_fault = {page for page, _ in faults}
    print(f"check_layout: {len(pages)} pages at {' and '.join(map(str, widths))} px in "
          f"{time.monotonic() - started:.0f} s; {len(pages_at_fault)} with faults")
    return 1 if faults else 0


if __name__ == "__main__":
    sys.exit(main())
