#!/usr/bin/python3
"""Checks of the edge bench: the plates' files agree with each other, and the scoreboard's FFmpeg
settings and tuning rule do what they say. Run: python3 -m unittest discover -s bench/edge -p 'test_*.py'
"""
import filecmp
import os
import shutil
import sys
import tempfile
import unittest

import numpy as np
import OpenImageIO as oiio

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import make_plates  # noqa: E402
import score_edges  # noqa: E402

kScorer = "/work/shared/tools/score_key.py"
kVeskar = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "build", "bin", "veskar")


def Read(path, kind="float"):
    inp = oiio.ImageInput.open(path)
    spec = inp.spec()
    px = np.asarray(inp.read_image(0, 0, 0, spec.nchannels, kind))
    inp.close()
    return px.reshape(spec.height, spec.width, spec.nchannels)


class Plates(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.dir = tempfile.mkdtemp()
        make_plates.main(["make_plates.py", cls.dir, "--only", "fur_green,spill_green"])

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.dir)

    def File(self, name):
        return os.path.join(self.dir, name)

    def test_alpha_file_holds_the_whole_range(self):
        # The 16-bit truth must reach exact 0 and 65535 and keep a wide soft band; a misread array
        # (rows written out of order) once left it at most 65520 with a staircase pattern.
        for name in ("fur_green", "spill_green"):
            a = Read(self.File(name + "_alpha.png"), "uint16")[:, :, 0]
            self.assertEqual(a.min(), 0, name)
            self.assertEqual(a.max(), 65535, name)
            self.assertGreater(((a > 0) & (a < 65535)).sum(), 5000, name)
            self.assertTrue((a[:, :5] == 0).all(), f"{name}: the left border is screen")

    def test_foreground_and_clean_plate_composite_back_to_the_plate(self):
        # plate = fg * a + screen * (1 - a) in linear light; the clean plate has its own grain, so
        # the two agree within grain and 8-bit rounding, with no bias in the soft band. The dry
        # foreground (before spill) must not fit: that is what the spill is.
        for name in ("fur_green", "spill_green"):
            lin = lambda s: make_plates.ToLinear(Read(self.File(s))[:, :, :3])
            a = Read(self.File(name + "_alpha.png"))[:, :, :1]
            soft = ((a > 0.05) & (a < 0.95))[:, :, 0]
            plate, clean = lin(name + ".png"), lin(name + "_clean.png")
            wet = (lin(name + "_fg.png") * a + clean * (1 - a) - plate)[soft]
            dry = (lin(name + "_fg_dry.png") * a + clean * (1 - a) - plate)[soft]
            self.assertLess(np.abs(wet.mean(axis=0)).max(), 0.004, name)
            self.assertLess(np.abs(wet).mean(), 0.02, name)
            self.assertGreater(np.abs(dry.mean(axis=0)).max(), 0.01, name)

    def test_the_same_command_writes_the_same_files(self):
        again = tempfile.mkdtemp()
        try:
            make_plates.main(["make_plates.py", again, "--only", "fur_green"])
            for suffix in (".png", "_alpha.png", "_clean.png", "_fg.png", "_fg_dry.png"):
                self.assertTrue(filecmp.cmp(self.File("fur_green" + suffix),
                                            os.path.join(again, "fur_green" + suffix), shallow=False), suffix)
        finally:
            shutil.rmtree(again)

    def test_ffmpeg_keyers_key_the_screen_and_keep_the_core(self):
        # The key colour (chromakey) and hue, saturation and value (hsvkey) derived from the
        # screen's stored colour must clear the clean plate and keep the subject's opaque core.
        import json
        with open(self.File("plates.json")) as f:
            screen = {p["name"]: p["screen"] for p in json.load(f)["plates"]}["fur_green"]
        hue, sat, val = score_edges.HsvKeyParams(screen)
        filters = [f"chromakey=color={score_edges.Hex(screen)}:similarity=0.08:blend=0.05",
                   f"hsvkey=hue={hue}:sat={sat}:val={val}:similarity=0.08:blend=0.05"]
        core = Read(self.File("fur_green_alpha.png"))[:, :, 0] == 1.0
        for source in ("fur_green_clean.png", "fur_green.png"):
            outs = [self.File(f"{source}_{i}.png") for i in range(2)]
            score_edges.FfmpegRow(self.File(source), filters, outs)
            for f, out in zip(filters, outs):
                alpha = Read(out)[:, :, 3]
                if source.endswith("_clean.png"):
                    self.assertLess(alpha.mean(), 0.03, f)
                else:
                    # the fur's grey patch sits close to the screen in hsvkey's terms: most, not all
                    self.assertGreater((alpha[core] > 0.5).mean(), 0.9, f)

    @unittest.skipUnless(os.path.exists(kScorer), "score_key.py is not there")
    def test_grid_figures_equal_score_key(self):
        # The grid search reads a cached copy of score_key.py's formulas; it must give its figures.
        score_edges.InitScorer(kScorer)
        truth = self.File("fur_green_alpha.png")
        quick = score_edges.GridScorer(truth)
        settings = ["similarity=0.03:blend=0.0", "similarity=0.08:blend=0.1", "similarity=0.3:blend=0.2"]
        outs = [self.File(f"grid_{i}.png") for i in range(len(settings))]
        score_edges.FfmpegRow(self.File("fur_green.png"), [f"chromakey=color=0x31A03A:{s}" for s in settings], outs)
        for out in outs:
            full = score_edges.Score(out, truth, [0.2, 0.6, 0.2])
            self.assertEqual(quick(out), {k: full[k] for k in ("iou", "leak_px", "holes_px", "edge_mae")}, out)


class Tuning(unittest.TestCase):
    def test_choose_keeps_low_edge_error_among_near_best_iou_without_a_veil(self):
        r = lambda iou, edge, leak=0, holes=0: dict(iou=iou, edge_mae=edge, leak_px=leak, holes_px=holes)
        veil = r(0.98, 0.05, leak=9000)            # lowest error, but a veil over the backing
        best_iou = r(0.97, 0.20)
        near = r(0.962, 0.10)                      # within 0.01 of the best clean iou: wins
        far = r(0.95, 0.08)                        # lower error, iou too far below
        self.assertIs(score_edges.Choose([veil, best_iou, near, far], binary=False), near)
        # every result veiled: the rule falls back to all of them
        self.assertIs(score_edges.Choose([veil, r(0.90, 0.3, leak=5000)], binary=False), veil)
        # binary truth: best iou, then fewest stray pixels
        a, b = r(0.9, 0.5, leak=10), r(0.9, 0.1, leak=30)
        self.assertIs(score_edges.Choose([b, a], binary=True), a)
        self.assertIsNone(score_edges.Choose([{"error": "x"}], binary=False))

    @unittest.skipUnless(os.access(kVeskar, os.X_OK), "veskar is not built")
    def test_a_failing_variant_is_reported_with_its_exit_code_and_message(self):
        with tempfile.TemporaryDirectory() as tmp:
            plate = os.path.join(tmp, "p.png")
            make_plates.WritePng(plate, np.full((make_plates.kHeight, make_plates.kWidth, 3), 0.5))
            run = score_edges.RunVeskar(kVeskar, plate, "", "--set NoSuchControl=1", os.path.join(tmp, "o.png"))
            self.assertEqual(run["exit"], 2)
            self.assertIn("NoSuchControl", run["error"])
            run = score_edges.RunVeskar(kVeskar, plate, "", "--key-image {clean}", os.path.join(tmp, "o.png"))
            self.assertIsNone(run["exit"])
            self.assertIn("no clean plate", run["error"])


if __name__ == "__main__":
    unittest.main()
