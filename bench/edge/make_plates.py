#!/usr/bin/python3
"""Writes soft-edge test plates with an exact alpha, for measuring keys on hair, fur and blur.

usage: make_plates.py OUTDIR [--only NAME[,NAME...]]

Each plate is built in linear light from layers (alpha, straight foreground colour) composited front
over back, so the true matte and the true foreground are known exactly:

    plate = F * a + S * (1 - a)        (F already carries the screen's spill)

then encoded as a camera file would be (sRGB, 8 bits; one plate also goes through H.264 4:2:0).
For each plate NAME it writes:
  NAME.png         the plate as delivered (8-bit sRGB)
  NAME_alpha.png   the true alpha (16-bit grey)
  NAME_clean.png   the screen alone under the same light (with the subject's cast shadow), other grain
  NAME_fg.png      the true foreground colour as composited, spill included (8-bit sRGB); this is what
                   an exact unmix recovers. Black where the alpha is 0.
  NAME_fg_dry.png  the foreground before spill (what a perfect despill would give)
and plates.json: names, the screen's mean colour as stored (straight sRGB 0..1, for score_key.py
--screen) and a note of what each plate has. Everything is seeded: the same command writes the same
files (the H.264 plate depends on the installed libx264 build).
Needs numpy, scipy, OpenImageIO's Python module and, for the H.264 plate, ffmpeg with libx264.
"""
import json
import os
import subprocess
import sys
import tempfile

import numpy as np
import OpenImageIO as oiio
from scipy import ndimage

kWidth, kHeight = 640, 480
kGrain = 0.007  # about 2 code values in green on a mid screen, 3 to 5 in blue
kSuper = 4  # coverage is rendered at 4 x 4 samples per pixel and box-filtered down


def ToLinear(srgb):
    srgb = np.asarray(srgb, dtype=np.float64)
    return np.where(srgb <= 0.04045, srgb / 12.92, ((srgb + 0.055) / 1.055) ** 2.4)


def ToSrgb(lin):
    lin = np.clip(lin, 0.0, 1.0)
    return np.where(lin <= 0.0031308, lin * 12.92, 1.055 * lin ** (1.0 / 2.4) - 0.055)


def Noise(rng, shape, sigma):
    """Smooth noise in 0..1 (Gaussian-filtered white noise, stretched to its own range)."""
    n = ndimage.gaussian_filter(rng.standard_normal(shape), sigma, mode="wrap")
    return (n - n.min()) / max(n.max() - n.min(), 1e-12)


def Fractal(rng, shape, sigmas=(48, 20, 8, 3)):
    out = sum(Noise(rng, shape, s) * (0.5 ** i) for i, s in enumerate(sigmas))
    return (out - out.min()) / (out.max() - out.min())


def Grid(scale=1):
    y, x = np.mgrid[0:kHeight * scale, 0:kWidth * scale].astype(np.float64)
    return (x + 0.5) / scale, (y + 0.5) / scale


def Downsample(hi):
    return hi.reshape(kHeight, kSuper, kWidth, kSuper).mean(axis=(1, 3))


def Ellipse(cx, cy, rx, ry, angle=0.0):
    """Coverage of an ellipse, from 4 x 4 samples per pixel."""
    x, y = Grid(kSuper)
    c, s = np.cos(angle), np.sin(angle)
    u, v = (x - cx) * c + (y - cy) * s, -(x - cx) * s + (y - cy) * c
    return Downsample(((u / rx) ** 2 + (v / ry) ** 2 <= 1.0).astype(np.float64))


def Capsule(x0, y0, x1, y1, radius):
    x, y = Grid(kSuper)
    dx, dy = x1 - x0, y1 - y0
    t = np.clip(((x - x0) * dx + (y - y0) * dy) / (dx * dx + dy * dy), 0.0, 1.0)
    d = np.hypot(x - x0 - t * dx, y - y0 - t * dy)
    return Downsample((d <= radius).astype(np.float64))


def Strands(rng, roots, normals, lengths, width, opacity, curl, droop):
    """Coverage of thin strands growing from roots along their normals (rendered at kSuper x).

    Each strand bends by a random curl and droops downwards; it tapers in width and opacity to its
    tip. Overlapping strands take the larger coverage.
    """
    hi = np.zeros((kHeight * kSuper, kWidth * kSuper))
    n = len(roots)
    steps = int(np.ceil(lengths.max() * kSuper * 1.5)) + 2
    t = np.linspace(0.0, 1.0, steps)[None, :]
    ang = np.arctan2(normals[:, 1], normals[:, 0])[:, None] + rng.normal(0, 0.25, (n, 1))
    bend = rng.normal(0, curl, (n, 1))
    ang = ang + bend * t + np.sin(t * rng.uniform(2, 6, (n, 1)) + rng.uniform(0, 6.3, (n, 1))) * curl * 0.3
    seg = lengths[:, None] / (steps - 1)
    dx, dy = np.cos(ang) * seg, np.sin(ang) * seg + droop * seg * t
    px = roots[:, 0:1] + np.cumsum(dx, axis=1) - dx[:, :1]
    py = roots[:, 1:2] + np.cumsum(dy, axis=1) - dy[:, :1]
    w = (width[:, None] * (1.0 - 0.7 * t)) * kSuper  # width in fine samples
    op = np.broadcast_to(opacity[:, None] * (1.0 - 0.6 * t ** 2), px.shape)
    for oy in range(-1, 2):
        for ox in range(-1, 2):
            # a strand narrower than 0.6 px covers one fine sample across, a wider one three
            keep = (w >= 2.5) if (ox or oy) else np.ones_like(w, dtype=bool)
            fx = np.floor(px * kSuper).astype(np.int64)[keep] + ox
            fy = np.floor(py * kSuper).astype(np.int64)[keep] + oy
            inside = (fx >= 0) & (fx < kWidth * kSuper) & (fy >= 0) & (fy < kHeight * kSuper)
            np.maximum.at(hi, (fy[inside], fx[inside]), op[keep][inside])
    return Downsample(hi)


def BoundaryRoots(rng, mask, count, depth):
    """Random points just inside the edge of a 0..1 mask, with outward normals."""
    soft = ndimage.gaussian_filter(mask, 2.0)
    gy, gx = np.gradient(soft)
    edge = (mask > 0.5) & ~ndimage.binary_erosion(mask > 0.5, iterations=1)
    ys, xs = np.nonzero(edge)
    pick = rng.integers(0, len(xs), count)
    x, y = xs[pick] + rng.uniform(0, 1, count), ys[pick] + rng.uniform(0, 1, count)
    nx, ny = -gx[ys[pick], xs[pick]], -gy[ys[pick], xs[pick]]
    norm = np.hypot(nx, ny) + 1e-12
    nx, ny = nx / norm, ny / norm
    inset = rng.uniform(0, depth, count)
    return np.stack([x - nx * inset, y - ny * inset], axis=1), np.stack([nx, ny], axis=1)


class Subject:
    """Layers composited front over back: premultiplied colour P and alpha A, in linear light."""

    def __init__(self):
        self.P = np.zeros((kHeight, kWidth, 3))
        self.A = np.zeros((kHeight, kWidth))

    def Over(self, alpha, colour):
        """Puts a layer of straight colour (an RGB triple or an H x W x 3 field) in front."""
        alpha = np.clip(alpha, 0.0, 1.0)
        colour = np.broadcast_to(np.asarray(colour, dtype=np.float64), self.P.shape)
        self.P = colour * alpha[:, :, None] + self.P * (1.0 - alpha[:, :, None])
        self.A = alpha + self.A * (1.0 - alpha)

    def Blur(self, kernel):
        """Motion blur or defocus: filters premultiplied colour and alpha with the same kernel."""
        self.A = ndimage.convolve(self.A, kernel, mode="nearest")
        for c in range(3):
            self.P[:, :, c] = ndimage.convolve(self.P[:, :, c], kernel, mode="nearest")

    def Straight(self):
        a = self.A[:, :, None]
        return np.where(a > 1e-6, self.P / np.maximum(a, 1e-6), 0.0)


def Tinted(rng, base_a, base_b, scale=12.0):
    """A linear colour field wandering between two sRGB colours, with fibre-like streaks."""
    a, b = ToLinear(base_a), ToLinear(base_b)
    mix = Noise(rng, (kHeight, kWidth), scale)
    streak = Noise(rng, (kHeight, kWidth), (6.0, 0.7))
    mix = np.clip(0.75 * mix + 0.5 * (streak - 0.5), 0.0, 1.0)[:, :, None]
    return a * (1.0 - mix) + b * mix


def FurLayer(rng, subject, body, colour_a, colour_b, count, reach):
    """A furry body: the body's edge is hidden under strands whose length follows fractal noise."""
    roots, normals = BoundaryRoots(rng, body, count, depth=4.0)
    field = Fractal(rng, (kHeight, kWidth))
    fine = Noise(rng, (kHeight, kWidth), 1.5)
    ix = np.clip(roots[:, 0].astype(int), 0, kWidth - 1)
    iy = np.clip(roots[:, 1].astype(int), 0, kHeight - 1)
    lengths = reach * (0.25 + 0.9 * field[iy, ix] + 0.5 * fine[iy, ix]) * rng.uniform(0.5, 1.0, count)
    width = rng.uniform(0.25, 0.9, count)
    opacity = rng.uniform(0.55, 1.0, count)
    fur = Strands(rng, roots, normals, lengths, width, opacity, curl=0.6, droop=0.15)
    inner = ndimage.gaussian_filter(body, 0.6) * ndimage.binary_erosion(body > 0.5, iterations=3)
    subject.Over(np.maximum(fur, inner), Tinted(rng, colour_a, colour_b))


def HairLayer(rng, subject, head, colour_a, colour_b, count, reach, flyaways):
    """Hair on the top half of a head: dense strands drooping down plus a few long flyaways."""
    hair = head * (Grid()[1] < np.nonzero(head.sum(axis=1))[0].mean() + 5)
    roots, normals = BoundaryRoots(rng, hair, count, depth=6.0)
    up = normals[:, 1] < 0.3  # hair grows from the scalp's edge, not from the fringe over the face
    roots, normals, count = roots[up], normals[up], int(up.sum())
    lengths = reach * rng.uniform(0.3, 1.0, count)
    cover = Strands(rng, roots, normals, lengths, rng.uniform(0.2, 0.7, count),
                    rng.uniform(0.5, 1.0, count), curl=0.5, droop=0.5)
    fly_roots, fly_normals = BoundaryRoots(rng, hair, flyaways, depth=2.0)
    up = fly_normals[:, 1] < 0.3
    fly_roots, fly_normals, flyaways = fly_roots[up], fly_normals[up], int(up.sum())
    fly = Strands(rng, fly_roots, fly_normals, reach * rng.uniform(1.5, 3.0, flyaways),
                  rng.uniform(0.15, 0.4, flyaways), rng.uniform(0.3, 0.8, flyaways), curl=0.7, droop=0.2)
    subject.Over(np.maximum(np.maximum(cover, fly), hair), Tinted(rng, colour_a, colour_b, 8.0))


def Figure(rng, subject, spec):
    """Torso in clothing, a head with skin, hair on top (shared by the hair plates)."""
    cx = spec.get("cx", 330)
    torso = Ellipse(cx, 500, 190, 170)
    subject.Over(torso, Tinted(rng, *spec["clothing"], scale=30.0))
    if "collar" in spec:
        subject.Over(Ellipse(cx, 345, 70, 26), ToLinear(spec["collar"]))
    head = Ellipse(cx, 225, 82, 104)
    subject.Over(head, Tinted(rng, *spec["skin"], scale=25.0))
    HairLayer(rng, subject, Ellipse(cx, 205, 92, 104), *spec["hair"], count=spec.get("strands", 5000),
              reach=spec.get("reach", 26.0), flyaways=spec.get("flyaways", 60))


def FurBall(rng, subject):
    """An animal-like fur mass: cream, brown and grey fur, a saturated red collar and a grey tag."""
    body = np.maximum(Ellipse(320, 290, 165, 135), Ellipse(430, 180, 80, 70))
    body = np.maximum(body, Ellipse(215, 175, 70, 62))
    FurLayer(rng, subject, body, (0.86, 0.76, 0.6), (0.35, 0.22, 0.12), count=14000, reach=28.0)
    patch = Ellipse(250, 330, 60, 50) * ndimage.binary_erosion(body > 0.5, iterations=14)
    subject.Over(patch, ToLinear((0.45, 0.45, 0.46)))
    subject.Over(Capsule(250, 390, 400, 395, 9), ToLinear((0.80, 0.08, 0.10)))
    subject.Over(Ellipse(330, 410, 14, 14), ToLinear((0.72, 0.72, 0.70)))


def ScreenLight(rng, subject, spec):
    """Linear screen: colour x gradient x vignette x cast shadow (the shadow of the subject, offset)."""
    x, y = Grid()
    g = spec.get("gradient", 0.35)
    ramp = 1.0 + g * ((x / kWidth - 0.5) * 0.8 + (y / kHeight - 0.5) * 0.6)
    r2 = ((x - kWidth / 2) / (kWidth / 2)) ** 2 + ((y - kHeight / 2) / (kHeight / 2)) ** 2
    light = ramp * (1.0 - 0.22 * r2)
    if spec.get("shadow"):
        dx, dy = spec["shadow"]
        shadow = ndimage.gaussian_filter(ndimage.shift(subject.A, (dy, dx), order=1), 14.0)
        light = light * (1.0 - 0.45 * shadow)
    light = light * (1.0 + 0.03 * (Noise(rng, (kHeight, kWidth), 30.0) - 0.5))  # fabric unevenness
    return ToLinear(spec["screen"])[None, None, :] * light[:, :, None]


def Spill(subject, screen, strength, decay):
    """Screen light bounced onto the subject: strongest at its edge, decaying inward (linear light)."""
    inside = ndimage.distance_transform_edt(subject.A > 0.5)
    amount = strength * np.exp(-inside / decay)
    local = ndimage.gaussian_filter(screen, (20, 20, 0))
    return subject.Straight() + amount[:, :, None] * local


def Grain(rng, image, amount):
    """Per-channel grain, about 1.5 px in size, stronger in blue, larger in brighter areas."""
    out = image.copy()
    for c, weight in enumerate((0.8, 0.8, 1.5)):
        n = ndimage.gaussian_filter(rng.standard_normal(image.shape[:2]), 0.7)
        n /= n.std()
        out[:, :, c] += n * amount * weight * (0.35 + np.sqrt(np.clip(image[:, :, c], 0.0, None)))
    return out


def WritePng(path, pixels, bits=8):
    spec = oiio.ImageSpec(kWidth, kHeight, 1 if pixels.ndim == 2 else pixels.shape[2],
                          "uint16" if bits == 16 else "uint8")
    top = 65535.0 if bits == 16 else 255.0
    data = np.round(np.clip(pixels, 0.0, 1.0) * top).astype(np.uint16 if bits == 16 else np.uint8)
    data = data.reshape(kHeight, kWidth, -1)  # OpenImageIO misreads a two-dimensional array's rows
    out = oiio.ImageOutput.create(path)
    if out is None or not out.open(path, spec) or not out.write_image(data):
        sys.exit(f"{path}: cannot write: {oiio.geterror()}")
    out.close()


def ThroughH264(path, crf):
    """Encodes an 8-bit PNG as H.264 4:2:0 (libx264) and decodes it back over the same file."""
    with tempfile.TemporaryDirectory() as tmp:
        movie, frame = os.path.join(tmp, "plate.mp4"), os.path.join(tmp, "plate.png")
        quiet = ["ffmpeg", "-v", "error", "-y"]
        subprocess.run(quiet + ["-i", path, "-c:v", "libx264", "-preset", "medium", "-crf", str(crf),
                                "-pix_fmt", "yuv420p", "-threads", "1", movie], check=True)
        subprocess.run(quiet + ["-i", movie, "-frames:v", "1", "-pix_fmt", "rgb24", frame], check=True)
        os.replace(frame, path)


def ReadPng(path):
    inp = oiio.ImageInput.open(path)
    px = inp.read_image(0, 0, 0, 3, "float")
    inp.close()
    return np.asarray(px, dtype=np.float64).reshape(kHeight, kWidth, 3)


PLATES = [
    dict(name="fur_green", seed=11, screen=(0.22, 0.62, 0.26), shadow=(18, 14), build="fur",
         note="fur mass (cream/brown, grey patch, red collar) over green; gradient, vignette, cast shadow"),
    dict(name="fur_blue", seed=11, screen=(0.10, 0.20, 0.62), shadow=None, build="fur", gradient=0.45,
         note="the same fur over blue; gradient and vignette, grain strongest in blue"),
    dict(name="hair_teal", seed=23, screen=(0.14, 0.55, 0.46), shadow=(-16, 10), build="hair_limb",
         clothing=((0.85, 0.35, 0.08), (0.6, 0.18, 0.05)), skin=((0.87, 0.66, 0.53), (0.76, 0.52, 0.40)),
         hair=((0.10, 0.07, 0.05), (0.22, 0.15, 0.10)),
         note="dark hair with flyaways, orange top, skin, a horizontally motion-blurred arm over teal"),
    dict(name="defocus_yellowgreen", seed=31, screen=(0.74, 0.80, 0.16), shadow=None, build="defocus",
         clothing=((0.12, 0.12, 0.14), (0.22, 0.22, 0.25)), skin=((0.80, 0.60, 0.50), (0.70, 0.50, 0.42)),
         hair=((0.62, 0.62, 0.58), (0.78, 0.78, 0.72)), collar=(0.52, 0.55, 0.30),
         note="grey hair and an olive collar (near the screen's hue), dark sweater, all defocused, yellow-green"),
    dict(name="hair_green_h264", seed=47, screen=(0.24, 0.64, 0.30), shadow=(12, 12), build="hair",
         clothing=((0.15, 0.25, 0.75), (0.08, 0.12, 0.45)), skin=((0.55, 0.38, 0.28), (0.45, 0.30, 0.22)),
         hair=((0.85, 0.72, 0.45), (0.95, 0.85, 0.62)), h264=True, reach=34.0, flyaways=120,
         note="light blond hair, blue shirt, darker skin over green, through H.264 4:2:0 (crf 14)"),
    dict(name="spill_green", seed=59, screen=(0.05, 0.76, 0.10), shadow=(20, 16), build="hair",
         clothing=((0.90, 0.90, 0.88), (0.70, 0.70, 0.72)), skin=((0.93, 0.75, 0.65), (0.85, 0.65, 0.55)),
         hair=((0.80, 0.62, 0.38), (0.55, 0.38, 0.22)), spill=(0.55, 14.0), collar=(0.55, 0.10, 0.55),
         note="pure green screen with strong spill on white shirt, light hair and skin; purple collar"),
]


def BuildSubject(rng, spec):
    subject = Subject()
    if spec["build"] == "fur":
        FurBall(rng, subject)
        return subject
    Figure(rng, subject, spec)
    if spec["build"] == "hair_limb":
        arm = Subject()
        arm.Over(Capsule(470, 400, 600, 300, 22), Tinted(rng, *spec["skin"], scale=20.0))
        arm.Over(Ellipse(610, 290, 30, 26), Tinted(rng, *spec["skin"], scale=20.0))
        arm.Blur(np.full((1, 41), 1.0 / 41))
        alpha = arm.A
        subject.Over(alpha, arm.Straight())
    if spec["build"] == "defocus":
        y, x = np.mgrid[-6:7, -6:7]
        disk = (np.hypot(x, y) <= 5.5).astype(np.float64)
        subject.Blur(disk / disk.sum())
    return subject


def MakePlate(outdir, spec):
    rng = np.random.default_rng(spec["seed"])
    subject = BuildSubject(rng, spec)
    rng = np.random.default_rng(spec["seed"] * 1000 + len(spec["name"]))  # the screen's own stream
    screen = ScreenLight(rng, subject, spec)
    dry = subject.Straight()
    strength, decay = spec.get("spill", (0.18, 6.0))
    fg = Spill(subject, screen, strength, decay)
    a = subject.A[:, :, None]
    plate = fg * a + screen * (1.0 - a)
    name = os.path.join(outdir, spec["name"])
    WritePng(name + ".png", ToSrgb(Grain(rng, plate, kGrain)))
    WritePng(name + "_clean.png", ToSrgb(Grain(rng, screen, kGrain)))
    if spec.get("h264"):
        ThroughH264(name + ".png", 14)
        ThroughH264(name + "_clean.png", 14)
    WritePng(name + "_alpha.png", subject.A, bits=16)
    WritePng(name + "_fg.png", ToSrgb(fg) * (a > 0))
    WritePng(name + "_fg_dry.png", ToSrgb(dry) * (a > 0))
    stored = ReadPng(name + ".png")[subject.A == 0.0].mean(axis=0)
    return {"name": spec["name"], "screen": [round(float(v), 4) for v in stored], "note": spec["note"],
            "soft_px": int(((subject.A > 0.0) & (subject.A < 1.0)).sum())}


def main(argv):
    if len(argv) < 2 or argv[1].startswith("-"):
        sys.exit(__doc__)
    outdir = argv[1]
    only = argv[argv.index("--only") + 1].split(",") if "--only" in argv else None
    os.makedirs(outdir, exist_ok=True)
    listing = []
    for spec in PLATES:
        if only and spec["name"] not in only:
            continue
        listing.append(MakePlate(outdir, spec))
        print(f"{spec['name']}: screen {listing[-1]['screen']}, {listing[-1]['soft_px']} soft pixels")
    with open(os.path.join(outdir, "plates.json"), "w") as f:
        json.dump({"plates": listing}, f, indent=1)


if __name__ == "__main__":
    main(sys.argv)
