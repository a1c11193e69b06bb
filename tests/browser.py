"""A headless Chromium driven through its DevTools protocol on a pipe (no extra package):
open a local page, collect what its console said and what it requested, and take a
screenshot of the whole page.

`find_browser()` is None where no Chromium is installed (Debian: apt-get install chromium).
"""

import base64
import fcntl
import json
import os
import select
import shutil
import subprocess
import time

BROWSERS = ("chromium", "chromium-browser", "google-chrome")


def find_browser():
    return next((path for path in map(shutil.which, BROWSERS) if path), None)


class _Pipe:
    """JSON messages ended by NUL: commands to the browser's fd 3, replies from its fd 4."""

    def __init__(self, to_browser, from_browser, timeout):
        self.to_browser, self.from_browser = to_browser, from_browser
        self.deadline = time.monotonic() + timeout
        self.buffer, self.events, self.next_id = b"", [], 0

    def send(self, method, session=None, **params):
        self.next_id += 1
        message = {"id": self.next_id, "method": method, "params": params}
        if session:
            message["sessionId"] = session
        os.write(self.to_browser, json.dumps(message).encode() + b"\0")
        while True:
            reply = self.receive()
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise RuntimeError(f"{method}: {reply['error']}")
                return reply["result"]
            self.events.append(reply)

    def receive(self):
        while b"\0" not in self.buffer:
            left = self.deadline - time.monotonic()
            if left <= 0 or not select.select([self.from_browser], [], [], left)[0]:
                raise TimeoutError("the browser did not answer in time")
            chunk = os.read(self.from_browser, 1 << 20)
            if not chunk:
                raise EOFError("the browser closed its pipe")
            self.buffer += chunk
        message, self.buffer = self.buffer.split(b"\0", 1)
        return json.loads(message)

    def wait_for(self, method):
        while not any(e.get("method") == method for e in self.events):
            self.events.append(self.receive())


def _browser_environment():
    """This process's environment without what a sanitizer run preloads into the
    interpreter: the browser is not built for it and would not start."""
    return {key: value for key, value in os.environ.items()
            if key not in ("LD_PRELOAD", "ASAN_OPTIONS", "UBSAN_OPTIONS", "PYTHONMALLOC")}


def visit(browser, page, profile, width=1280, timeout=60):
    """Loads `page` (a Path) and returns (console, requests, png): the console messages and
    errors as "level: text" lines, the URLs the page requested besides itself, and a PNG
    of the whole page."""
    commands_r, commands_w = os.pipe()
    replies_r, replies_w = os.pipe()

    def on_fds_3_and_4():
        # Out of the way first, in case either pipe end is already fd 3 or 4.
        commands, replies = (fcntl.fcntl(fd, fcntl.F_DUPFD, 10) for fd in (commands_r, replies_w))
        os.dup2(commands, 3)
        os.dup2(replies, 4)

    process = subprocess.Popen(
        [browser, "--headless", "--no-sandbox", "--disable-gpu", "--hide-scrollbars",
         "--remote-debugging-pipe", f"--user-data-dir={profile}", "about:blank"],
        stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL, close_fds=False,
        preexec_fn=on_fds_3_and_4, env=_browser_environment())
    os.close(commands_r)
    os.close(replies_w)
    pipe = _Pipe(commands_w, replies_r, timeout)
    try:
        target = pipe.send("Target.createTarget", url="about:blank")["targetId"]
        session = pipe.send("Target.attachToTarget", targetId=target, flatten=True)["sessionId"]
        for domain in ("Page", "Runtime", "Log", "Network"):
            pipe.send(f"{domain}.enable", session)
        pipe.send("Emulation.setDeviceMetricsOverride", session, width=width, height=900,
                  deviceScaleFactor=1, mobile=False)
        pipe.send("Page.navigate", session, url=page.as_uri())
        pipe.wait_for("Page.loadEventFired")
        size = pipe.send("Page.getLayoutMetrics", session)["cssContentSize"]
        shot = pipe.send("Page.captureScreenshot", session, format="png",
                         captureBeyondViewport=True,
                         clip={"x": 0, "y": 0, "width": width, "height": size["height"],
                               "scale": 1})
        try:
            pipe.send("Browser.close")
        except (EOFError, OSError):
            pass  # closed before it answered
    finally:
        os.close(commands_w)
        os.close(replies_r)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
    return _console(pipe.events), _requests(pipe.events, page), base64.b64decode(shot["data"])


def _console(events):
    lines = []
    for event in events:
        method, params = event.get("method"), event.get("params", {})
        if method == "Runtime.consoleAPICalled":
            text = " ".join(str(a.get("value", a.get("description"))) for a in params["args"])
            lines.append(f"{params['type']}: {text}")
        elif method == "Runtime.exceptionThrown":
            lines.append(f"exception: {params['exceptionDetails'].get('text')}")
        elif method == "Log.entryAdded":
            entry = params["entry"]
            lines.append(f"{entry['level']}: {entry['text']} {entry.get('url', '')}")
    return lines


def _requests(events, page):
    return {e["params"]["request"]["url"] for e in events
            if e.get("method") == "Network.requestWillBeSent"} - {page.as_uri()}
