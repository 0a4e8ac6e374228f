#!/usr/bin/python3
"""The demo appliance's page in a real browser (headless Chromium through
chromedriver), against a running demo (scripts/demo --browser-test starts it):
both live streams show pictures, the pictures change, a click on a timeline
plays the recording back, alarms are listed, and the page shows no error.
Saves demo-page.png (and the live pictures it compared) in --out. Every wait
is for something the page or the server shows, with a deadline; exit status
0 when everything held, 1 with the reason otherwise."""
import argparse
import json
import os
import shutil
import socket
import sys
import tempfile
import time
import urllib.request

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.common.by import By


class Failed(Exception):
    pass


def wait_for(what, condition, deadline_s):
    end = time.monotonic() + deadline_s
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise Failed("gave up waiting (%d s) for %s" % (deadline_s, what))
        time.sleep(0.2)  # polling interval of the condition, not a synchronisation


def state(url):
    with urllib.request.urlopen(url + "api/state", timeout=5) as r:
        return json.load(r)


def page_error(driver):
    return driver.find_element(By.ID, "error").text.strip()


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--url", required=True)
    ap.add_argument("--out", required=True)
    ap.add_argument("--work", help="the demo's working directory (for the report)")
    ap.add_argument("--deadline", type=float, default=60, help="seconds for the page to come up (qemu is slow)")
    args = ap.parse_args()
    os.makedirs(args.out, exist_ok=True)
    url = args.url if args.url.endswith("/") else args.url + "/"

    wait_for("the web server to answer", lambda: _answers(url), args.deadline)

    profile = tempfile.mkdtemp(prefix="demo-chromium-")
    opts = webdriver.ChromeOptions()
    opts.binary_location = "/usr/bin/chromium"
    for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--disable-dev-shm-usage", "--window-size=1100,1500", "--user-data-dir=" + profile):
        opts.add_argument(flag)
    driver = webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"), options=opts)
    report = []
    try:
        driver.get(url)

        def showing(img_id):
            return driver.execute_script(
                "const i = document.getElementById(arguments[0]); return i.complete !== undefined && i.naturalWidth > 0;",
                img_id)

        for cam in (1, 2):
            wait_for("camera %d's live stream to show a picture" % cam, lambda: showing("live%d" % cam), args.deadline)
        report.append("both live streams show pictures")

        # The picture moves: the clock in it changes every frame.
        for cam in (1, 2):
            img = driver.find_element(By.ID, "live%d" % cam)
            first = img.screenshot_as_png
            with open(os.path.join(args.out, "live%d-a.png" % cam), "wb") as f:
                f.write(first)
            later = wait_for("camera %d's picture to change" % cam,
                             lambda: (lambda p: p if p != first else None)(img.screenshot_as_png), 10)
            with open(os.path.join(args.out, "live%d-b.png" % cam), "wb") as f:
                f.write(later)
        report.append("both pictures change over time")

        # Some seconds of recording, then a click two seconds before its end.
        def recorded(cam, ms):
            c = state(url)["cameras"][cam - 1]
            return c["spans"] and c["spans"][-1][1] - c["spans"][0][0] >= ms
        wait_for("4 s of camera 1 on the timeline", lambda: recorded(1, 4000), 30)
        canvas = driver.find_element(By.ID, "timeline1")
        x = driver.execute_script("""
            const s = state, [from, to] = range(s), span = s.cameras[0].spans;
            const t = span[span.length - 1][1] - 2500;
            return Math.round((t - from) / (to - from) * arguments[0].clientWidth);""", canvas)
        before = state(url)["playback"]
        ActionChains(driver).move_to_element_with_offset(canvas, x - canvas.size["width"] // 2, 0).click().perform()
        wait_for("the playback to show a picture", lambda: showing("playback"), 15)
        wait_for("playback frames to arrive",
                 lambda: state(url)["playback"]["frames"] >= before["frames"] + 10, 15)
        report.append("a click on the timeline plays the recording (%d frames so far)" % state(url)["playback"]["frames"])

        wait_for("an alarm in the list",
                 lambda: any("Motion raised" in li.text for li in driver.find_elements(By.CSS_SELECTOR, "#alarms li")), 30)
        report.append("alarms listed: %d" % len(driver.find_elements(By.CSS_SELECTOR, "#alarms li")))
        wait_for("the plugin table", lambda: len(driver.find_elements(By.CSS_SELECTOR, "#plugins tbody tr")) >= 6, 10)

        report.append(hostile_clients(url))

        # Still live at the end: a stalled stream shows the same picture.
        for cam in (1, 2):
            img = driver.find_element(By.ID, "live%d" % cam)
            first = img.screenshot_as_png
            wait_for("camera %d's picture to change at the end" % cam, lambda: img.screenshot_as_png != first, 10)
        error = page_error(driver)
        if error:
            raise Failed("the page shows " + error)
        shot = os.path.join(args.out, "demo-page.png")
        driver.save_screenshot(shot)
        report.append("screenshot: " + shot)
    except Failed as e:
        driver.save_screenshot(os.path.join(args.out, "demo-page-failed.png"))
        for line in report:
            print("browser: ok    " + line)
        print("browser: FAIL  " + str(e))
        return 1
    finally:
        driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
    for line in report:
        print("browser: ok    " + line)
    return 0


def status_of(url, raw):
    """Sends raw bytes, returns the status line of the answer ("" when closed without one)."""
    host, port = url.split("//")[1].strip("/").split(":")
    with socket.create_connection((host, int(port)), timeout=5) as s:
        s.sendall(raw)
        try:
            return s.makefile("rb").readline().decode("latin-1").strip()
        except OSError:
            return ""


def hostile_clients(url):
    """Bad requests get clear errors; viewers that never read cost the server
    at most one frame each, and the page's own streams go on."""
    for raw, want in ((b"GET /no/such/page HTTP/1.1\r\nHost: x\r\n\r\n", " 404 "),
                      (b"GET / HTTP/1.1\r\nHost: x\r\nX-Big: " + b"a" * 20000 + b"\r\n\r\n", " 431 "),
                      (b"\x16\x03\x01 not http at all\r\n\r\n", " 400 "),
                      (b"POST /api/state HTTP/1.1\r\nHost: x\r\nContent-Length: 3\r\n\r\nabc", " 4"),
                      (b"GET /play/1?from=x HTTP/1.1\r\nHost: x\r\n\r\n", " 400 ")):
        got = status_of(url, raw)
        if want not in got + " ":
            raise Failed("%r... answered %r, expected%s" % (raw[:24], got, want))
    host, port = url.split("//")[1].strip("/").split(":")
    stalled = []
    try:
        for _ in range(5):
            s = socket.socket()
            s.setsockopt(socket.SOL_SOCKET, socket.SO_RCVBUF, 4096)
            s.connect((host, int(port)))
            s.sendall(b"GET /live/1 HTTP/1.1\r\nHost: x\r\n\r\n")
            stalled.append(s)  # and never read
        wait_for("the stalled viewers to be served", lambda: state(url)["cameras"][0]["viewers"] >= 6, 10)
        start = state(url)["cameras"][0]["liveFrames"]
        worst = 0
        # Two seconds of frames while five viewers read nothing.
        while True:
            s = state(url)
            worst = max(worst, s["refs"].get("47", 0))
            if s["cameras"][0]["liveFrames"] >= start + 20:
                break
        # The newest frame of each camera, one per stream, one playback.
        bound = 2 + s["cameras"][0]["viewers"] + s["cameras"][1]["viewers"] + 1
        if worst > bound:
            raise Failed("WebView held %d frames with five stalled viewers (at most %d)" % (worst, bound))
    finally:
        for s in stalled:
            s.close()
    return "bad requests answered 404/431/400/405; 5 viewers that never read: at most %d frames held" % worst


def _answers(url):
    try:
        with urllib.request.urlopen(url, timeout=2) as r:
            return r.status == 200
    except OSError:
        return False


if __name__ == "__main__":
    sys.exit(main())
