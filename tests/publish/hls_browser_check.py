#!/usr/bin/python3
"""Plays an HLS playlist in headless Chromium through a page with a <video> element, by
the browser's own HLS support, and says what it saw.

Usage: hls_browser_check.py PAGE_URL PROFILE_DIR SECONDS
Prints one line of JSON: canPlayType, the time played, the picture size, the duration, a
media error (its code and the browser's words), and
the colour (R, G, B) averaged over the top left quarter of the picture shown at the end.
Exit status: 0 played SECONDS; 3 the browser cannot play HLS by itself; 1 it did not play.
"""
import json
import sys
import time

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service

FLAGS = ["--headless=new", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
         "--disable-background-networking", "--disable-component-update", "--disable-sync",
         "--autoplay-policy=no-user-gesture-required"]

STATE = """
var v = document.getElementById('program');
var colour = null;
if (v.readyState >= 2 && v.videoWidth > 0) {
  var c = document.createElement('canvas');
  c.width = v.videoWidth; c.height = v.videoHeight;
  var g = c.getContext('2d');
  g.drawImage(v, 0, 0);
  var d = g.getImageData(0, 0, c.width / 2, c.height / 2).data;
  var r = 0, gr = 0, b = 0, n = d.length / 4;
  for (var i = 0; i < d.length; i += 4) { r += d[i]; gr += d[i + 1]; b += d[i + 2]; }
  colour = [Math.round(r / n), Math.round(gr / n), Math.round(b / n)];
}
return {played: window.played || null, time: v.currentTime, width: v.videoWidth,
        height: v.videoHeight, duration: v.duration, error: v.error && ('MediaError ' + v.error.code + ': ' + v.error.message),
        ended: v.ended, colour: colour};
"""


def main():
    url, profile, seconds = sys.argv[1], sys.argv[2], float(sys.argv[3])
    options = Options()
    for flag in FLAGS:
        options.add_argument(flag)
    options.add_argument("--user-data-dir=" + profile)
    options.binary_location = "/usr/bin/chromium"
    driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
    try:
        driver.set_page_load_timeout(60)
        driver.get(url)
        can = driver.execute_script(
            "return document.getElementById('program').canPlayType('application/vnd.apple.mpegurl')")
        if not can:
            print(json.dumps({"canPlayType": can}))
            return 3
        driver.execute_script(
            "document.getElementById('program').play()"
            ".then(function () { window.played = 'playing'; })"
            ".catch(function (e) { window.played = 'refused: ' + e; });")
        state = {}
        deadline = time.monotonic() + seconds + 60
        while time.monotonic() < deadline:
            state = driver.execute_script(STATE)
            if state["error"] or state["time"] >= seconds or state["ended"]:
                break
            time.sleep(0.1)
        state["canPlayType"] = can
        print(json.dumps(state))
        return 0 if state["time"] >= seconds and not state["error"] else 1
    finally:
        driver.quit()


if __name__ == "__main__":
    sys.exit(main())
