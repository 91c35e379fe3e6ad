#!/usr/bin/python3
"""Reads what `raystool render` wrote with readers of its own (tifffile, Open3D,
numpy for PFM, json) and prints one JSON object of what it found, for
RenderCommand_test to judge.

usage: render_readback.py OUTDIR STEM CALIBRATION.txt TRUTHDIR FRAME DUMPDIR
  STEM: the frame's name stem ("frame00000_id1000_"); CALIBRATION.txt: the
  sequence's calibration block (key = value); DUMPDIR gets the pixels read
  (raw little-endian) for the test to compare with the engine's.
"""
import json
import os
import sys

import numpy as np
import open3d as o3d
import tifffile


def calibration(path):
    values = {}
    with open(path) as f:
        lines = f.readlines()
    for line in lines:
        if "=" in line and not line.lstrip().startswith("#"):
            key, value = line.split("=", 1)
            values[key.strip()] = value.strip()
    return {k: float(v) for k, v in values.items() if k != "gridType"}


def pfm(path):
    with open(path, "rb") as f:
        assert f.readline().strip() == b"Pf", "not a grey PFM"
        width, height = (int(x) for x in f.readline().split())
        scale = float(f.readline())
        assert scale < 0, "not little-endian"
        data = np.frombuffer(f.read(), dtype="<f4")
    assert data.size == width * height, "PFM holds %d samples, not %d" % (data.size, width * height)
    return np.flipud(data.reshape(height, width))  # stored bottom row first


def png(path):
    return np.asarray(o3d.io.read_image(path))


def main(out, stem, calibration_file, truth_dir, frame, dump):
    c = calibration(calibration_file)
    f, L, B = c["mainFocalLength"], c["mainLensToMla"], c["mlaToSensor"]
    found = {}

    depth = tifffile.imread(os.path.join(out, stem + "depth.tiff"))
    found["depth_dtype"] = str(depth.dtype)
    found["depth_shape"] = list(depth.shape)
    found["depth_finite"] = int(np.isfinite(depth).sum())
    found["depth_nan"] = int(np.isnan(depth).sum())
    # The pictures are turned by 180 degrees; the truth is on the engine's grid.
    unturned = np.rot90(depth, 2)
    truth_v = png(os.path.join(truth_dir, "frame_%05d_vdepth.png" % frame)).astype(np.float64) / 1000.0
    truth_mm = png(os.path.join(truth_dir, "frame_%05d_depth.png" % frame)).astype(np.float64) / 10.0
    textured = png(os.path.join(truth_dir, "frame_%05d_textured.png" % frame)) > 0
    # Back to virtual depth through the thin lens: z = 1 / (1/f - 1/(L + v B)).
    with np.errstate(invalid="ignore", divide="ignore"):
        v = (1.0 / (1.0 / f - 1.0 / unturned.astype(np.float64)) - L) / B
    scored = textured & (truth_v > 0)
    errors = np.abs(v[scored & np.isfinite(v)] - truth_v[scored & np.isfinite(v)]) / truth_v[scored & np.isfinite(v)]
    found["median_virtual_error"] = float(np.sort(errors)[errors.size // 2])
    mm_ok = scored & np.isfinite(unturned) & (truth_mm > 0)
    found["median_mm_error"] = float(np.median(np.abs(unturned[mm_ok] - truth_mm[mm_ok]) / truth_mm[mm_ok]))

    pfm_path = os.path.join(out, stem + "depth.pfm")
    if os.path.exists(pfm_path):
        p = pfm(pfm_path)
        found["pfm_same_as_tiff"] = bool(p.shape == depth.shape and np.array_equal(p, depth, equal_nan=True))

    # Points run over the finite depths of the unturned grid, row by row.
    cloud = o3d.io.read_point_cloud(os.path.join(out, stem + "points.ply"))
    points = np.asarray(cloud.points)
    found["ply_points"] = int(points.shape[0])
    found["ply_has_colours"] = bool(cloud.has_colors())
    rows, cols = np.nonzero(np.isfinite(unturned))
    if points.shape[0] == rows.size:
        scale = c["sensorWidth"] / depth.shape[1]
        # Where each point must lie at the truth's distance: the chief ray through the main lens.
        z_true = truth_mm[rows, cols]
        b_true = 1.0 / (1.0 / f - 1.0 / np.where(z_true > 0, z_true, np.nan))
        x_true = -((cols + 0.5) * scale - c["principalX"]) * c["pixelSize"] * z_true / b_true
        y_true = -((rows + 0.5) * scale - c["principalY"]) * c["pixelSize"] * z_true / b_true
        planes = []
        plane_ids = textured[rows, cols] & (z_true > 0)
        values, counts = np.unique(np.round(z_true[plane_ids]), return_counts=True)
        for distance, count in zip(values, counts):
            if count < 0.01 * depth.size:
                continue
            on = plane_ids & (np.round(z_true) == distance)
            planes.append({
                "distance": float(distance),
                "points": int(on.sum()),
                "z_error": float(np.median(np.abs(points[on, 2] - z_true[on]) / z_true[on])),
                "x_error": float(np.median(np.abs(points[on, 0] - x_true[on]) / z_true[on])),
                "y_error": float(np.median(np.abs(points[on, 1] - y_true[on]) / z_true[on])),
            })
        found["planes"] = planes
        # X to the right and Y down in the turned pictures.
        turned_cols = depth.shape[1] - 1 - cols
        turned_rows = depth.shape[0] - 1 - rows
        found["x_follows_turned_columns"] = float(np.corrcoef(turned_cols, points[:, 0])[0, 1])
        found["y_follows_turned_rows"] = float(np.corrcoef(turned_rows, points[:, 1])[0, 1])

    focus = png(os.path.join(out, stem + "focus.png"))
    found["focus_dtype"] = str(focus.dtype)
    found["focus_shape"] = list(focus.shape)
    np.ascontiguousarray(focus, dtype="<u2").tofile(os.path.join(dump, "focus.u16"))
    np.ascontiguousarray(depth, dtype="<f4").tofile(os.path.join(dump, "depth.f32"))

    picture = png(os.path.join(out, stem + "depth-picture.png"))
    found["picture_shape"] = list(picture.shape)

    refocus = sorted(n for n in os.listdir(out) if n.startswith(stem + "refocus-") and n.endswith(".tiff"))
    found["refocus"] = []
    for name in refocus:
        image = tifffile.imread(os.path.join(out, name))
        found["refocus"].append({"name": name, "dtype": str(image.dtype), "max": int(image.max())})

    found["sidecars"] = {}
    for name in sorted(os.listdir(out)):
        if name.startswith(stem) and name.endswith(".json"):
            with open(os.path.join(out, name)) as s:
                found["sidecars"][name] = json.load(s)
    for key, value in flatten("", found):
        print(key, value)


def flatten(prefix, value):
    """Nested values as "a.b.0.c value" lines, which the C++ test reads without a JSON parser."""
    if isinstance(value, dict):
        for k, v in value.items():
            yield from flatten(prefix + str(k) + ".", v)
    elif isinstance(value, list) and not all(isinstance(v, (int, float)) for v in value):
        for i, v in enumerate(value):
            yield from flatten(prefix + str(i) + ".", v)
    else:
        yield prefix[:-1], " ".join(str(v) for v in value) if isinstance(value, list) else json.dumps(value)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2], sys.argv[3], sys.argv[4], int(sys.argv[5]), sys.argv[6])
