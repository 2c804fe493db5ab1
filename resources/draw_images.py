#!/usr/bin/python3
"""Draws the images of the compiled resource bundle into resources/gfx/, and the program's
icon and the icon of its project files (.vx) at the hicolor theme's sizes into
resources/appicon/ (both installed by packaging/).

The PNGs are committed, so a build never runs this script. Run it again after
changing a picture:  /usr/bin/python3 resources/draw_images.py
Needs python3-pil; the splash uses DejaVu Sans Bold when it is installed.

Icons are drawn at four times their size and scaled down, which smooths their edges.
"""

import math
import os

from PIL import Image, ImageDraw, ImageFont

HERE = os.path.dirname(os.path.abspath(__file__))
OUT = os.path.join(HERE, "gfx")

ICON = 128
SS = 4  # supersampling factor
S = ICON * SS

LIGHT = (236, 236, 236, 255)
OUTLINE = (40, 40, 40, 255)
GREEN = (92, 196, 96, 255)
RED = (214, 74, 64, 255)
AMBER = (236, 180, 64, 255)
BLUE = (88, 150, 220, 255)
GREY = (150, 150, 150, 255)


def p(v):
    """Icon coordinate (0..128) to supersampled canvas coordinate."""
    return v * SS


def box(x0, y0, x1, y1):
    return [p(x0), p(y0), p(x1), p(y1)]


def pts(*xy):
    return [(p(x), p(y)) for x, y in xy]


def canvas():
    img = Image.new("RGBA", (S, S), (0, 0, 0, 0))
    return img, ImageDraw.Draw(img)


def save(img, rel):
    path = os.path.join(OUT, rel)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    img.resize((img.width // SS, img.height // SS), Image.LANCZOS).save(path)


def line_w(w):
    return int(w * SS)


# Player controls -----------------------------------------------------------


def play_triangle(d, fill, x0=30, y0=20, x1=108, y1=108):
    my = (y0 + y1) / 2
    d.polygon(pts((x0, y0), (x1, my), (x0, y1)), fill=fill, outline=OUTLINE, width=line_w(3))


def draw_player_play():
    img, d = canvas()
    play_triangle(d, GREEN, 28, 14, 114, 114)
    save(img, "icons/player_controls/play.png")


def draw_player_stop():
    img, d = canvas()
    d.rounded_rectangle(box(20, 20, 108, 108), radius=p(8), fill=RED, outline=OUTLINE,
                        width=line_w(3))
    save(img, "icons/player_controls/stop.png")


def draw_player_pause():
    img, d = canvas()
    for x in (24, 74):
        d.rounded_rectangle(box(x, 16, x + 30, 112), radius=p(6), fill=AMBER, outline=OUTLINE,
                            width=line_w(3))
    save(img, "icons/player_controls/pause.png")


# Row and dock buttons ------------------------------------------------------


def draw_add():
    img, d = canvas()
    d.rounded_rectangle(box(50, 12, 78, 116), radius=p(6), fill=GREEN, outline=OUTLINE,
                        width=line_w(3))
    d.rounded_rectangle(box(12, 50, 116, 78), radius=p(6), fill=GREEN, outline=OUTLINE,
                        width=line_w(3))
    # Clean up the crossing so the plus reads as one shape.
    d.rectangle(box(52, 52, 76, 76), fill=GREEN)
    save(img, "icons/others/add.png")


def draw_remove():
    img, d = canvas()
    d.rounded_rectangle(box(12, 50, 116, 78), radius=p(6), fill=RED, outline=OUTLINE,
                        width=line_w(3))
    save(img, "icons/others/remove.png")


def draw_delete():
    """A trash can: lid with handle, tapered body with ribs."""
    img, d = canvas()
    d.rounded_rectangle(box(50, 8, 78, 22), radius=p(4), outline=OUTLINE, width=line_w(4),
                        fill=GREY)
    d.rounded_rectangle(box(18, 18, 110, 32), radius=p(4), fill=GREY, outline=OUTLINE,
                        width=line_w(3))
    d.polygon(pts((26, 36), (102, 36), (94, 120), (34, 120)), fill=(190, 190, 190, 255),
              outline=OUTLINE, width=line_w(3))
    for x0, x1 in ((46, 50), (64, 64), (82, 78)):
        d.line(pts((x0, 46), (x1, 110)), fill=OUTLINE, width=line_w(5))
    save(img, "icons/others/delete.png")


# File actions --------------------------------------------------------------


def draw_new():
    """A blank page with its top right corner folded."""
    img, d = canvas()
    fold = 30
    d.polygon(pts((24, 8), (104 - fold, 8), (104, 8 + fold), (104, 120), (24, 120)),
              fill=(250, 250, 250, 255), outline=OUTLINE, width=line_w(3))
    d.polygon(pts((104 - fold, 8), (104 - fold, 8 + fold), (104, 8 + fold)),
              fill=(200, 200, 200, 255), outline=OUTLINE, width=line_w(3))
    save(img, "icons/file/new.png")


def draw_open():
    """An open folder: back panel with tab, front flap tilted open."""
    img, d = canvas()
    back = (200, 150, 60, 255)
    front = (240, 196, 90, 255)
    d.polygon(pts((10, 24), (46, 24), (54, 34), (108, 34), (108, 108), (10, 108)), fill=back,
              outline=OUTLINE, width=line_w(3))
    d.rectangle(box(24, 42, 100, 100), fill=(250, 250, 250, 255), outline=OUTLINE,
                width=line_w(2))
    d.polygon(pts((28, 56), (122, 56), (104, 108), (10, 108)), fill=front, outline=OUTLINE,
              width=line_w(3))
    save(img, "icons/file/open.png")


def draw_save():
    """A floppy disk: body, metal shutter at the top, label at the bottom."""
    img, d = canvas()
    d.polygon(pts((12, 12), (100, 12), (116, 28), (116, 116), (12, 116)), fill=BLUE,
              outline=OUTLINE, width=line_w(3))
    d.rectangle(box(32, 12, 92, 48), fill=(200, 200, 210, 255), outline=OUTLINE,
                width=line_w(3))
    d.rectangle(box(74, 18, 86, 42), fill=(60, 60, 70, 255))
    d.rectangle(box(26, 66, 102, 116), fill=(250, 250, 250, 255), outline=OUTLINE,
                width=line_w(3))
    for y in (80, 92, 104):
        d.line(pts((34, y), (94, y)), fill=GREY, width=line_w(3))
    save(img, "icons/file/save.png")


# Mode actions: a round badge each, so they read as a set -----------------------


def badge(d, colour):
    d.ellipse(box(6, 6, 122, 122), fill=colour, outline=OUTLINE, width=line_w(4))


def draw_mode_play():
    img, d = canvas()
    badge(d, (70, 150, 74, 255))
    play_triangle(d, LIGHT, 46, 32, 98, 96)
    save(img, "icons/mode/play.png")


def draw_mode_edit():
    """A pencil lying across the badge."""
    img, d = canvas()
    badge(d, (70, 110, 170, 255))
    angle = math.radians(-45)
    cx, cy = 64, 64
    half_len, half_w = 40, 10

    def rot(x, y):
        return (cx + x * math.cos(angle) - y * math.sin(angle),
                cy + x * math.sin(angle) + y * math.cos(angle))

    body = [rot(-half_len + 16, -half_w), rot(half_len, -half_w), rot(half_len, half_w),
            rot(-half_len + 16, half_w)]
    tip = [rot(-half_len + 16, -half_w), rot(-half_len + 16, half_w), rot(-half_len, 0)]
    eraser = [rot(half_len - 10, -half_w), rot(half_len, -half_w), rot(half_len, half_w),
              rot(half_len - 10, half_w)]
    d.polygon(pts(*body), fill=AMBER, outline=OUTLINE, width=line_w(3))
    d.polygon(pts(*tip), fill=(240, 220, 180, 255), outline=OUTLINE, width=line_w(3))
    d.polygon(pts(*eraser), fill=(230, 130, 140, 255), outline=OUTLINE, width=line_w(3))
    save(img, "icons/mode/edit.png")


def draw_mode_options():
    """A cog wheel."""
    img, d = canvas()
    badge(d, (110, 110, 110, 255))
    cx, cy, r_out, r_in = 64, 64, 44, 32
    teeth = 8
    poly = []
    for i in range(teeth * 4):
        a = 2 * math.pi * i / (teeth * 4)
        r = r_out if i % 4 in (1, 2) else r_in
        poly.append((cx + r * math.cos(a), cy + r * math.sin(a)))
    d.polygon(pts(*poly), fill=LIGHT, outline=OUTLINE, width=line_w(3))
    d.ellipse(box(cx - 13, cy - 13, cx + 13, cy + 13), fill=(110, 110, 110, 255),
              outline=OUTLINE, width=line_w(3))
    save(img, "icons/mode/options.png")


def draw_mode_help():
    """A question mark."""
    img, d = canvas()
    badge(d, (150, 90, 170, 255))
    font = load_font(84)
    if font is not None:
        d.text((p(64), p(62)), "?", font=font, fill=LIGHT, anchor="mm",
               stroke_width=line_w(2), stroke_fill=OUTLINE)
    else:
        d.arc(box(40, 22, 88, 70), 180, 90, fill=LIGHT, width=line_w(12))
        d.line(pts((64, 70), (64, 84)), fill=LIGHT, width=line_w(12))
        d.ellipse(box(57, 92, 71, 106), fill=LIGHT)
    save(img, "icons/mode/help.png")


# Skin and splash -----------------------------------------------------------


def lerp(a, b, t):
    return tuple(int(round(a[i] + (b[i] - a[i]) * t)) for i in range(len(a)))


def draw_skin():
    # background.png, 256x1: stretched over the dock contents and the mode bar. A soft
    # horizontal falloff from the middle grey of the style sheet towards a darker edge.
    bg = Image.new("RGBA", (256, 1))
    for x in range(256):
        t = abs(x - 127.5) / 127.5
        bg.putpixel((x, 0), lerp((84, 84, 84, 255), (56, 56, 56, 255), t ** 1.5))
    path = os.path.join(OUT, "skin")
    os.makedirs(path, exist_ok=True)
    bg.save(os.path.join(path, "background.png"))

    # header.png, 256x25: status bar and tool bars. The style sheet slices one pixel off
    # the top and the bottom as borders: a light rim above, a dark rim below, and a
    # vertical gradient like the table headers in between.
    hd = Image.new("RGBA", (256, 25))
    for y in range(25):
        if y == 0:
            c = (120, 120, 120, 255)
        elif y == 24:
            c = (30, 30, 30, 255)
        else:
            c = lerp((97, 97, 97, 255), (60, 60, 60, 255), (y - 1) / 22)
        for x in range(256):
            hd.putpixel((x, y), c)
    hd.save(os.path.join(path, "header.png"))


def load_font(size_px):
    for name in ("/usr/share/fonts/truetype/dejavu/DejaVuSans-Bold.ttf",
                 "/usr/share/fonts/truetype/liberation/LiberationSans-Bold.ttf"):
        if os.path.exists(name):
            return ImageFont.truetype(name, size_px * SS)
    return None


def draw_splash():
    w, h = 320 * SS, 240 * SS
    img = Image.new("RGBA", (w, h))
    d = ImageDraw.Draw(img)
    for y in range(h):
        d.line([(0, y), (w, y)], fill=lerp((160, 160, 160, 255), (36, 36, 36, 255), y / (h - 1)))
    # A sound wave under the name.
    wave = []
    for i in range(0, 261):
        x = 30 + i
        env = math.sin(math.pi * i / 260)
        y = 150 + 22 * env * math.sin(i / 6.0) * math.sin(i / 23.0)
        wave.append((x, y))
    d.line(pts(*wave), fill=(120, 200, 124, 255), width=line_w(3), joint="curve")
    font = load_font(44)
    small = load_font(13)
    if font is not None:
        d.text((p(160), p(86)), "voxtrail", font=font, fill=(245, 245, 245, 255), anchor="mm",
               stroke_width=line_w(1.5), stroke_fill=(20, 20, 20, 255))
        d.text((p(160), p(200)), "narration cue lists", font=small,
               fill=(200, 200, 200, 255), anchor="mm")
    else:
        d.text((p(120), p(80)), "voxtrail", fill=(245, 245, 245, 255))
    # The top left stays plain and light: the start-up message is written there in black.
    img = img.resize((320, 240), Image.LANCZOS)
    img.save(os.path.join(OUT, "splash.png"))


# Program icon and project file icon ----------------------------------------

APP_ICON_SIZES = (16, 22, 24, 32, 48, 64, 128, 256)


def app_icon_art(size):
    """The launcher icon, supersampled (size * SS square): the splash's grey tile with its
    green sound wave, led by the play triangle of the player controls. Small sizes get
    fewer, heavier strokes so the shapes still read at 16 pixels."""
    k = size * SS / 128  # icon coordinate (0..128) to canvas pixels at this size
    img = Image.new("RGBA", (size * SS, size * SS), (0, 0, 0, 0))
    small = size <= 32

    def q(x, y):
        return (x * k, y * k)

    def w(px):
        """A stroke of px pixels in the final image (at least), drawn on the canvas."""
        return max(1, int(round(px * SS)))

    # The tile: the splash's vertical gradient inside a rounded square.
    tile = Image.new("RGBA", img.size)
    td = ImageDraw.Draw(tile)
    for y in range(img.height):
        td.line([(0, y), (img.width, y)],
                fill=lerp((160, 160, 160, 255), (36, 36, 36, 255), y / (img.height - 1)))
    mask = Image.new("L", img.size, 0)
    margin = 4 if small else 6
    square = [*q(margin, margin), *q(128 - margin, 128 - margin)]
    ImageDraw.Draw(mask).rounded_rectangle(square, radius=22 * k, fill=255)
    img.paste(tile, (0, 0), mask)
    d = ImageDraw.Draw(img)
    d.rounded_rectangle(square, radius=22 * k, outline=OUTLINE, width=w(max(1, size / 48)))

    # The wave: a swell that starts at the triangle's tip and dies away to the right, drawn
    # as a run of round dabs so the thick stroke stays smooth along its bends.
    x0, x1, mid = 58, 112, 66
    cycles = 1.5 if small else 2.25
    amp = 30 if small else 28
    radius = max(1.6, size / 20) * SS / 2
    green = (120, 200, 124, 255)
    steps = 400
    for i in range(steps + 1):
        t = i / steps
        swing = amp * (1 - t) ** 1.2 * math.sin(2 * math.pi * cycles * t)
        x, y = q(x0 + (x1 - x0) * t, mid - swing)
        d.ellipse([x - radius, y - radius, x + radius, y + radius], fill=green)

    # The play triangle.
    d.polygon([q(20, 36), q(60, 66), q(20, 96)], fill=LIGHT, outline=OUTLINE,
              width=w(max(1, size / 64)))
    return img


def save_icon(img, size, name):
    img = img.resize((size, size), Image.LANCZOS)
    path = os.path.join(HERE, "appicon", "%s-%d.png" % (name, size))
    os.makedirs(os.path.dirname(path), exist_ok=True)
    img.save(path)


def draw_app_icon(size):
    save_icon(app_icon_art(size), size, "voxtrail")


def draw_document_icon(size):
    """The icon of a project file: a page with its top right corner folded, like File, New,
    carrying the launcher icon, so the file manager shows whose file it is. From 32 pixels
    up the page also has two lines of text above the tile; below that the tile fills nearly
    the whole page, since it is all that still reads."""
    k = size * SS / 128
    img = Image.new("RGBA", (size * SS, size * SS), (0, 0, 0, 0))
    d = ImageDraw.Draw(img)
    small = size < 32

    def q(x, y):
        return (x * k, y * k)

    stroke = max(1, int(round(max(1, size / 48) * SS)))
    x0, y0, x1, y1, fold = (18, 4, 110, 124, 28) if small else (20, 6, 108, 122, 26)
    d.polygon([q(x0, y0), q(x1 - fold, y0), q(x1, y0 + fold), q(x1, y1), q(x0, y1)],
              fill=(250, 250, 250, 255), outline=OUTLINE, width=stroke)
    d.polygon([q(x1 - fold, y0), q(x1 - fold, y0 + fold), q(x1, y0 + fold)],
              fill=(200, 200, 200, 255), outline=OUTLINE, width=stroke)
    if not small:
        for y, right in ((22, 72), (34, 64)):
            d.line([q(x0 + 12, y), q(right, y)], fill=GREY, width=max(1, int(4 * k)))

    # The launcher icon, drawn for the pixels it gets here, over the page's lower part.
    tx0, ty0, tx1 = (x0 + 2, 34, x1 - 2) if small else (28, 46, 100)
    tile_px = max(8, round(size * (tx1 - tx0) / 128))
    canvas_px = round((tx1 - tx0) * k)
    tile = app_icon_art(tile_px).resize((canvas_px, canvas_px), Image.LANCZOS)
    img.alpha_composite(tile, (round(tx0 * k), round(ty0 * k)))
    save_icon(img, size, "application-x-voxtrail-project")


def main():
    for size in APP_ICON_SIZES:
        draw_app_icon(size)
        draw_document_icon(size)
    draw_player_play()
    draw_player_stop()
    draw_player_pause()
    draw_add()
    draw_remove()
    draw_delete()
    draw_new()
    draw_open()
    draw_save()
    draw_mode_play()
    draw_mode_edit()
    draw_mode_options()
    draw_mode_help()
    draw_skin()
    draw_splash()


if __name__ == "__main__":
    main()
