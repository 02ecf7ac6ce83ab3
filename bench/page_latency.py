#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The page's time from a keystroke to the new picture, in headless
Chromium: the page waits 250 ms after the last key before it renders, then
asks the service for the report and the label. Measured in the page
(performance.now) from the input event to the picture in place, set
against the floor of the same two requests made by the page's own fetch
with no typing, alternately.

    page_latency.py PREVIEW [ROUNDS]
"""
import statistics
import subprocess
import sys
import tempfile

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.support.ui import WebDriverWait

preview = sys.argv[1]
rounds = int(sys.argv[2]) if len(sys.argv) > 2 else 15
server = subprocess.Popen([preview, "--http", "127.0.0.1:0"], stdout=subprocess.PIPE, text=True)
page = server.stdout.readline().split(": ", 1)[1].strip()
options = webdriver.ChromeOptions()
options.binary_location = "/usr/bin/chromium"
for argument in ("--headless=new", "--no-sandbox", "--disable-dev-shm-usage", "--window-size=1400,900",
                 "--user-data-dir=" + tempfile.mkdtemp(prefix="qb-bench-")):
    options.add_argument(argument)
browser = webdriver.Chrome(service=Service(executable_path="/usr/bin/chromedriver"), options=options)
try:
    browser.get(page)
    WebDriverWait(browser, 20).until(lambda b: b.find_element(By.ID, "status").get_attribute("data-rendered"))
    # The time from the input event to the status naming a newer render.
    browser.execute_script("""
      window.latency = [];
      const editor = document.getElementById('editor'), status = document.getElementById('status');
      editor.addEventListener('input', () => { window.typed = performance.now(); });
      new MutationObserver(() => { if (window.typed) { latency.push(performance.now() - typed); typed = 0; } })
        .observe(status, {attributes: true, attributeFilter: ['data-rendered']});""")
    floor_script = """
      const done = arguments[arguments.length - 1], t = performance.now();
      const path = '/v1/printers/8dpmm/labels/4x6/', body = document.getElementById('editor').value;
      fetch(path, {method: 'POST', headers: {Accept: 'application/json'}, body}).then(r => r.json())
        .then(() => fetch(path + '0/', {method: 'POST', headers: {Accept: 'image/png'}, body})).then(r => r.blob())
        .then(() => done(performance.now() - t));"""
    editor = browser.find_element(By.ID, "editor")
    floors = []
    for n in range(rounds):
        editor.send_keys("A20,%d,0,3,1,1,N,\"line %d\"\n" % (300 + 30 * (n % 20), n))
        WebDriverWait(browser, 20).until(lambda b: b.execute_script("return latency.length") == n + 1)
        floors.append(browser.execute_async_script(floor_script))
    latency = browser.execute_script("return latency")
finally:
    browser.quit()
    server.terminate()
    server.wait()

typed, floor = statistics.median(latency), statistics.median(floors)
print("Keystroke to picture in the page (headless Chromium), medians of %d:" % rounds)
print("  keystroke to picture          %7.1f ms  (250 ms of it the page's wait for the next key)" % typed)
print("  after the wait                %7.1f ms" % (typed - 250))
print("  floor: the same two requests  %7.1f ms  ratio %.2fx" % (floor, (typed - 250) / floor))
