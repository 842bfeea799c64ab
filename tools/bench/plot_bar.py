#!/usr/bin/env python3
"""Draws what the progress bar showed against time, from the traces the phase
run writes (PHASES_TRACE): one line per trace, as a PNG (ImageMagick's own
drawing, no SVG renderer needed).

Usage: plot_bar.py OUT.png LABEL=TRACE [LABEL=TRACE ...]
"""

import subprocess
import sys

WIDTH, HEIGHT = 720, 300
LEFT, RIGHT, TOP, BOTTOM = 56, 16, 16, 64
COLOURS = ['#c0392b', '#2471a3', '#229954']
FONT = '/usr/share/fonts/truetype/dejavu/DejaVuSans.ttf'


def read_trace(path):
    points = []
    with open(path) as f:
        for line in f:
            ms, permille = line.split()
            points.append((float(ms), int(permille) / 10.0))
    return points


def main(argv):
    if len(argv) < 3:
        sys.stderr.write(__doc__)
        return 2
    out = argv[1]
    traces = []
    for arg in argv[2:]:
        label, _, path = arg.partition('=')
        traces.append((label, read_trace(path)))
    end = max(p[0] for _, points in traces for p in points)
    step = 100 if end <= 1000 else 250 if end <= 2500 else 500
    end = (int(end / step) + 1) * step
    plot_w, plot_h = WIDTH - LEFT - RIGHT, HEIGHT - TOP - BOTTOM

    def x(ms):
        return LEFT + ms / end * plot_w

    def y(percent):
        return TOP + (100 - percent) / 100 * plot_h

    def text(px, py, words):
        return ['-stroke', 'none', '-fill', 'black', '-draw', "text %d,%d '%s'" % (px, py, words)]

    args = ['convert', '-size', '%dx%d' % (WIDTH, HEIGHT), 'xc:white', '-font', FONT, '-pointsize', '12']
    for percent in range(0, 101, 20):
        args += ['-stroke', '#dddddd', '-draw', 'line %d,%.1f %d,%.1f' % (LEFT, y(percent), WIDTH - RIGHT, y(percent))]
        args += text(LEFT - 44, y(percent) + 4, '%3d %%' % percent)
    for ms in range(0, end + 1, step):
        args += ['-stroke', '#dddddd', '-draw', 'line %.1f,%d %.1f,%d' % (x(ms), TOP, x(ms), TOP + plot_h)]
        args += text(x(ms) - 10, TOP + plot_h + 16, str(ms))
    args += text(LEFT + plot_w / 2 - 60, TOP + plot_h + 32, 'ms after "Instaluj"')
    legend_x = LEFT + 10
    for i, (label, points) in enumerate(traces):
        colour = COLOURS[i % len(COLOURS)]
        # A bar holds its position until the next message: draw steps.
        path, last = [], None
        for ms, percent in points:
            if last is not None:
                path.append('%.1f,%.1f' % (x(ms), y(last)))
            path.append('%.1f,%.1f' % (x(ms), y(percent)))
            last = percent
        args += ['-fill', 'none', '-stroke', colour, '-strokewidth', '2', '-draw', 'polyline ' + ' '.join(path),
                 '-strokewidth', '1']
        args += ['-stroke', colour, '-strokewidth', '3',
                 '-draw', 'line %d,%d %d,%d' % (legend_x, HEIGHT - 12, legend_x + 24, HEIGHT - 12), '-strokewidth', '1']
        args += text(legend_x + 30, HEIGHT - 8, label)
        legend_x += 30 + 7 * len(label) + 24
    args.append(out)
    subprocess.run(args, check=True)
    return 0


if __name__ == '__main__':
    sys.exit(main(sys.argv))
