"""Drives the installer under Wine in an X server as a user would.

The dialog and the message boxes are found and answered with xdotool; the
boxes' texts are read from Wine's message-box trace (WINEDEBUG=trace+msgbox);
screenshots are taken with ImageMagick's import. Used by the end-to-end test
and by the demo.
"""

import getpass
import glob
import os
import re
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))
WINE_RUN = os.path.join(HERE, 'wine-run')
DIALOG = 'Korvani Dalmera - Instalator'


def decode_wine_string(literal):
    """The text of a debugstr_w literal: \\n, \\r, \\t, \\", \\\\ and \\NNNN
    (four hex digits) for every other character outside printable ASCII."""
    out = []
    i = 0
    while i < len(literal):
        ch = literal[i]
        if ch == '\\' and i + 1 < len(literal):
            code = literal[i + 1:i + 5]
            if re.fullmatch(r'[0-9a-fA-F]{4}', code):
                out.append(chr(int(code, 16)))
                i += 5
                continue
            out.append({'n': '\n', 'r': '\r', 't': '\t'}.get(literal[i + 1], literal[i + 1]))
            i += 2
            continue
        out.append(ch)
        i += 1
    return ''.join(out)


def boxes_in(log_path):
    try:
        with open(log_path, encoding='utf-8', errors='replace') as f:
            log = f.read()
    except FileNotFoundError:
        return []
    return [decode_wine_string(m) for m in re.findall(r'MSGBOX_OnInit L"((?:[^"\\]|\\.)*)"', log)]


# Deadlines are multiplied by WINDRIVER_PATIENCE: Wine in a virtual machine
# without hardware help is about ten times slower.
PATIENCE = float(os.environ.get('WINDRIVER_PATIENCE', '1'))


def wait_for(probe, seconds, process=None):
    """probe()'s first true result within the deadline, or None (also when
    `process` has ended)."""
    deadline = time.time() + seconds * PATIENCE
    while time.time() < deadline:
        found = probe()
        if found or (process is not None and process.poll() is not None):
            return found
        time.sleep(0.25)
    return None


def answer(window, keys, process):
    """Presses `keys` in `window` until the window goes away: a window just
    mapped may not take keys yet."""
    for _ in range(5):
        xdotool('windowactivate', '--sync', window)
        for k in keys.split():
            xdotool('key', '--window', window, k)
        if wait_for(lambda: window not in xdotool('search', '--onlyvisible', '--name', '.'), 5, process):
            return


def xdotool(*args):
    return subprocess.run(['xdotool'] + list(args), capture_output=True, text=True,
                          timeout=30).stdout.split()


def temp_folder():
    """The temporary folder of the prefix's own user (Wine names the profile
    after the Unix user); other folders under users\\ are tests' own."""
    folder = os.path.join(os.environ['WINEPREFIX'], 'drive_c', 'users', getpass.getuser(), 'Temp')
    return folder if os.path.isdir(folder) else None


def work_dirs():
    temp = temp_folder()
    return sorted(glob.glob(os.path.join(temp, 'dm_*'))) if temp else []


def wait_for_wine_to_end():
    """Waits until the prefix's Wine server has gone, with every program of
    the prefix. After a killed process the server lingers; a program started
    while it goes down has come up without its display driver (seen in CI:
    "no driver could be loaded", the dialog never shown)."""
    subprocess.run(['wineserver', '-w'], capture_output=True, timeout=120 * PATIENCE)


class Run:
    """One start of an installer; `answers` are the keys for the boxes in the
    order they appear (Return for any box beyond them)."""

    def __init__(self, out, exe, args=(), answers=(), cancel=False, env=None, kill_at_box=None,
                 shoot_running=False, while_box_open=None, deadline=240, close_while_working=False):
        self.out = out
        self.log = os.path.join(out, 'wine.log')
        self.boxes = []
        self.code = None
        self.screenshots = []
        run_env = dict(os.environ, WINEDEBUG='trace+msgbox', WINE_GRAPHICS='x11')
        run_env.update(env or {})
        medium = os.path.dirname(exe)
        with open(self.log, 'w') as log:
            process = subprocess.Popen([WINE_RUN, exe] + list(args), cwd=medium, env=run_env,
                                       stdout=log, stderr=log)
        self.kill_at_box = kill_at_box
        self.shoot_running = shoot_running
        # Called with the number of each box before it is answered, as a user
        # acts while a box is open (puts a disk in).
        self.while_box_open = while_box_open
        # Seconds (times the patience) the run may take after "Instaluj";
        # then it is killed and its exit code is that of a killed process.
        self.deadline = deadline
        # Alt+F4 (what the close box sends) as soon as the run has made its
        # work directory.
        self.close_while_working = close_while_working
        try:
            self._drive(process, answers, cancel)
        finally:
            if process.poll() is None:
                process.kill()
            self.code = process.wait(timeout=60)
        self.boxes = boxes_in(self.log)

    def _drive(self, process, answers, cancel):
        found = wait_for(lambda: xdotool('search', '--onlyvisible', '--name', '^' + DIALOG + '$'), 90,
                         process)
        if not found:
            raise AssertionError('the dialog did not appear')
        dialog = found[0]
        time.sleep(1)  # painted, for the picture
        self.shoot('dialog')
        xdotool('windowactivate', '--sync', dialog)
        before = set(work_dirs())
        xdotool('key', '--window', dialog, 'Escape' if cancel else 'Return')
        if self.close_while_working:
            deadline = time.time() + 60 * PATIENCE
            while not set(work_dirs()) - before and process.poll() is None and time.time() < deadline:
                time.sleep(0.01)
            xdotool('key', '--window', dialog, 'alt+F4')
        if self.shoot_running:
            # The bar while the job runs, if it is still running.
            self.shoot('running')
        answered = []
        deadline = time.time() + self.deadline * PATIENCE
        while process.poll() is None and time.time() < deadline:
            shown = len(boxes_in(self.log))
            if self.kill_at_box is not None and shown >= self.kill_at_box:
                # As the power going off: no clean-up of any kind.
                time.sleep(0.5)
                self.shoot('before-kill')
                process.kill()
                break
            if shown > len(answered):
                # The box's text is logged before its window is mapped: wait
                # for a window with the box caption that is neither the
                # dialog nor a box already answered.
                boxes = wait_for(lambda: [w for w in xdotool('search', '--onlyvisible', '--name',
                                                             'Korvani Dalmera - instalator')
                                          if w != dialog and w not in answered], 60, process)
                if not boxes:
                    if process.poll() is not None:
                        break
                    raise AssertionError('box %d was logged but its window never appeared'
                                         % (len(answered) + 1))
                window = boxes[-1]
                time.sleep(0.3)  # painted, for the picture
                self.shoot('box%d' % (len(answered) + 1))
                if self.while_box_open:
                    self.while_box_open(len(answered) + 1)
                key = answers[len(answered)] if len(answered) < len(answers) else 'Return'
                answer(window, key, process)
                answered.append(window)
                continue
            others = [w for w in xdotool('search', '--onlyvisible', '--name', 'MERVOLT') if w != dialog]
            if others:
                time.sleep(1)  # painted, for the picture
                if not any(path.endswith('second-stage.png') for path in self.screenshots):
                    self.shoot('second-stage')
                for w in others:
                    # As a user closes it: Alt+F4 in the focused window.
                    answer(w, 'alt+F4', process)
            time.sleep(0.3)

    def shoot(self, name):
        path = os.path.join(self.out, '%d-%s.png' % (len(self.screenshots) + 1, name))
        subprocess.run(['/usr/bin/import', '-window', 'root', path], capture_output=True)
        self.screenshots.append(path)
