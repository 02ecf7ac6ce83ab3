#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The page of quillbar-preview --http in a real browser (headless Chromium
driven by Selenium): a stream typed into the editor becomes a label of the
right size, a bad line is marked, and a label sent to the network printer
(--listen) appears in the printer panel. A screenshot is kept.

    page_in_browser.py PREVIEW SCREENSHOT
"""
import os
import socket
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import service  # noqa: E402

preview, screenshot = sys.argv[1], sys.argv[2]
work = tempfile.mkdtemp(prefix="qb-page-")
server, addresses = service.start(preview, ["--http", "127.0.0.1:0", "--listen", "127.0.0.1:0", "-o",
                                           os.path.join(work, "printed.png")], said=("http", "listening"))
page, printer = addresses["http"], addresses["listening"]

options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,900",
                 "--user-data-dir=" + os.path.join(work, "profile")):
    options.add_argument(argument)
browser = webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"),
                           options=options)
failures = []


def check(what, ok):
    print(("ok    " if ok else "FAIL  ") + what)
    if not ok:
        failures.append(what)


def rendered_after(before):
    """Waits for a render newer than the one numbered before."""
    WebDriverWait(browser, 20).until(
        lambda b: int(b.find_element(By.ID, "status").get_attribute("data-rendered") or 0) > before)
    return int(browser.find_element(By.ID, "status").get_attribute("data-rendered"))


def type_stream(text):
    editor = browser.find_element(By.ID, "editor")
    editor.clear()
    editor.send_keys(text)


try:
    browser.get(page)
    shown = rendered_after(0)  # the sample the page starts with

    # Typed: a 2 x 1 inch label with text and a bar code, at both densities.
    for density, size in (("8", (406, 203)), ("12", (600, 300))):
        browser.execute_script(f"document.getElementById('density').value = '{density}'")
        type_stream(f'N\nq{size[0]}\nQ{size[1]},24\nA10,10,0,3,1,1,N,"typed"\nB10,60,0,1,2,4,80,B,"42"\nP1\n')
        shown = rendered_after(shown)
        sizes = browser.execute_script(
            "return [...document.querySelectorAll('#labels img')].map(i => [i.naturalWidth, i.naturalHeight])")
        check(f"{density} dpmm: one label of {size[0]} x {size[1]} dots (got {sizes})", sizes == [list(size)])

    # A bad line is listed and marked on its line.
    browser.execute_script("document.getElementById('density').value = '8'")
    type_stream('N\nA10,10,0,3,1,1,N,"ok"\nB10,60,0,99,2,4,80,B,"42"\nP1\n')
    shown = rendered_after(shown)
    marked = [e.text for e in browser.find_elements(By.CSS_SELECTOR, "#gutter span.bad")]
    listed = [e.get_attribute("data-line") for e in browser.find_elements(By.CSS_SELECTOR, "#diagnostics li")]
    check(f"the bad line 3 is marked ({marked}) and listed ({listed})", marked == ["3"] and listed == ["3"])
    labels = browser.find_elements(By.CSS_SELECTOR, "#labels img")
    check("the rest of the stream still prints a label", len(labels) == 1)

    # Zoom: the picture is drawn at twice its dots.
    browser.execute_script("const z = document.getElementById('zoom'); z.value = 200;"
                           "z.dispatchEvent(new Event('input'))")
    width = browser.execute_script("return document.querySelector('#labels img').getBoundingClientRect().width")
    check(f"zoom 200% draws 812 dots 1624 px wide (got {width})", abs(width - 1624) < 1)
    browser.execute_script("const z = document.getElementById('zoom'); z.value = 50;"
                           "z.dispatchEvent(new Event('input'))")

    # A binary stream opened as a file: its GW data (CR and LF bytes among
    # it) is rendered byte for byte, as the command line renders it.
    gw = bytes([0x0D, 0x0A, 0x00, 0xFF, 0x0A, 0x0D, 0x5A, 0xA5] * 8)
    binary = b"N\nq64\nQ64,24\nGW8,8,2,32," + gw + b"\nP1\n"
    path = os.path.join(work, "binary.epl")
    with open(path, "wb") as f:
        f.write(binary)
    subprocess.run([preview, "-o", os.path.join(work, "binary.png"), path], check=True, capture_output=True)
    browser.find_element(By.ID, "open").send_keys(path)
    shown = rendered_after(shown)
    png = browser.execute_async_script(
        "const done = arguments[0]; fetch(document.querySelector('#labels img').src).then(r => r.arrayBuffer())"
        ".then(b => done(Array.from(new Uint8Array(b))))")
    check("a binary file renders as the command line renders it",
          bytes(png) == open(os.path.join(work, "binary.png"), "rb").read())

    # A job on the network printer appears in the panel, with its stream.
    host, port = printer.rsplit(":", 1)
    with socket.create_connection((host, int(port))) as job:
        job.sendall(b'N\nq300\nQ200,24\nA10,10,0,4,1,1,N,"printed"\nP1\n')
    WebDriverWait(browser, 20).until(lambda b: b.find_elements(By.CSS_SELECTOR, "#printed .printed img"))
    WebDriverWait(browser, 20).until(lambda b: b.execute_script(
        "const i = document.querySelector('#printed .printed img'); return i.complete && i.naturalWidth > 0"))
    size = browser.execute_script("const i = document.querySelector('#printed .printed img');"
                                  "return [i.naturalWidth, i.naturalHeight]")
    check(f"the printed label is in the panel at 300 x 200 dots (got {size})", size == [300, 200])
    stream = browser.execute_script("return document.querySelector('#printed .printed pre').textContent")
    check("the panel keeps the job's stream", '"printed"' in stream)

    browser.save_screenshot(screenshot)
    check("a screenshot is kept", os.path.getsize(screenshot) > 10000)
finally:
    # Stopped while the page still follows the printer: its event stream
    # ends, and the service stops cleanly.
    check("the service stops on SIGTERM with a page open", service.stop(server))
    browser.quit()

sys.exit(1 if failures else 0)
