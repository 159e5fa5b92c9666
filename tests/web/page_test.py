#!/usr/bin/python3
"""The welcome page in headless Chromium, against varnel-ctl serve and varnel-module on a pty.

Usage: page_test.py VARNEL_MODULE VARNEL_CTL [--screenshot PNG]  (or $VARNEL_PAGE_SCREENSHOT)
Prints one line per check; exits 0 when all pass.
"""
import argparse
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading

from selenium import webdriver
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By
from selenium.webdriver.common.keys import Keys
from selenium.webdriver.support.ui import WebDriverWait

COM = 7
WAIT_S = 15        # generous for a loaded machine; the one timed check has its own
OVERALL_S = 180    # the whole run, browser start included
CHROME_FLAGS = ("--headless --no-sandbox --disable-gpu --disable-quic --no-first-run "
                "--disable-background-networking --disable-component-update --disable-sync")


class Program:
    """A child process whose standard output is collected line by line as it comes."""

    def __init__(self, args, env):
        self.lines = []
        self.changed = threading.Condition()
        self.process = subprocess.Popen(args, env=env, stdin=subprocess.DEVNULL,
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        for line in self.process.stdout:
            with self.changed:
                self.lines.append(line.rstrip("\n"))
                self.changed.notify_all()

    def wait_for(self, pattern, timeout=WAIT_S):
        """The first match of `pattern` in a line, waiting for it; fails after `timeout`."""
        def found():
            return next((m for m in map(re.compile(pattern).search, self.lines) if m), None)
        with self.changed:
            match = self.changed.wait_for(found, timeout)
        if not match:
            raise AssertionError(f"no line matching {pattern!r} in:\n" + "\n".join(self.lines))
        return match

    def stop(self):
        if self.process.poll() is None:
            self.process.send_signal(signal.SIGTERM)
            try:
                return self.process.wait(WAIT_S)
            except subprocess.TimeoutExpired:
                self.process.kill()
        return self.process.wait()


def text(driver, element_id):
    return driver.find_element(By.ID, element_id).text


def wait_text(driver, element_id, expected, timeout=WAIT_S):
    WebDriverWait(driver, timeout, poll_frequency=0.05).until(
        lambda d: text(d, element_id) == expected,
        f"#{element_id} is {text(driver, element_id)!r}, not {expected!r}")


def scpi(port, command):
    """Sends one line over the raw socket; the answer's line when the command asks."""
    with socket.create_connection(("127.0.0.1", port), timeout=WAIT_S) as s:
        s.sendall(command.encode() + b"\n")
        answer = b""
        while not answer.endswith(b"\n"):
            chunk = s.recv(4096)
            if not chunk:
                break
            answer += chunk
        return answer.decode().strip()


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("module")
    parser.add_argument("ctl")
    parser.add_argument("--screenshot", default=os.environ.get("VARNEL_PAGE_SCREENSHOT"))
    args = parser.parse_args()

    def overdue(*_):
        raise TimeoutError(f"the test ran over {OVERALL_S} s")
    signal.signal(signal.SIGALRM, overdue)
    signal.alarm(OVERALL_S)

    # A private port folder: the module's entry, and COM1..COM96 dangling so that no COM
    # number reaches a device of the machine (a real UART at COM1).
    folder = tempfile.mkdtemp(prefix="varnel-web-")
    os.mkdir(os.path.join(folder, "locks"))
    env = dict(os.environ, VARNEL_PORTS=folder, VARNEL_LOCK_DIR=os.path.join(folder, "locks"))
    programs = []
    driver = None
    try:
        module = Program([args.module, "--com", str(COM), "--log", "--channel", "45"], env)
        programs.append(module)
        module.wait_for(rf"COM{COM} -> ")
        for n in range(1, 97):
            entry = os.path.join(folder, f"COM{n}")
            if not os.path.lexists(entry):
                os.symlink(f"/nonexistent/tty{n}", entry)

        def serve(*extra):
            server = Program([args.ctl, "serve", f"COM{COM}", "--listen", "127.0.0.1:0",
                              "--http", "0", "--no-vxi11", "--direct", *extra], env)
            programs.append(server)
            raw = int(server.wait_for(r"serving .* on 127\.0\.0\.1:(\d+)").group(1))
            page = server.wait_for(r"web page on (http://127\.0\.0\.1:\d+/)").group(1)
            return server, raw, page

        def wire(meaning):
            return [line for line in module.lines if " rx " in line and meaning in line]

        options = webdriver.ChromeOptions()
        for flag in CHROME_FLAGS.split():
            options.add_argument(flag)
        options.add_argument("--user-data-dir=" + os.path.join(folder, "chromium"))
        driver = webdriver.Chrome(service=Service("/usr/bin/chromedriver"), options=options)
        driver.set_window_size(1000, 900)

        server, raw, page = serve()
        driver.get(page)
        idn = scpi(raw, "*IDN?").split(",")
        for element_id, value in zip(("manufacturer", "model", "serial", "firmware"), idn):
            wait_text(driver, element_id, value)
        wait_text(driver, "itu", "C39")
        wait_text(driver, "channel", "45")
        wait_text(driver, "module-status", "module connected")
        print("ok 1: identification " + ",".join(idn) + " and start channel 45 (C39) shown")

        assert scpi(raw, "CHAN 40;*OPC?") == "1"
        wait_text(driver, "itu", "H36", timeout=1.0)
        wait_text(driver, "channel", "40")
        print("ok 2: a setting over the raw socket shows within 1 s")

        field = driver.find_element(By.ID, "channel-input")
        field.clear()
        field.send_keys("46")
        driver.find_element(By.ID, "channel-set").click()
        module.wait_for(r" rx .*set channel 46$")
        wait_text(driver, "itu", "H39")
        wait_text(driver, "channel", "46")
        set_button = driver.find_element(By.ID, "channel-set")
        WebDriverWait(driver, WAIT_S).until(
            lambda d: "46" in text(d, "message") and set_button.is_enabled())
        if args.screenshot:
            driver.save_screenshot(args.screenshot)
        print("ok 3: channel 46 typed and set went on the wire; H39 shown")

        field = driver.find_element(By.ID, "power-input")
        field.clear()
        field.send_keys("e" + Keys.ENTER)   # a number field's text that is no number
        WebDriverWait(driver, WAIT_S).until(lambda d: "enter a number" in text(d, "message"))
        field.clear()
        field.send_keys("14" + Keys.ENTER)
        WebDriverWait(driver, WAIT_S).until(lambda d: "-222" in text(d, "message"))
        assert driver.find_element(By.ID, "message-error").get_attribute("role") == "alert"
        assert not wire("set power"), wire("set power")
        print("ok 4: power 14 refused with '" + text(driver, "message") + "'; nothing sent")

        assert server.stop() == 0
        server, raw, page = serve("--read-only")
        driver.get(page)
        WebDriverWait(driver, WAIT_S).until(
            lambda d: d.find_element(By.ID, "readonly-note").is_displayed())
        assert "read-only" in text(driver, "readonly-note")
        for element_id in ("controls", "channel-input", "power-set", "output-toggle"):
            found = driver.find_elements(By.ID, element_id)
            assert not found or not found[0].is_displayed(), element_id
        wait_text(driver, "itu", "H39")
        print("ok 5: a read-only server's page has no controls and says read-only")
        return 0
    finally:
        if driver:
            driver.quit()
        for program in reversed(programs):
            program.stop()
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
