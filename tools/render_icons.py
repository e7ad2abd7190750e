#!/usr/bin/env python3
"""Renders the application's icons from their SVG sources.

To regenerate after editing an SVG in app/res/icons/, run from the repository
root and commit the results beside the SVGs:

    python3 tools/render_icons.py

It writes, for each icon, a multi-size .ico for the Windows resources and
PNGs for the Qt view (see ICONS below). The build does not run it: the
renderings are committed, so building needs no image tools. Python 3 standard
library only; the same SVG gives the same files.

Only the SVG subset the sources use is understood, and anything else stops
the script with a message naming the file and element, rather than rendering
something other than what the SVG shows:
  - <svg> with a square viewBox; <defs>, <g>, <use href="#id">, <title>, <desc>
  - <path> (commands M L H V C S Q T Z, absolute and relative), <rect> (with
    rx/ry), <circle>, <ellipse>, <polygon>
  - fill as #rgb, #rrggbb, none or url(#gradient); fill-opacity; fill-rule
    nonzero or evenodd; transform with matrix, translate, scale, rotate
  - <linearGradient gradientUnits="userSpaceOnUse"> with <stop> offset,
    stop-color and stop-opacity
Shapes are filled with anti-aliasing from 16 sub-scanlines per pixel and exact
horizontal coverage, and composited source-over.
"""

import argparse
import math
import os
import re
import struct
import sys
import xml.etree.ElementTree as ET
import zlib

SVG_NS = "{http://www.w3.org/2000/svg}"
XLINK_HREF = "{http://www.w3.org/1999/xlink}href"
SUBSAMPLES = 16

# icon file stem -> (sizes in the .ico, sizes written as PNG)
ICONS = {
    "mirel-app": ((16, 32, 48, 128, 256), (16, 32, 48, 128, 256)),
    "mirel-product": ((16, 32, 48, 128, 256), (128, 256)),
    "mirel-product-model1": ((16, 32, 48, 128, 256), (128, 256)),
}


class SvgError(Exception):
    pass


# --- geometry -------------------------------------------------------------

IDENTITY = (1.0, 0.0, 0.0, 1.0, 0.0, 0.0)  # a b c d e f: x' = a x + c y + e, y' = b x + d y + f


def multiply(m, n):
    """The transform that applies n first, then m."""
    a, b, c, d, e, f = m
    p, q, r, s, t, u = n
    return (a * p + c * q, b * p + d * q, a * r + c * s, b * r + d * s, a * t + c * u + e, b * t + d * u + f)


def apply(m, point):
    x, y = point
    return (m[0] * x + m[2] * y + m[4], m[1] * x + m[3] * y + m[5])


NUMBER = r"[-+]?(?:[0-9]+\.?[0-9]*|\.[0-9]+)(?:[eE][-+]?[0-9]+)?"


def numbers(text, where):
    text = text.strip()
    values = [float(v) for v in re.findall(NUMBER, text)]
    if re.sub(NUMBER, "", text).strip(" ,\t\r\n"):
        raise SvgError(f"{where}: cannot read numbers from '{text}'")
    return values


def parse_transform(text, where):
    m = IDENTITY
    for name, args in re.findall(r"([a-zA-Z]+)\s*\(([^)]*)\)", text):
        v = numbers(args, where)
        if name == "matrix" and len(v) == 6:
            t = tuple(v)
        elif name == "translate" and len(v) in (1, 2):
            t = (1, 0, 0, 1, v[0], v[1] if len(v) == 2 else 0)
        elif name == "scale" and len(v) in (1, 2):
            t = (v[0], 0, 0, v[1] if len(v) == 2 else v[0], 0, 0)
        elif name == "rotate" and len(v) in (1, 3):
            a = math.radians(v[0])
            t = (math.cos(a), math.sin(a), -math.sin(a), math.cos(a), 0, 0)
            if len(v) == 3:
                t = multiply((1, 0, 0, 1, v[1], v[2]), multiply(t, (1, 0, 0, 1, -v[1], -v[2])))
        else:
            raise SvgError(f"{where}: unsupported transform '{name}({args})'")
        m = multiply(m, t)
    if re.sub(r"[a-zA-Z]+\s*\([^)]*\)", "", text).strip(" ,"):
        raise SvgError(f"{where}: cannot read transform '{text}'")
    return m


def flatten_cubic(p0, p1, p2, p3, m):
    """Points after p0 along a cubic Bezier, in device space."""
    d = [apply(m, p) for p in (p0, p1, p2, p3)]
    length = sum(math.dist(d[i], d[i + 1]) for i in range(3))
    steps = max(4, min(96, int(length / 2) + 1))
    out = []
    for i in range(1, steps + 1):
        t = i / steps
        s = 1 - t
        out.append((s * s * s * d[0][0] + 3 * s * s * t * d[1][0] + 3 * s * t * t * d[2][0] + t * t * t * d[3][0],
                    s * s * s * d[0][1] + 3 * s * s * t * d[1][1] + 3 * s * t * t * d[2][1] + t * t * t * d[3][1]))
    return out


def path_contours(d, m, where):
    """Closed device-space polygons of an SVG path's data."""
    tokens = re.findall(r"[MmLlHhVvCcSsQqTtZz]|" + NUMBER, d)
    if re.sub(r"[MmLlHhVvCcSsQqTtZz]|" + NUMBER, "", d).strip(" ,\t\r\n"):
        raise SvgError(f"{where}: unsupported path data in '{d}' (arcs are not supported)")
    contours, current = [], []
    x = y = sx = sy = 0.0
    last_cubic = last_quad = None
    command = None
    i = 0

    def take(count):
        nonlocal i
        if i + count > len(tokens) or any(re.fullmatch(r"[A-Za-z]", t) for t in tokens[i:i + count]):
            raise SvgError(f"{where}: path command '{command}' is missing numbers")
        values = [float(t) for t in tokens[i:i + count]]
        i += count
        return values

    def close():
        nonlocal current
        if len(current) > 2:
            contours.append(current)
        current = []

    while i < len(tokens):
        if re.fullmatch(r"[A-Za-z]", tokens[i]):
            command = tokens[i]
            i += 1
        elif command is None:
            raise SvgError(f"{where}: path data must start with a command")
        relative = command.islower()
        c = command.upper()
        ox, oy = (x, y) if relative else (0.0, 0.0)
        if c == "Z":
            close()
            x, y = sx, sy
            last_cubic = last_quad = None
            command = None
            continue
        if c == "M":
            close()
            px, py = take(2)
            x, y = ox + px, oy + py
            sx, sy = x, y
            current = [apply(m, (x, y))]
            command = "l" if relative else "L"  # further pairs are line-tos
            last_cubic = last_quad = None
            continue
        if not current:
            current = [apply(m, (x, y))]
        if c == "L":
            px, py = take(2)
            x, y = ox + px, oy + py
            current.append(apply(m, (x, y)))
            last_cubic = last_quad = None
        elif c == "H":
            (px,) = take(1)
            x = ox + px
            current.append(apply(m, (x, y)))
            last_cubic = last_quad = None
        elif c == "V":
            (py,) = take(1)
            y = oy + py
            current.append(apply(m, (x, y)))
            last_cubic = last_quad = None
        elif c in "CS":
            if c == "C":
                x1, y1, x2, y2, px, py = take(6)
                p1 = (ox + x1, oy + y1)
            else:
                x2, y2, px, py = take(4)
                p1 = (2 * x - last_cubic[0], 2 * y - last_cubic[1]) if last_cubic else (x, y)
            p2, p3 = (ox + x2, oy + y2), (ox + px, oy + py)
            current += flatten_cubic((x, y), p1, p2, p3, m)
            last_cubic, last_quad = p2, None
            x, y = p3
        elif c in "QT":
            if c == "Q":
                x1, y1, px, py = take(4)
                q = (ox + x1, oy + y1)
            else:
                px, py = take(2)
                q = (2 * x - last_quad[0], 2 * y - last_quad[1]) if last_quad else (x, y)
            p3 = (ox + px, oy + py)
            p1 = (x + 2 / 3 * (q[0] - x), y + 2 / 3 * (q[1] - y))
            p2 = (p3[0] + 2 / 3 * (q[0] - p3[0]), p3[1] + 2 / 3 * (q[1] - p3[1]))
            current += flatten_cubic((x, y), p1, p2, p3, m)
            last_quad, last_cubic = q, None
            x, y = p3
    close()
    return contours


KAPPA = 0.5522847498  # control distance of a quarter circle as a cubic Bezier


def ellipse_path(cx, cy, rx, ry):
    kx, ky = rx * KAPPA, ry * KAPPA
    return (f"M{cx + rx},{cy} C{cx + rx},{cy + ky} {cx + kx},{cy + ry} {cx},{cy + ry} "
            f"C{cx - kx},{cy + ry} {cx - rx},{cy + ky} {cx - rx},{cy} "
            f"C{cx - rx},{cy - ky} {cx - kx},{cy - ry} {cx},{cy - ry} "
            f"C{cx + kx},{cy - ry} {cx + rx},{cy - ky} {cx + rx},{cy} Z")


def rect_path(x, y, w, h, rx, ry):
    if rx <= 0 or ry <= 0:
        return f"M{x},{y} H{x + w} V{y + h} H{x} Z"
    kx, ky = rx * KAPPA, ry * KAPPA
    r, b = x + w, y + h
    return (f"M{x + rx},{y} H{r - rx} C{r - rx + kx},{y} {r},{y + ry - ky} {r},{y + ry} "
            f"V{b - ry} C{r},{b - ry + ky} {r - rx + kx},{b} {r - rx},{b} "
            f"H{x + rx} C{x + rx - kx},{b} {x},{b - ry + ky} {x},{b - ry} "
            f"V{y + ry} C{x},{y + ry - ky} {x + rx - kx},{y} {x + rx},{y} Z")


# --- rasterising ----------------------------------------------------------


def coverage(contours, width, height, evenodd):
    """Per-pixel coverage (0..1) of the filled contours, as {row: [values]}."""
    edges = []
    for contour in contours:
        for (x0, y0), (x1, y1) in zip(contour, contour[1:] + contour[:1]):
            if y0 != y1:
                edges.append((x0, y0, x1, y1, 1 if y1 > y0 else -1))
    if not edges:
        return {}
    top = max(0, int(math.floor(min(min(e[1], e[3]) for e in edges))))
    bottom = min(height, int(math.ceil(max(max(e[1], e[3]) for e in edges))))
    rows = {}
    weight = 1.0 / SUBSAMPLES
    for py in range(top, bottom):
        active = [e for e in edges if min(e[1], e[3]) < py + 1 and max(e[1], e[3]) > py]
        if not active:
            continue
        full = [0.0] * (width + 1)  # difference array of fully covered pixels
        part = [0.0] * (width + 1)
        for s in range(SUBSAMPLES):
            sy = py + (s + 0.5) * weight
            crossings = []
            for x0, y0, x1, y1, direction in active:
                if (y0 <= sy < y1) or (y1 <= sy < y0):
                    crossings.append((x0 + (sy - y0) * (x1 - x0) / (y1 - y0), direction))
            crossings.sort()
            winding = 0
            for (xa, direction), (xb, _) in zip(crossings, crossings[1:] + [(0.0, 0)]):
                winding += direction
                inside = (winding % 2 == 1) if evenodd else (winding != 0)
                if not inside or xb <= xa:
                    continue
                a, b = max(0.0, xa), min(float(width), xb)
                if b <= a:
                    continue
                ia, ib = int(a), int(b)
                if ia == ib:
                    part[ia] += (b - a) * weight
                    continue
                part[ia] += (ia + 1 - a) * weight
                full[ia + 1] += weight
                full[ib] -= weight
                if ib < width:
                    part[ib] += (b - ib) * weight
        row, running = [0.0] * width, 0.0
        for px in range(width):
            running += full[px]
            row[px] = min(1.0, running + part[px])
        rows[py] = row
    return rows


def parse_color(text, where):
    text = text.strip()
    if re.fullmatch(r"#[0-9a-fA-F]{3}", text):
        return tuple(int(ch * 2, 16) / 255 for ch in text[1:])
    if re.fullmatch(r"#[0-9a-fA-F]{6}", text):
        return tuple(int(text[i:i + 2], 16) / 255 for i in (1, 3, 5))
    raise SvgError(f"{where}: unsupported colour '{text}' (use #rgb or #rrggbb)")


def parse_float(element, name, where, default=None):
    value = element.get(name)
    if value is None:
        if default is None:
            raise SvgError(f"{where}: attribute '{name}' is missing")
        return default
    v = numbers(value, where)
    if len(v) != 1:
        raise SvgError(f"{where}: attribute '{name}' must be one number")
    return v[0]


class Gradient:
    def __init__(self, element, where):
        if element.get("gradientUnits") != "userSpaceOnUse":
            raise SvgError(f'{where}: only gradientUnits="userSpaceOnUse" is supported')
        for name in element.attrib:
            if name not in ("id", "gradientUnits", "x1", "y1", "x2", "y2"):
                raise SvgError(f"{where}: unsupported attribute '{name}'")
        self.p1 = (parse_float(element, "x1", where), parse_float(element, "y1", where))
        self.p2 = (parse_float(element, "x2", where), parse_float(element, "y2", where))
        self.stops = []
        for stop in element:
            stop_where = f"{where} <stop>"
            if stop.tag != SVG_NS + "stop":
                raise SvgError(f"{where}: only <stop> may be inside a gradient")
            offset = stop.get("offset", "0").strip()
            offset = float(offset[:-1]) / 100 if offset.endswith("%") else float(offset)
            color = parse_color(stop.get("stop-color", "#000000"), stop_where)
            alpha = parse_float(stop, "stop-opacity", stop_where, 1.0)
            self.stops.append((min(1.0, max(0.0, offset)), color, alpha))
        if len(self.stops) < 1:
            raise SvgError(f"{where}: a gradient needs at least one stop")

    def sampler(self, m):
        p1, p2 = apply(m, self.p1), apply(m, self.p2)
        dx, dy = p2[0] - p1[0], p2[1] - p1[1]
        length2 = dx * dx + dy * dy or 1.0
        stops = self.stops

        def color_at(x, y):
            t = ((x - p1[0]) * dx + (y - p1[1]) * dy) / length2
            if t <= stops[0][0]:
                return stops[0][1], stops[0][2]
            for (o0, c0, a0), (o1, c1, a1) in zip(stops, stops[1:]):
                if t <= o1:
                    u = (t - o0) / (o1 - o0) if o1 > o0 else 1.0
                    return tuple(c0[i] + (c1[i] - c0[i]) * u for i in range(3)), a0 + (a1 - a0) * u
            return stops[-1][1], stops[-1][2]

        return color_at


class Canvas:
    def __init__(self, size):
        self.size = size
        self.pixels = [[0.0, 0.0, 0.0, 0.0] for _ in range(size * size)]  # premultiplied RGBA

    def fill(self, contours, evenodd, paint, opacity):
        for py, row in coverage(contours, self.size, self.size, evenodd).items():
            for px, cov in enumerate(row):
                if cov <= 0.0:
                    continue
                if callable(paint):
                    color, alpha = paint(px + 0.5, py + 0.5)
                else:
                    color, alpha = paint, 1.0
                a = cov * alpha * opacity
                p = self.pixels[py * self.size + px]
                for i in range(3):
                    p[i] = color[i] * a + p[i] * (1 - a)
                p[3] = a + p[3] * (1 - a)

    def rgba(self):
        out = bytearray()
        for r, g, b, a in self.pixels:
            if a <= 0.0:
                out += b"\0\0\0\0"
                continue
            out += bytes(min(255, int(v / a * 255 + 0.5)) for v in (r, g, b))
            out.append(min(255, int(a * 255 + 0.5)))
        return bytes(out)


# --- SVG ------------------------------------------------------------------

SHAPE_ATTRIBUTES = {"id", "fill", "fill-opacity", "fill-rule", "transform"}
ELEMENT_ATTRIBUTES = {
    "path": {"d"},
    "rect": {"x", "y", "width", "height", "rx", "ry"},
    "circle": {"cx", "cy", "r"},
    "ellipse": {"cx", "cy", "rx", "ry"},
    "polygon": {"points"},
    "g": set(),
    "use": {"href", XLINK_HREF, "x", "y"},
}


class Renderer:
    def __init__(self, path):
        self.name = os.path.basename(path)
        try:
            self.root = ET.parse(path).getroot()
        except (OSError, ET.ParseError) as e:
            raise SvgError(f"{self.name}: cannot read: {e}") from None
        if self.root.tag != SVG_NS + "svg":
            raise SvgError(f"{self.name}: the root element must be <svg> in the SVG namespace")
        box = numbers(self.root.get("viewBox", ""), f"{self.name} <svg viewBox>")
        if len(box) != 4 or box[2] <= 0 or box[2] != box[3]:
            raise SvgError(f"{self.name}: <svg> needs a square viewBox")
        self.box = box
        self.ids = {e.get("id"): e for e in self.root.iter() if e.get("id")}

    def render(self, size):
        canvas = Canvas(size)
        scale = size / self.box[2]
        m = (scale, 0.0, 0.0, scale, -self.box[0] * scale, -self.box[1] * scale)
        for child in self.root:
            self.draw(child, canvas, m, {}, depth=0)
        return canvas

    def draw(self, element, canvas, m, inherited, depth):
        tag = element.tag[len(SVG_NS):] if element.tag.startswith(SVG_NS) else element.tag
        where = f"{self.name} <{tag}{' id=' + element.get('id') if element.get('id') else ''}>"
        if tag in ("defs", "title", "desc", "linearGradient", "stop") or not isinstance(element.tag, str):
            return
        if tag not in ELEMENT_ATTRIBUTES:
            raise SvgError(f"{where}: unsupported element")
        if depth > 16:
            raise SvgError(f"{where}: elements nest too deep (a <use> that refers to itself?)")
        for name in element.attrib:
            if name not in SHAPE_ATTRIBUTES | ELEMENT_ATTRIBUTES[tag]:
                raise SvgError(f"{where}: unsupported attribute '{name}'")
        if "transform" in element.attrib:
            m = multiply(m, parse_transform(element.get("transform"), where))
        style = dict(inherited)
        for name in ("fill", "fill-opacity", "fill-rule"):
            if name in element.attrib:
                style[name] = element.get(name)

        if tag == "g":
            for child in element:
                self.draw(child, canvas, m, style, depth + 1)
            return
        if tag == "use":
            href = element.get("href") or element.get(XLINK_HREF) or ""
            target = self.ids.get(href[1:]) if href.startswith("#") else None
            if target is None:
                raise SvgError(f"{where}: href '{href}' names no element of this file")
            m = multiply(m, (1, 0, 0, 1, parse_float(element, "x", where, 0.0), parse_float(element, "y", where, 0.0)))
            self.draw(target, canvas, m, style, depth + 1)
            return

        if tag == "path":
            d = element.get("d", "")
        elif tag == "rect":
            w, h = parse_float(element, "width", where), parse_float(element, "height", where)
            rx = element.get("rx", element.get("ry"))
            ry = element.get("ry", element.get("rx"))
            rx = min(w / 2, numbers(rx, where)[0]) if rx else 0.0
            ry = min(h / 2, numbers(ry, where)[0]) if ry else 0.0
            d = rect_path(parse_float(element, "x", where, 0.0), parse_float(element, "y", where, 0.0), w, h, rx, ry)
        elif tag == "circle":
            r = parse_float(element, "r", where)
            d = ellipse_path(parse_float(element, "cx", where, 0.0), parse_float(element, "cy", where, 0.0), r, r)
        elif tag == "ellipse":
            d = ellipse_path(parse_float(element, "cx", where, 0.0), parse_float(element, "cy", where, 0.0),
                             parse_float(element, "rx", where), parse_float(element, "ry", where))
        else:  # polygon
            v = numbers(element.get("points", ""), where)
            if len(v) < 6 or len(v) % 2:
                raise SvgError(f"{where}: 'points' needs at least three x,y pairs")
            d = "M" + " ".join(f"{v[i]},{v[i + 1]}" for i in range(0, len(v), 2)) + " Z"

        fill = style.get("fill", "#000000").strip()
        if fill == "none":
            return
        if fill.startswith("url("):
            match = re.fullmatch(r"url\(#([^)]+)\)", fill)
            gradient = self.ids.get(match.group(1)) if match else None
            if gradient is None or gradient.tag != SVG_NS + "linearGradient":
                raise SvgError(f"{where}: fill '{fill}' names no linearGradient of this file")
            paint = Gradient(gradient, f"{self.name} <linearGradient id={match.group(1)}>").sampler(m)
        else:
            paint = parse_color(fill, where)
        rule = style.get("fill-rule", "nonzero")
        if rule not in ("nonzero", "evenodd"):
            raise SvgError(f"{where}: unsupported fill-rule '{rule}'")
        opacity = numbers(style.get("fill-opacity", "1"), where)
        if len(opacity) != 1:
            raise SvgError(f"{where}: fill-opacity must be one number")
        canvas.fill(path_contours(d, m, where), rule == "evenodd", paint, min(1.0, max(0.0, opacity[0])))


# --- files ----------------------------------------------------------------


def png(size, rgba):
    """A PNG of 8-bit RGBA rows, each with the filter that compresses best."""
    stride = size * 4
    rows, previous = [], bytes(stride)
    for y in range(size):
        row = rgba[y * stride:(y + 1) * stride]
        candidates = []
        for kind in range(5):
            out = bytearray(stride)
            for i in range(stride):
                left = row[i - 4] if i >= 4 else 0
                up = previous[i]
                upper_left = previous[i - 4] if i >= 4 else 0
                if kind == 0:
                    predictor = 0
                elif kind == 1:
                    predictor = left
                elif kind == 2:
                    predictor = up
                elif kind == 3:
                    predictor = (left + up) // 2
                else:
                    p = left + up - upper_left
                    pa, pb, pc = abs(p - left), abs(p - up), abs(p - upper_left)
                    predictor = left if pa <= pb and pa <= pc else up if pb <= pc else upper_left
                out[i] = (row[i] - predictor) & 0xFF
            candidates.append((sum(v if v < 128 else 256 - v for v in out), kind, bytes(out)))
        _, kind, data = min(candidates)
        rows.append(bytes([kind]) + data)
        previous = row

    def chunk(kind, data):
        return struct.pack(">I", len(data)) + kind + data + struct.pack(">I", zlib.crc32(kind + data))

    header = struct.pack(">IIBBBBB", size, size, 8, 6, 0, 0, 0)
    return (b"\x89PNG\r\n\x1a\n" + chunk(b"IHDR", header) + chunk(b"IDAT", zlib.compress(b"".join(rows), 9)) +
            chunk(b"IEND", b""))


def ico(images):
    """An icon file whose entries are PNG images: [(size, png bytes)]."""
    out = struct.pack("<HHH", 0, 1, len(images))
    offset = 6 + 16 * len(images)
    for size, data in images:
        dimension = 0 if size >= 256 else size  # 0 means 256
        out += struct.pack("<BBBBHHII", dimension, dimension, 0, 0, 1, 32, len(data), offset)
        offset += len(data)
    return out + b"".join(data for _, data in images)


def main(argv):
    here = os.path.dirname(os.path.abspath(__file__))
    parser = argparse.ArgumentParser(description="Render the application icons from their SVG sources.")
    parser.add_argument("--dir", default=os.path.join(here, "..", "app", "res", "icons"),
                        help="folder with the SVG sources; the renderings are written beside them")
    args = parser.parse_args(argv)
    try:
        for stem, (ico_sizes, png_sizes) in ICONS.items():
            renderer = Renderer(os.path.join(args.dir, stem + ".svg"))
            images = {size: png(size, renderer.render(size).rgba()) for size in sorted(set(ico_sizes) | set(png_sizes))}
            with open(os.path.join(args.dir, stem + ".ico"), "wb") as f:
                f.write(ico([(size, images[size]) for size in ico_sizes]))
            for size in png_sizes:
                with open(os.path.join(args.dir, f"{stem}-{size}.png"), "wb") as f:
                    f.write(images[size])
            print(f"{stem}: .ico {', '.join(map(str, ico_sizes))}; .png {', '.join(map(str, png_sizes))}")
    except SvgError as e:
        print(f"render_icons.py: error: {e}", file=sys.stderr)
        return 1
    except OSError as e:
        print(f"render_icons.py: error: {e.filename}: {e.strerror}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
