#!/usr/bin/python3
"""The edge scoreboard: Veskar variants and FFmpeg's keyers, tuned against the truth, on soft plates.

usage: score_edges.py PLATES_DIR [--variant NAME=ARGS]... [--veskar PATH] [--scorer PATH]
                      [--work DIR] [--json FILE] [--shared [DATA_DIR]] [--only NAME[,NAME...]]
                      [--no-ffmpeg] [--no-hsvkey]

PLATES_DIR is what make_plates.py wrote (plates.json, NAME.png, NAME_alpha.png, NAME_clean.png).
Each variant is one `veskar render NAME.png ARGS -o OUT.png`; `{clean}` in ARGS becomes the plate's
clean plate (`--key-image {clean}`). Without --variant: base='--screen auto'.
FFmpeg's chromakey and hsvkey key the plate with the screen's colour as stored; similarity and
blend are searched on a 12 x 8 grid (hsvkey 8 x 6), and the pair kept is the one with the lowest
edge_mae among those whose iou is within 0.01 of the best iou (on a binary truth: the best iou, then
the fewest leak + holes pixels), counting only results with at most 300 leak and 300 hole pixels
when any has so few.
Every result is an 8-bit straight RGBA PNG, scored with score_key.py (which reads PNG colour as
premultiplied, so each keyer is judged through the same reading). Prints a Markdown table per
plate and writes every figure to --json (default WORK/scores.json; WORK defaults to PLATES_DIR/scores).
--shared adds the real plates in DATA_DIR (default /work/shared/data): the instrument over its
binary mask (iou, leak and holes only) and the yellow-green hair frame (no truth: rim only).
"""
import argparse
import contextlib
import importlib.util
import io
import json
import math
import os
import shlex
import subprocess
import sys
import warnings
from concurrent.futures import ThreadPoolExecutor

import numpy as np
import OpenImageIO as oiio

kHere = os.path.dirname(os.path.abspath(__file__))
kSimilarity = [0.02, 0.04, 0.06, 0.08, 0.10, 0.13, 0.16, 0.20, 0.25, 0.30, 0.38, 0.48]
kBlend = [0.0, 0.02, 0.04, 0.07, 0.10, 0.15, 0.22, 0.30]
kHsvSimilarity = [0.02, 0.04, 0.07, 0.10, 0.14, 0.20, 0.28, 0.40]  # hsvkey: a cheaper 8 x 6 grid
kHsvBlend = [0.0, 0.03, 0.07, 0.12, 0.20, 0.30]
kColumns = ["iou", "leak_px", "holes_px", "edge_mae", "rim"]
kMaxStray = 300  # leak or hole pixels a tuned FFmpeg result may have (0.1 % of 640 x 480)
kFixedFfmpeg = (0.12, 0.08)  # chromakey on a plate with no truth to tune against


def LoadScorer(path):
    spec = importlib.util.spec_from_file_location("score_key", path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


kScorer = {}


def InitScorer(path):
    kScorer["module"] = LoadScorer(path)


def Score(result, truth, screen):
    """score_key.py's figures, run in this process (starting Python per result would dominate)."""
    text = io.StringIO()
    try:
        with contextlib.redirect_stdout(text), warnings.catch_warnings():
            warnings.simplefilter("ignore", RuntimeWarning)  # an empty ring or interior gives rim NaN
            kScorer["module"].main(["score_key.py", result, truth, "--screen", ",".join(map(str, screen))])
    except SystemExit as stop:  # score_key reports a file it cannot read this way
        return {"error": str(stop)}
    figures = json.loads(text.getvalue())
    return {k: (None if isinstance(v, float) and math.isnan(v) else v) for k, v in figures.items()}


class GridScorer:
    """score_key.py's iou, leak_px, holes_px and edge_mae for many results against one truth.

    The same formulas and rounding as score_key.py, with the truth's masks and distances computed
    once: the grid search reads these, then the chosen result is scored by score_key.py itself
    (a test checks that the two agree).
    """

    def __init__(self, truth):
        from scipy import ndimage
        gpx = ReadRgb(truth)
        truth = gpx[:, :, 0] if gpx.shape[2] < 3 else gpx[:, :, :3].mean(axis=2)
        edt = ndimage.distance_transform_edt
        self.truth, self.fg = truth, truth > 0.5
        self.far_bg = edt(~(truth >= 0.02)) > 3
        self.core = edt(truth > 0.98) > 3
        d_in, d_out = edt(self.fg), edt(~self.fg)
        self.band = ((d_in > 0) & (d_in <= 3)) | ((d_out > 0) & (d_out <= 3)) | ((truth > 0.02) & (truth < 0.98))

    def __call__(self, result):
        inp = oiio.ImageInput.open(result)
        if inp is None:
            return {"error": f"{result}: {oiio.geterror()}"}
        spec = inp.spec()
        px = np.asarray(inp.read_image(0, 0, 0, spec.nchannels, "float"), dtype=np.float64)
        inp.close()
        alpha = np.clip(px.reshape(spec.height, spec.width, -1)[:, :, spec.channelnames.index("A")], 0.0, 1.0)
        pred = alpha > 0.5
        union = np.logical_or(self.fg, pred).sum()
        err = np.abs(alpha - self.truth)
        return {"iou": round(float(np.logical_and(self.fg, pred).sum() / union) if union else 1.0, 4),
                "leak_px": int((self.far_bg & (alpha > 0.05)).sum()),
                "holes_px": int((self.core & (alpha < 0.5)).sum()),
                "edge_mae": round(float(err[self.band].mean()), 4)}


def RunVeskar(veskar, plate, clean, args, out):
    if "{clean}" in args and not clean:
        return {"exit": None, "error": "skipped: this plate has no clean plate"}
    words = [w.replace("{clean}", clean) for w in shlex.split(args)]
    run = subprocess.run([veskar, "render", plate, *words, "-o", out], capture_output=True, text=True)
    lines = [l for l in run.stderr.splitlines() if l.strip()]
    if run.returncode != 0:
        return {"exit": run.returncode, "error": lines[-1] if lines else "(no message)"}
    warnings = [l.split("warning:", 1)[1].strip() for l in lines if "warning:" in l]
    return {"exit": 0, "warnings": warnings} if warnings else {"exit": 0}


def Hex(screen):
    return "0x" + "".join(f"{int(round(min(max(c, 0.0), 1.0) * 255)):02X}" for c in screen)


def HsvKeyParams(screen):
    """hsvkey's hue, sat and val of the screen colour, in the filter's own terms (BT.601 limited YUV)."""
    r, g, b = screen
    y = 16.0 + 219.0 * (0.299 * r + 0.587 * g + 0.114 * b)
    u = 224.0 * (-0.168736 * r - 0.331264 * g + 0.5 * b)
    v = 224.0 * (0.5 * r - 0.418688 * g - 0.081312 * b)
    angle = math.degrees(math.atan2(u, v) + math.pi)  # the filter's pixel hue
    hue = (526.0 - angle) % 360.0  # the option the filter maps back onto that angle
    sat = math.sqrt((u * u + v * v) / (127.5 * 127.5 * 2.0))
    return round(hue if hue > 0 else 360.0, 3), round(sat, 5), round(y / 255.0, 5)


def FfmpegRow(plate, filters, outs):
    """One ffmpeg process keying one plate with several filter settings, one PNG each."""
    labels = "".join(f"[s{i}]" for i in range(len(filters)))
    graph = [f"[0:v]format=yuva444p,split={len(filters)}{labels}"]
    graph += [f"[s{i}]{f},format=rgba[o{i}]" for i, f in enumerate(filters)]
    cmd = ["ffmpeg", "-v", "error", "-y", "-threads", "1", "-filter_threads", "1", "-i", plate,
           "-filter_complex", ";".join(graph)]
    for i, out in enumerate(outs):
        cmd += ["-map", f"[o{i}]", "-frames:v", "1", out]
    subprocess.run(cmd, check=True)


def Choose(results, binary):
    """The tuned result: lowest edge_mae within 0.01 of the best iou (binary truth: best iou, fewest errors).

    Only results with at most kMaxStray leak and hole pixels compete, when any has so few: a thin
    veil of alpha over the whole backing lowers edge_mae but is no key a compositor would use.
    """
    ok = [r for r in results if r.get("iou") is not None]
    if not ok:
        return None
    clean = [r for r in ok if r["leak_px"] <= kMaxStray and r["holes_px"] <= kMaxStray]
    ok = clean or ok
    if binary:
        return max(ok, key=lambda r: (r["iou"], -(r["leak_px"] + r["holes_px"])))
    best = max(r["iou"] for r in ok)
    return min((r for r in ok if r["iou"] >= best - 0.01), key=lambda r: r["edge_mae"])


def TuneFfmpeg(kind, plate, truth, screen, work, binary):
    if kind == "chromakey":
        grid = [(s, b) for s in kSimilarity for b in kBlend]
        make = lambda s, b: f"chromakey=color={Hex(screen)}:similarity={s}:blend={b}"
    else:
        hue, sat, val = HsvKeyParams(screen)
        grid = [(s, b) for s in kHsvSimilarity for b in kHsvBlend]
        make = lambda s, b: f"hsvkey=hue={hue}:sat={sat}:val={val}:similarity={s}:blend={b}"
    outs = [os.path.join(work, f"{kind}_{i:03d}.png") for i in range(len(grid))]
    rows = [list(range(i, min(i + 8, len(grid)))) for i in range(0, len(grid), 8)]
    with ThreadPoolExecutor(2) as pool:
        list(pool.map(lambda row: FfmpegRow(plate, [make(*grid[i]) for i in row], [outs[i] for i in row]),
                      rows))
    quick = GridScorer(truth)
    results = [dict(quick(out), params=f"similarity={s} blend={b}", file=out) for (s, b), out in zip(grid, outs)]
    chosen = Choose(results, binary)
    for r in results:
        if r is not chosen:
            os.remove(r["file"])
    if not chosen:
        return None
    final = os.path.join(work, f"{kind}.png")
    os.replace(chosen["file"], final)
    return dict(Score(final, truth, screen), params=chosen["params"], file=final)


def ScorePlate(args, name, plate, truth, clean, screen, binary=False, rim_only=False):
    work = os.path.join(args.work, name)
    os.makedirs(work, exist_ok=True)
    rows = {}
    for vname, vargs in args.variant:
        out = os.path.join(work, f"veskar_{vname}.png")
        run = RunVeskar(args.veskar, plate, clean, vargs, out)
        if run["exit"] == 0:
            run.update(ScoreRimOnly(out, work, screen) if rim_only else Score(out, truth, screen))
        rows[vname] = dict(run, args=vargs)
    kinds = [] if args.no_ffmpeg else ["chromakey"] + ([] if args.no_hsvkey else ["hsvkey"])
    for kind in kinds:
        if rim_only:
            rows[f"ffmpeg {kind}"] = FixedFfmpeg(kind, plate, screen, work)
        else:
            rows[f"ffmpeg {kind}"] = TuneFfmpeg(kind, plate, truth, screen, work, binary) or {}
    if binary:  # a binary mask has no soft band to compare edges with
        for r in rows.values():
            r.pop("edge_mae", None)
            r.pop("sad_k", None)
    return {"screen": screen, "rows": rows}


def FixedFfmpeg(kind, plate, screen, work):
    """An FFmpeg keyer at a fixed setting, for a plate with no truth to tune against."""
    out = os.path.join(work, f"{kind}.png")
    s, b = kFixedFfmpeg
    f = (f"chromakey=color={Hex(screen)}:similarity={s}:blend={b}" if kind == "chromakey" else
         "hsvkey=hue={}:sat={}:val={}:similarity={}:blend={}".format(*HsvKeyParams(screen), s, b))
    FfmpegRow(plate, [f], [out])
    return dict(ScoreRimOnly(out, work, screen), params=f"similarity={s} blend={b} (fixed: no truth)")


def ScoreRimOnly(result, work, screen):
    """rim, and how much of the frame the key kept (so that a rim of a frame keyed away reads as such)."""
    truth, share = SelfTruth(result, work)
    figures = Score(result, truth, screen)
    if "error" in figures:
        return figures
    return {"rim": figures["rim"], "opaque_pct": share}


def SelfTruth(result, work):
    """A stand-in truth for a plate with none: the result's own alpha at 0.5 (only rim is read).

    Returns its path and the percentage of the frame that is opaque."""
    inp = oiio.ImageInput.open(result)
    spec = inp.spec()
    px = np.asarray(inp.read_image(0, 0, 0, spec.nchannels, "float")).reshape(spec.height, spec.width, -1)
    inp.close()
    path = os.path.join(work, "self_truth.png")
    mask = (px[:, :, spec.channelnames.index("A")] > 0.5).astype(np.uint8) * 255
    out = oiio.ImageOutput.create(path)
    out.open(path, oiio.ImageSpec(spec.width, spec.height, 1, "uint8"))
    out.write_image(mask.reshape(spec.height, spec.width, 1))
    out.close()
    return path, round(100.0 * float((mask > 0).mean()), 1)


def ReadRgb(path):
    inp = oiio.ImageInput.open(path)
    if inp is None:
        sys.exit(f"{path}: {oiio.geterror()}")
    spec = inp.spec()
    px = np.asarray(inp.read_image(0, 0, 0, spec.nchannels, "float")).reshape(spec.height, spec.width, -1)
    inp.close()
    return px


def SharedPlates(data):
    """The real plates: (name, plate, truth, clean, screen as stored, binary, rim only)."""
    green = os.path.join(data, "greenscreen")
    inst = os.path.join(green, "semisynth_instrument_green.png")
    seg = os.path.join(green, "semisynth_instrument_green_seg.png")
    hair = os.path.join(green, "mdn_chromakey_yellowgreen_f0060_person_hair.png")
    only = os.path.join(green, "mdn_chromakey_yellowgreen_f1195_screen_only.png")
    plates = []
    if os.path.exists(inst) and os.path.exists(seg):
        backing = ReadRgb(seg)[:, :, 0] < 0.5
        screen = ReadRgb(inst)[:, :, :3][backing].mean(axis=0)
        plates.append(("real_instrument", inst, seg, "", [round(float(c), 4) for c in screen], True, False))
    if os.path.exists(hair) and os.path.exists(only):
        # The screen-only frame is exposed darker than this one, so the colour comes from this
        # frame's own border (the top rows and the sides of its upper half are screen).
        px = ReadRgb(hair)[:, :, :3]
        half = px.shape[0] // 2
        border = np.concatenate([px[:6].reshape(-1, 3), px[:half, :8].reshape(-1, 3), px[:half, -8:].reshape(-1, 3)])
        screen = np.median(border, axis=0)
        plates.append(("real_hair_yellowgreen", hair, None, only, [round(float(c), 4) for c in screen],
                       False, True))
    return plates


def Note(r):
    """A failure's exit code and message; else what the figures need beside them."""
    if r.get("exit"):
        return f"exit {r['exit']}: {r['error']}"
    if "error" in r:
        return r["error"]
    parts = [f"opaque on {r['opaque_pct']}% of the frame"] if "opaque_pct" in r else []
    parts += [f"warning: {w}" for w in r.get("warnings", [])]
    parts += [r["params"]] if r.get("params") else []
    return "; ".join(parts).replace("|", "/")


def Table(name, screen, rows):
    lines = [f"### {name} (screen {', '.join(f'{c:.3f}' for c in screen)})", "",
             "| variant | " + " | ".join(kColumns) + " | note |", "|---" * (len(kColumns) + 2) + "|"]
    for vname, r in rows.items():
        cells = [str(r.get(c, "")) for c in kColumns]
        note = Note(r)
        lines.append(f"| {vname} | " + " | ".join(cells) + f" | {note} |")
    return "\n".join(lines) + "\n"


def ParseArgs(argv):
    p = argparse.ArgumentParser(description=__doc__.split("\n")[0])
    p.add_argument("plates")
    p.add_argument("--variant", action="append", default=[], metavar="NAME=ARGS")
    p.add_argument("--veskar", default=os.path.join(kHere, "..", "..", "build", "bin", "veskar"))
    p.add_argument("--scorer", default="/work/shared/tools/score_key.py")
    p.add_argument("--work")
    p.add_argument("--json")
    p.add_argument("--shared", nargs="?", const="/work/shared/data")
    p.add_argument("--only")
    p.add_argument("--no-ffmpeg", action="store_true")
    p.add_argument("--no-hsvkey", action="store_true")
    args = p.parse_args(argv)
    variants = []
    for v in args.variant or ["base=--screen auto"]:
        if "=" not in v or not v.split("=", 1)[0]:
            p.error(f"--variant {v!r}: expected NAME=ARGS")
        variants.append(tuple(v.split("=", 1)))
    args.variant = variants
    args.work = args.work or os.path.join(args.plates, "scores")
    args.json = args.json or os.path.join(args.work, "scores.json")
    if not os.access(args.veskar, os.X_OK):
        p.error(f"--veskar {args.veskar}: not an executable (build the veskar target first)")
    return args


def main(argv):
    args = ParseArgs(argv)
    InitScorer(args.scorer)
    listing = os.path.join(args.plates, "plates.json")
    try:
        with open(listing) as f:
            plates = json.load(f)["plates"]
    except (OSError, ValueError, KeyError) as e:
        sys.exit(f"{listing}: cannot read the plate list: {e}")
    only = set(args.only.split(",")) if args.only else None
    jobs = [(p["name"], *(os.path.join(args.plates, p["name"] + s) for s in (".png", "_alpha.png", "_clean.png")),
             p["screen"], False, False) for p in plates if not only or p["name"] in only]
    if args.shared:
        jobs += SharedPlates(args.shared)
    board = {}
    for name, plate, truth, clean, screen, binary, rim_only in jobs:
        board[name] = ScorePlate(args, name, plate, truth, clean, screen, binary, rim_only)
        print(Table(name, screen, board[name]["rows"]), flush=True)
    with open(args.json, "w") as f:
        json.dump({"variants": dict(args.variant), "plates": board}, f, indent=1)
    print(f"figures written to {args.json}")


if __name__ == "__main__":
    main(sys.argv[1:])
