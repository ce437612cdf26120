#!/usr/bin/python3
"""Drives the recorder's console in headless Chromium, as an operator would.

Opens the console, waits for every camera's thumbnail and the program's, measures their
colours, clicks one camera's tile (and waits for its tally), records a mark with the m key,
saves a screenshot, then stops the session with the Stop button (--stop-button) or waits for
it to be stopped from elsewhere (it prints "waiting-for-end" when ready), and waits until the
page says the session ended and the recorder has gone. Everything it saw goes into the
--result JSON file for the test to judge; the exit status is 0 when the steps could be made.
"""

import argparse
import json
import shutil
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
]

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
                                   ' && window.sorvoConsole.pictures[5] > 0' % args.cameras))
        result['steps'].append('thumbnails')
        result['colours'] = [
            driver.execute_script(MEAN_COLOUR, driver.find_element(By.CSS_SELECTOR, '#camera%d img' % n))
            for n in range(args.cameras)]
        result['programColourBefore'] = driver.execute_script(
            MEAN_COLOUR, driver.find_element(By.ID, 'programPicture'))

        # Put a camera on program by clicking its tile; its tally turns red once its next
        # picture has reached the director.
        tile = driver.find_element(By.ID, 'camera%d' % args.click)
        tile.click()
        wait.until(lambda _: state('window.sorvoConsole.lastProgramEvent !== null && '
                                   'window.sorvoConsole.lastProgramEvent.camera === %d' % args.click))
        result['switchTime'] = state('window.sorvoConsole.lastProgramEvent.time')
        wait.until(lambda _: 'onair' in tile.get_attribute('class').split())
        result['steps'].append('switched')
        # The program's thumbnail shows that camera soon after.
        shown = state('window.sorvoConsole.pictures[5]')
        wait.until(lambda _: state('window.sorvoConsole.pictures[5]') > shown + 2)
        result['programColourAfter'] = driver.execute_script(
            MEAN_COLOUR, driver.find_element(By.ID, 'programPicture'))

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
