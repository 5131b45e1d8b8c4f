"""The three browser engines the page is tried in, behind one face: Chromium (through chromedriver),
WebKit (WebKitGTK's MiniBrowser through WebKitWebDriver) and Gecko (Firefox, through the WebDriver
BiDi protocol it speaks itself; Debian has no geckodriver).

  start(engine, work, url) -> a Browser

A Browser has `driver`, which answers the part of Selenium's WebDriver the tests use
(execute_script, find_element, get, ...), and what WebDriver leaves to each engine:
downloads into a folder, the requests the browser made and the errors the page logged. Every
browser and driver is reached at 127.0.0.1: a minimal system without /etc/hosts cannot resolve
"localhost". Nothing is downloaded: each engine is a Debian package.
"""
import base64
import http.server
import itertools
import json
import os
import pathlib
import shlex
import shutil
import socket
import subprocess
import sys
import tempfile
import threading
import time
import urllib.error
import urllib.request

from selenium import webdriver
from selenium.common.exceptions import ElementNotInteractableException, JavascriptException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.remote.file_detector import UselessFileDetector

ENGINES = ("chromium", "firefox", "webkit")
MINIBROWSER = "/usr/lib/x86_64-linux-gnu/webkit2gtk-4.1/MiniBrowser"


def free_port():
    with socket.socket() as probe:
        probe.bind(("127.0.0.1", 0))
        return probe.getsockname()[1]


def wait_for_port(port, process, what, log=None, timeout=120):
    """Waits for `process` to listen on `port`. A loaded machine (the Wine tests under an
    emulator beside the browser tests) can take a browser's first start past half a minute. When
    it does not start, the error says how it ended and the end of its output, `log`."""
    started = time.time()
    while True:
        try:
            socket.create_connection(("127.0.0.1", port), 1).close()
            return
        except OSError:
            code = process.poll()
            if time.time() - started > timeout or code is not None:
                how = f"exited with {code}" if code is not None else f"not listening after {timeout} s"
                said = pathlib.Path(log).read_text(errors="replace").strip().splitlines()[-5:] if log else []
                raise AssertionError(f"{what} did not start ({how}): {' | '.join(said)}")
            time.sleep(0.1)


def stop(process, timeout=10):
    process.terminate()
    try:
        process.wait(timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        process.wait()


def die_with_parent():
    """A prefix that ends a helper process (Xvfb, a driver) when the test ends, even when the
    test is killed."""
    return ["setpriv", "--pdeathsig", "TERM"] if shutil.which("setpriv") else []


class Browser:
    """One browser on the page. `profile` is a scratch folder of its own, removed on close;
    `pid` the process its processes descend from; `version` what the browser says it is."""

    engine = ""
    # How the page's worker reads files in this engine: "byte-stream" (a BYOB reader of the
    # File's stream), "copying" (a default reader, copied) or "page" (the page reads for it).
    def reads(self, url):
        return "byte-stream"

    # Where the page's output goes in this engine: "disk" (a file of the browser's own file
    # system, which Chromium and Firefox give a page served from 127.0.0.1 or opened from disk;
    # Chromium's from disk because the tests allow file access from files) or "blob".
    def output(self, url):
        return "disk"

    def __init__(self, work):
        self.profile = pathlib.Path(tempfile.mkdtemp(prefix=f"{self.engine}-", dir=work))
        self.log = self.profile.parent / f"{self.profile.name}.log"  # the browser's own output
        self.processes = []

    def launch(self, argv, env=None):
        """Starts the browser, its output into `log`; it is the process the others descend from."""
        with open(self.log, "wb") as log:
            browser = subprocess.Popen(argv, env=env, stdout=subprocess.DEVNULL, stderr=log)
        self.processes.append(browser)
        self.pid = browser.pid
        return browser

    @property
    def version(self):
        return self.driver.capabilities.get("browserVersion", "")

    def download_folder(self):
        """An empty folder the next download lands in: by default `downloads`, the one folder
        the browser was told to save into, emptied."""
        for leftover in self.downloads.iterdir():
            leftover.unlink()
        return self.downloads

    def click_to_download(self, link):
        """Clicks a link that saves a file; the test then waits for the file in download_folder()."""
        link.click()

    def requests(self):
        """Every http(s) and file URL the browser asked for so far, in order."""
        raise NotImplementedError

    def errors(self):
        """The errors the page and its workers logged so far."""
        raise NotImplementedError

    def close(self):
        try:
            self.driver.quit()
        finally:
            for process in reversed(self.processes):
                stop(process)
            shutil.rmtree(self.profile, ignore_errors=True)


# ---- Chromium ------------------------------------------------------------------------------------

class LoopbackService(Service):
    """chromedriver reached at 127.0.0.1 (Selenium's own Service asks for "localhost")."""

    @property
    def service_url(self):
        return f"http://127.0.0.1:{self.port}"

    def is_connectable(self):
        try:
            socket.create_connection(("127.0.0.1", self.port), 1).close()
            return True
        except OSError:
            return False


class Chromium(Browser):
    """Headless Chromium, started here with its debugging port at 127.0.0.1 and chromedriver
    attached to it (a Chromium chromedriver starts itself is reached through "localhost").
    Downloads and requests come from the DevTools protocol, errors from the browser's log."""

    engine = "chromium"
    # ZQV_WEB_CHROMIUM_FILE_ACCESS=default: a page from disk as Chromium treats it by default,
    # without --allow-file-access-from-files, which refuses it the browser's own file system.
    default_file_access = os.environ.get("ZQV_WEB_CHROMIUM_FILE_ACCESS") == "default"

    def output(self, url):
        return "blob" if self.default_file_access and url.startswith("file:") else "disk"

    def __init__(self, work):
        super().__init__(work)
        port = free_port()
        file_access = [] if self.default_file_access else ["--allow-file-access-from-files"]
        args = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-dev-shm-usage",
                "--window-size=900,1200", f"--user-data-dir={self.profile}", "--no-first-run",
                "--disable-background-networking", "--disable-component-update",
                "--disable-default-apps", "--disable-sync", *file_access,
                f"--remote-debugging-port={port}", "--remote-debugging-address=127.0.0.1",
                *shlex.split(os.environ.get("ZQV_WEB_CHROMIUM_FLAGS", ""))]
        browser = self.launch([shutil.which("chromium") or "/usr/bin/chromium", *args, "about:blank"])
        wait_for_port(port, browser, "Chromium", self.log)
        options = webdriver.ChromeOptions()
        options.add_experimental_option("debuggerAddress", f"127.0.0.1:{port}")
        options.set_capability("goog:loggingPrefs", {"performance": "ALL", "browser": "ALL"})
        service = LoopbackService(shutil.which("chromedriver") or "/usr/bin/chromedriver")
        self.driver = webdriver.Chrome(service=service, options=options)
        self.seen = []

    def download_folder(self):
        folder = pathlib.Path(tempfile.mkdtemp(prefix="dl-", dir=self.profile.parent))
        self.driver.execute_cdp_cmd("Browser.setDownloadBehavior",
                                    {"behavior": "allow", "downloadPath": str(folder)})
        return folder

    def requests(self):
        for entry in self.driver.get_log("performance"):
            message = json.loads(entry["message"])["message"]
            if message["method"] == "Network.requestWillBeSent":
                self.seen.append(message["params"]["request"]["url"])
        return [url for url in self.seen if not url.startswith(("data:", "blob:"))]

    def errors(self):
        return [e["message"] for e in self.driver.get_log("browser") if e["level"] == "SEVERE"]


# ---- WebKit --------------------------------------------------------------------------------------

class RecordingProxy:
    """An HTTP proxy that notes each request's URL; it passes on those to this machine (the
    tests' own servers) and refuses all others."""

    def __init__(self):
        seen = self.seen = []

        class Handler(http.server.BaseHTTPRequestHandler):
            def handle_request(self):
                url = self.path if "://" in self.path else f"https://{self.path}"
                seen.append(url)
                if not url.startswith("http://127.0.0.1:"):
                    self.send_response(502)
                    self.end_headers()
                    return
                length = int(self.headers.get("Content-Length") or 0)
                request = urllib.request.Request(url, data=self.rfile.read(length) if length else None,
                                                 method=self.command)
                try:
                    answer = urllib.request.urlopen(request, timeout=30)
                except urllib.error.HTTPError as error:
                    answer = error
                body = answer.read()
                self.send_response(answer.status)
                for name, value in answer.headers.items():
                    if name.lower() not in ("connection", "transfer-encoding", "content-length"):
                        self.send_header(name, value)
                self.send_header("Content-Length", str(len(body)))
                self.end_headers()
                self.wfile.write(body)

            do_GET = do_POST = do_HEAD = do_PUT = do_OPTIONS = do_CONNECT = handle_request

            def log_message(self, *args):
                pass

        self.server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Handler)
        self.address = f"127.0.0.1:{self.server.server_address[1]}"
        threading.Thread(target=self.server.serve_forever, daemon=True).start()

    def close(self):
        self.server.shutdown()
        self.server.server_close()


# Errors the page and its workers raise, kept in the page where a driver has no log to read them
# from. Loaded after the page, so an error while it loads shows only as a page that fails the tests.
PAGE_ERROR_LISTENER = """
if (!window.zqvErrors) {
  window.zqvErrors = [];
  addEventListener('error', (e) => zqvErrors.push(`${e.message} (${e.filename}:${e.lineno})`));
  addEventListener('unhandledrejection', (e) => zqvErrors.push(`unhandled: ${e.reason}`));
  document.addEventListener('securitypolicyviolation', (e) => zqvErrors.push(`refused by the policy: ${e.blockedURI}`));
}
"""


class WebKit(Browser):
    """WebKitGTK's MiniBrowser, driven by WebKitWebDriver, on an X server of its own (Xvfb):
    MiniBrowser has no headless mode. Downloads land in its home folder's download folder; the
    requests it makes go through a proxy it is given (WebDriver's proxy capability), which notes
    them; errors are kept by listeners in the page, since WebKitWebDriver keeps no browser log.
    Files the browser reads from disk reach no proxy: they are not in its record."""

    engine = "webkit"

    def reads(self, url):
        # WebKit's Blob streams are no byte streams; from disk its workers can read no Blob at all.
        return "page" if url.startswith("file:") else "copying"

    def output(self, url):
        return "blob"  # WebKitGTK 2.50 has no storage manager (navigator.storage) at all

    def __init__(self, work):
        super().__init__(work)
        xvfb = subprocess.Popen([*die_with_parent(), "Xvfb", "-displayfd", "1", "-nolisten", "tcp",
                                 "-screen", "0", "1280x1700x24"],
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.processes.append(xvfb)
        display = xvfb.stdout.readline().strip()
        if not display:
            raise AssertionError("Xvfb did not start")
        self.downloads = self.profile / "downloads"
        (self.profile / ".config").mkdir()
        (self.profile / ".config" / "user-dirs.dirs").write_text(f'XDG_DOWNLOAD_DIR="{self.downloads}"\n')
        self.downloads.mkdir()
        env = {**os.environ, "DISPLAY": f":{display}", "HOME": str(self.profile),
               "XDG_CONFIG_HOME": str(self.profile / ".config"), "XDG_CACHE_HOME": str(self.profile / ".cache"),
               "XDG_DATA_HOME": str(self.profile / ".local"), "LIBGL_ALWAYS_SOFTWARE": "1"}
        port = free_port()
        driver = subprocess.Popen([*die_with_parent(), "WebKitWebDriver", f"--port={port}", "--host=127.0.0.1"],
                                  env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        self.processes.append(driver)
        self.pid = driver.pid
        wait_for_port(port, driver, "WebKitWebDriver")
        self.proxy = RecordingProxy()
        options = webdriver.WebKitGTKOptions()
        options.binary_location = MINIBROWSER
        options.add_argument("--automation")
        options.set_capability("proxy", {"proxyType": "manual", "httpProxy": self.proxy.address,
                                         "sslProxy": self.proxy.address})
        self.driver = webdriver.Remote(command_executor=f"http://127.0.0.1:{port}", options=options)
        self.driver.file_detector = UselessFileDetector()  # the browser is on this machine: no upload
        self.driver.set_window_size(900, 1200)

    def requests(self):
        return list(self.proxy.seen)

    def errors(self):
        try:
            return self.driver.execute_script("return window.zqvErrors || []")
        except JavascriptException:
            return []

    def close(self):
        try:
            super().close()
        finally:
            self.proxy.close()


# ---- Firefox -------------------------------------------------------------------------------------

class BiDi:
    """A WebDriver BiDi session over Firefox's WebSocket: commands answered in order, events kept
    as they arrive."""

    def __init__(self, port):
        import websocket  # Debian's python3-websocket
        self.socket = websocket.create_connection(f"ws://127.0.0.1:{port}/session", suppress_origin=True,
                                                  timeout=600)
        self.ids = itertools.count(1)
        self.events = []
        self.lock = threading.Lock()

    def command(self, method, **params):
        with self.lock:
            id_ = next(self.ids)
            self.socket.send(json.dumps({"id": id_, "method": method, "params": params}))
            while True:
                message = json.loads(self.socket.recv())
                if message.get("id") != id_:
                    self.events.append(message)
                elif message.get("type") == "error":
                    raise BiDiError(message.get("error", ""), message.get("message", ""))
                else:
                    return message["result"]

    def take_events(self, method):
        self.command("session.status")  # what arrived before it is in
        return [e["params"] for e in self.events if e.get("method") == method]

    def close(self):
        self.socket.close()


class BiDiError(Exception):
    def __init__(self, error, message):
        super().__init__(f"{error}: {message}")
        self.error = error


class FirefoxElement:
    """An element of the page, as Selenium's WebElement answers the tests."""

    def __init__(self, driver, shared_id):
        self.driver, self.shared_id = driver, shared_id

    def js(self, body, *args):
        return self.driver.execute_script(f"const el = arguments[0]; {body}", self, *args)

    def click(self):
        # A real click (pointer actions at the element's middle), as a person's.
        if not self.js("el.scrollIntoView({ block: 'center' }); return el.checkVisibility();"):
            raise ElementNotInteractableException("element not visible")
        self.driver.bidi.command("input.performActions", context=self.driver.context, actions=[{
            "type": "pointer", "id": "mouse", "parameters": {"pointerType": "mouse"}, "actions": [
                {"type": "pointerMove", "x": 0, "y": 0,
                 "origin": {"type": "element", "element": {"sharedId": self.shared_id}}},
                {"type": "pointerDown", "button": 0}, {"type": "pointerUp", "button": 0}]}])
        self.driver.bidi.command("input.releaseActions", context=self.driver.context)

    def send_keys(self, path):
        """Chooses a file, as on a file input (the only use the tests make of it)."""
        self.driver.bidi.command("input.setFiles", context=self.driver.context,
                                 element={"sharedId": self.shared_id}, files=[str(path)])

    def clear(self):
        self.js("el.value = ''; el.dispatchEvent(new Event('input', { bubbles: true }));")

    def is_displayed(self):
        return self.js("return el.checkVisibility();")

    def is_selected(self):
        return self.js("return el.checked || el.selected || false;")

    def get_attribute(self, name):
        return self.js("return el.hasAttribute(arguments[1]) ? (el.getAttribute(arguments[1]) || 'true') : null;",
                       name)

    @property
    def text(self):
        return self.js("return el.innerText;")


class FirefoxDriver:
    """The part of Selenium's WebDriver the tests use, over BiDi."""

    def __init__(self, bidi):
        self.bidi = bidi
        self.capabilities = bidi.command("session.new", capabilities={})["capabilities"]
        self.context = bidi.command("browsingContext.getTree")["contexts"][0]["context"]
        bidi.command("session.subscribe", events=["network.beforeRequestSent", "log.entryAdded"])

    def get(self, url):
        self.bidi.command("browsingContext.navigate", context=self.context, url=url, wait="complete")

    def value(self, argument):
        if isinstance(argument, FirefoxElement):
            return {"sharedId": argument.shared_id}
        if argument is None:
            return {"type": "null"}
        if isinstance(argument, bool):
            return {"type": "boolean", "value": argument}
        if isinstance(argument, (int, float)):
            return {"type": "number", "value": argument}
        return {"type": "string", "value": str(argument)}

    def result(self, remote):
        kind = remote["type"]
        if kind == "node":
            return FirefoxElement(self, remote["sharedId"])
        if kind in ("undefined", "null"):
            return None
        if kind == "array":
            return [self.result(item) for item in remote.get("value", [])]
        if kind == "object":
            return {key: self.result(item) for key, item in remote.get("value", [])}
        return remote.get("value")

    def call(self, function, args):
        answer = self.bidi.command("script.callFunction", functionDeclaration=function,
                                   arguments=[self.value(a) for a in args], awaitPromise=True,
                                   target={"context": self.context}, resultOwnership="none")
        if answer["type"] == "exception":
            raise JavascriptException(answer["exceptionDetails"]["text"])
        return self.result(answer["result"])

    def execute_script(self, script, *args):
        return self.call(f"function() {{ {script}\n}}", args)

    def execute_async_script(self, script, *args):
        # The last argument is the callback that answers, as in WebDriver's own.
        return self.call("function(...args) { return new Promise((done) => { (function() { " + script +
                         "\n}).apply(this, [...args, done]); }); }", args)

    def find_element(self, by, value):
        query = f"document.getElementById({json.dumps(value)})" if by == By.ID else \
            f"document.querySelector({json.dumps(value)})"
        element = self.execute_script(f"return {query};")
        if element is None:
            raise AssertionError(f"no element {value}")
        return element

    def set_window_size(self, width, height):
        self.bidi.command("browsingContext.setViewport", context=self.context,
                          viewport={"width": width, "height": height})

    def save_screenshot(self, path):
        data = self.bidi.command("browsingContext.captureScreenshot", context=self.context)["data"]
        pathlib.Path(path).write_bytes(base64.b64decode(data))

    def quit(self):
        try:
            self.bidi.command("session.end")
        except Exception:
            pass
        self.bidi.close()


class Firefox(Browser):
    """Headless Firefox ESR with WebDriver BiDi on a port at 127.0.0.1, a profile of its own
    whose preferences send downloads to one folder without asking. Requests and errors come from
    BiDi's network and log events; BiDi reports no event for a file read from disk."""

    engine = "firefox"

    def __init__(self, work):
        super().__init__(work)
        self.downloads = self.profile / "downloads"
        self.downloads.mkdir()
        preferences = {
            "browser.download.folderList": 2, "browser.download.dir": str(self.downloads),
            "browser.download.useDownloadDir": True, "browser.download.start_downloads_in_tmp_dir": False,
            "browser.download.always_ask_before_handling_new_types": False,
            "browser.download.alwaysOpenPanel": False,
            # Firefox's own traffic: updates, telemetry, safe browsing lists, start pages.
            "app.update.enabled": False, "browser.safebrowsing.downloads.enabled": False,
            "browser.safebrowsing.malware.enabled": False, "browser.safebrowsing.phishing.enabled": False,
            "datareporting.policy.dataSubmissionEnabled": False, "toolkit.telemetry.enabled": False,
            "browser.shell.checkDefaultBrowser": False, "browser.startup.homepage_override.mstone": "ignore",
            "network.captive-portal-service.enabled": False, "network.connectivity-service.enabled": False,
            "extensions.update.enabled": False, "browser.newtabpage.enabled": False,
        }
        (self.profile / "user.js").write_text("".join(f'user_pref("{k}", {json.dumps(v)});\n'
                                                      for k, v in preferences.items()))
        port = free_port()
        browser = self.launch([shutil.which("firefox-esr") or shutil.which("firefox") or "firefox-esr",
                               "--headless", "--no-remote", "--profile", str(self.profile),
                               f"--remote-debugging-port={port}", "--remote-allow-hosts=127.0.0.1",
                               "about:blank"], env={**os.environ, "MOZ_CRASHREPORTER_DISABLE": "1"})
        wait_for_port(port, browser, "Firefox", self.log)
        self.driver = FirefoxDriver(BiDi(port))
        self.driver.set_window_size(900, 1200)

    def requests(self):
        return [e["request"]["url"] for e in self.driver.bidi.take_events("network.beforeRequestSent")
                if not e["request"]["url"].startswith(("data:", "blob:"))]

    def errors(self):
        return [e.get("text") or str(e) for e in self.driver.bidi.take_events("log.entryAdded")
                if e.get("level") == "error"]


def tree_rss_mib(root):
    """The summed resident memory of `root` and its descendants (an upper bound: shared pages
    count once per process)."""
    children = {}
    for entry in os.listdir("/proc"):
        if entry.isdigit():
            try:
                with open(f"/proc/{entry}/stat") as f:
                    ppid = int(f.read().rsplit(")", 1)[1].split()[1])
                children.setdefault(ppid, []).append(int(entry))
            except OSError:
                pass
    total, todo = 0, [root]
    while todo:
        pid = todo.pop()
        todo += children.get(pid, [])
        try:
            with open(f"/proc/{pid}/status") as f:
                total += next(int(l.split()[1]) for l in f if l.startswith("VmRSS:"))
        except (OSError, StopIteration):
            pass
    return total / 1024


class PeakMemory:
    """Samples the browser's memory every 100 ms while a run lasts."""

    def __init__(self, root):
        self.root, self.peak, self.running = root, 0.0, True
        self.thread = threading.Thread(target=self.sample, daemon=True)
        self.thread.start()

    def sample(self):
        while self.running:
            self.peak = max(self.peak, tree_rss_mib(self.root))
            time.sleep(0.1)

    def stop(self):
        self.running = False
        self.thread.join()
        return self.peak


def start(engine, work):
    return {"chromium": Chromium, "firefox": Firefox, "webkit": WebKit}[engine](work)
