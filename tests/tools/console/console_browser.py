#!/usr/bin/python3
"""Drives the recorder's console in headless Chromium, as an operator would.

Opens the console, waits for every camera's thumbnail and the program's, measures their
colours; with --fit, sizes the window to each WIDTHxHEIGHT given, saves a screenshot and
reads every tile's name back from it; counts the program's pictures over --live-seconds;
plays the sound (--listen); clicks one camera's tile (and waits for its tally), or with
--take puts it on preview and takes it with the space bar three seconds later; records a
mark with the m key, saves a screenshot, then stops the session with the Stop button
(--stop-button) or waits for it to be stopped from elsewhere (it prints "waiting-for-end"
when ready), and waits until the page says the session ended (and, with --results, shows
the files read back) and the recorder has gone. Everything it saw goes into the --result
JSON file for the test to judge; the exit status is 0 when the steps could be made.
"""

import argparse
import json
import shutil
import subprocess
import sys
import tempfile
import time

from selenium import webdriver
from selenium.common.exceptions import TimeoutException
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.action_chains import ActionChains
from selenium.webdriver.support.ui import WebDriverWait

# Chromium as root in a container, with nothing that reaches for the internet.
CHROMIUM_FLAGS = [
    '--headless', '--no-sandbox', '--disable-gpu', '--disable-quic', '--no-first-run',
    '--disable-background-networking', '--disable-component-update', '--disable-sync',
    '--disable-dev-shm-usage', '--window-size=1280,800', '--force-device-scale-factor=1',
    '--autoplay-policy=no-user-gesture-required',
]

# Every camera tile's name: its text, where it is, and whether it shows whole; the page's
# size and how far it scrolls.
TILE_NAMES = """
const names = [...document.querySelectorAll('.camera')].map((tile) => {
  const name = tile.querySelector('.name');
  const r = name.getBoundingClientRect();
  const t = tile.getBoundingClientRect();
  return {text: name.textContent, whole: name.scrollWidth <= name.clientWidth,
          name: [r.left, r.top, r.right, r.bottom], tile: [t.left, t.top, t.right, t.bottom]};
});
return {names: names, width: innerWidth, height: innerHeight};
"""


def png_pixels(path, width):
    """The screenshot's rows of RGB bytes, as ffmpeg reads the PNG back."""
    raw = subprocess.run(['ffmpeg', '-v', 'error', '-i', path, '-f', 'rawvideo', '-pix_fmt', 'rgb24', '-'],
                         check=True, capture_output=True).stdout
    return [raw[at:at + 3 * width] for at in range(0, len(raw), 3 * width)], 3


def light_pixels(rows, channels, box):
    """How many pixels within the box are light (the page's text on its dark panels)."""
    left, top, right, bottom = [int(round(v)) for v in box]
    count = 0
    for y in range(max(0, top), min(len(rows), bottom)):
        row = rows[y]
        for x in range(max(0, left), min(len(row) // channels, right)):
            if min(row[x * channels:x * channels + 3]) > 150:
                count += 1
    return count


def check_fit(driver, size, path):
    """The page at `size`: where every tile's name is and how much of it the screenshot shows."""
    width, height = [int(v) for v in size.split('x')]
    driver.execute_cdp_cmd('Emulation.setDeviceMetricsOverride',
                           {'width': width, 'height': height, 'deviceScaleFactor': 1, 'mobile': False})
    time.sleep(1.5)
    seen = driver.execute_script(TILE_NAMES)
    driver.save_screenshot(path)
    rows, channels = png_pixels(path, width)
    for name in seen['names']:
        name['lightPixels'] = light_pixels(rows, channels, name['name'])
    seen['screenshot'] = path
    return seen


# The mean colour of the middle of an image element, read back through a canvas.
MEAN_COLOUR = """
const img = arguments[0];
if (!img || !img.naturalWidth) return null;
const w = img.naturalWidth, h = img.naturalHeight;
const canvas = document.createElement('canvas');
canvas.width = w; canvas.height = h;
const context = canvas.getContext('2d');
context.drawImage(img, 0, 0);
const data = context.getImageData(Math.floor(w / 4), Math.floor(h / 4),
                                  Math.max(1, Math.floor(w / 2)), Math.max(1, Math.floor(h / 2))).data;
let r = 0, g = 0, b = 0;
for (let i = 0; i < data.length; i += 4) { r += data[i]; g += data[i + 1]; b += data[i + 2]; }
const n = data.length / 4;
return [r / n, g / n, b / n];
"""


def program_colour(driver, wait):
    # The program's picture is replaced as each new one arrives, and for a moment holds none:
    # its colour is read once it holds one.
    return wait.until(lambda _: driver.execute_script(
        MEAN_COLOUR, driver.find_element(By.ID, 'programPicture')))


def say(text):
    print(text, flush=True)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument('--url', required=True)
    parser.add_argument('--cameras', type=int, default=3)
    parser.add_argument('--click', type=int, default=2)
    parser.add_argument('--mark', default='')
    parser.add_argument('--stop-button', action='store_true')
    parser.add_argument('--screenshot', default='')
    parser.add_argument('--fit', nargs='*', default=[], help='WIDTHxHEIGHT=SCREENSHOT ...')
    parser.add_argument('--live-seconds', type=float, default=0)
    parser.add_argument('--listen', action='store_true')
    parser.add_argument('--take', action='store_true')
    parser.add_argument('--results', action='store_true')
    parser.add_argument('--end-screenshot', default='')
    parser.add_argument('--result', required=True)
    parser.add_argument('--timeout', type=float, default=90)
    args = parser.parse_args()

    result = {'steps': []}
    profile = tempfile.mkdtemp(prefix='sorvo-chromium-')
    options = webdriver.ChromeOptions()
    options.binary_location = '/usr/bin/chromium'
    for flag in CHROMIUM_FLAGS + ['--user-data-dir=' + profile]:
        options.add_argument(flag)
    options.set_capability('goog:loggingPrefs', {'browser': 'ALL'})
    driver = None
    try:
        driver = webdriver.Chrome(service=Service('/usr/bin/chromedriver'), options=options)
        driver.set_window_size(1280, 800)
        wait = WebDriverWait(driver, args.timeout, poll_frequency=0.1)
        state = lambda expression: driver.execute_script('return window.sorvoConsole && ' + expression)

        driver.get(args.url)
        wait.until(lambda _: state('window.sorvoConsole.connected'))
        result['steps'].append('connected')
        # Every camera's thumbnail and the program's.
        wait.until(lambda _: state('window.sorvoConsole.pictures.slice(0, %d).every((n) => n > 0)'
                                   ' && window.sorvoConsole.pictures[16] > 0' % args.cameras))
        result['steps'].append('thumbnails')
        result['colours'] = [
            driver.execute_script(MEAN_COLOUR, driver.find_element(By.CSS_SELECTOR, '#camera%d img' % n))
            for n in range(args.cameras)]
        result['programColourBefore'] = program_colour(driver, wait)

        result['fit'] = []
        for size_and_path in args.fit:
            size, path = size_and_path.split('=', 1)
            result['fit'].append(check_fit(driver, size, path))
        if args.fit:
            driver.execute_cdp_cmd('Emulation.clearDeviceMetricsOverride', {})
            result['steps'].append('fit')

        if args.live_seconds > 0:
            # The program's pictures that arrive while the page is shown, counted over a span.
            before = state('window.sorvoConsole.received[16]')
            started = time.monotonic()
            time.sleep(args.live_seconds)
            result['programPerSecond'] = (state('window.sorvoConsole.received[16]') - before) / (
                time.monotonic() - started)
            result['steps'].append('live')

        if args.listen:
            driver.find_element(By.ID, 'listen').click()
            wait.until(lambda _: driver.execute_script(
                'return document.getElementById("sound").currentTime') > 2.0)
            result['sound'] = driver.execute_script(
                'const a = document.getElementById("sound");'
                'return {currentTime: a.currentTime, paused: a.paused, error: a.error && a.error.code,'
                ' decodedBytes: a.webkitAudioDecodedByteCount};')
            result['steps'].append('listened')

        tile = driver.find_element(By.ID, 'camera%d' % args.click)
        if args.take:
            # Preview by clicking, then take with the space bar a while later.
            if state('window.sorvoConsole.busMode') != 'preview':
                driver.find_element(By.ID, 'busMode').click()
            tile.click()
            wait.until(lambda _: 'preview' in tile.get_attribute('class').split())
            result['previewTime'] = state('window.sorvoConsole.status.seconds')
            time.sleep(3)
            driver.execute_script('document.activeElement.blur()')
            ActionChains(driver).send_keys(' ').perform()
            result['steps'].append('taken')
        else:
            # Put a camera on program by clicking its tile; its tally turns red once its next
            # picture has reached the director.
            tile.click()
        wait.until(lambda _: state('window.sorvoConsole.lastProgramEvent !== null && '
                                   'window.sorvoConsole.lastProgramEvent.camera === %d' % args.click))
        result['switchTime'] = state('window.sorvoConsole.lastProgramEvent.time')
        wait.until(lambda _: 'onair' in tile.get_attribute('class').split())
        result['steps'].append('switched')
        # The program's thumbnail shows that camera soon after.
        shown = state('window.sorvoConsole.pictures[16]')
        wait.until(lambda _: state('window.sorvoConsole.pictures[16]') > shown + 2)
        result['programColourAfter'] = program_colour(driver, wait)
        # The cut panel: the whole cut so far, the switch just made the latest.
        wait.until(lambda _: state('window.sorvoConsole.cut.switches.length > 0 && '
                                   'window.sorvoConsole.cut.switches.at(-1).camera === %d' % args.click))
        result['cutShots'] = state('window.sorvoConsole.cut.switches.length')
        result['cutLine'] = driver.find_element(By.CSS_SELECTOR, '#cut li').text
        result['previewAfterTake'] = state('window.sorvoConsole.preview')

        # A mark with a label, by the m key.
        driver.find_element(By.ID, 'markLabel').send_keys(args.mark)
        driver.execute_script('document.activeElement.blur()')
        ActionChains(driver).send_keys('m').perform()
        wait.until(lambda _: state('window.sorvoConsole.marks.length') > 0)
        result['mark'] = state('window.sorvoConsole.marks[0]')
        result['steps'].append('marked')

        # A status after the switch, so that the screenshot shows the figures.
        updates = state('window.sorvoConsole.status.seconds')
        wait.until(lambda _: state('window.sorvoConsole.status.seconds') > updates)
        if args.screenshot:
            driver.save_screenshot(args.screenshot)
            result['steps'].append('screenshot')

        if args.stop_button:
            driver.find_element(By.ID, 'stop').click()
            wait.until(lambda _: driver.find_element(By.ID, 'confirm').is_displayed())
            driver.find_element(By.ID, 'confirmStop').click()
            result['steps'].append('stop clicked')
        else:
            say('waiting-for-end')
        wait.until(lambda _: state('window.sorvoConsole.ended'))
        if args.results:
            wait.until(lambda _: state('window.sorvoConsole.results !== null'))
            result['verdict'] = driver.find_element(By.ID, 'verdict').text
            result['resultLines'] = [e.text for e in driver.find_elements(By.CSS_SELECTOR, '#results li')]
            if args.end_screenshot:
                driver.save_screenshot(args.end_screenshot)
        result['banner'] = driver.find_element(By.ID, 'banner').text
        result['state'] = driver.find_element(By.ID, 'state').text
        result['steps'].append('ended')
        # The recorder goes away; the page must not try to come back, nor complain.
        wait.until(lambda _: not state('window.sorvoConsole.connected'))
        time.sleep(1.5)
        result['stateAfterClose'] = driver.find_element(By.ID, 'state').text
        result['steps'].append('closed')
    except TimeoutException as failure:
        result['failure'] = 'timed out after: ' + ', '.join(result['steps'])
        print(result['failure'], file=sys.stderr)
    except Exception as failure:  # reported to the test, which fails on it
        result['failure'] = repr(failure)
        print(result['failure'], file=sys.stderr)
    finally:
        if driver is not None:
            try:
                result['log'] = driver.get_log('browser')
            except Exception as failure:
                result['log'] = [{'level': 'SEVERE', 'message': 'no log: ' + repr(failure)}]
            driver.quit()
        shutil.rmtree(profile, ignore_errors=True)
    with open(args.result, 'w') as out:
        json.dump(result, out, indent=2)
    return 0 if 'failure' not in result else 1


if __name__ == '__main__':
    sys.exit(main())
