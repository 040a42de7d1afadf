"""The Python reader against takes the recorder wrote and hand-made files."""

import json
import os
import shutil
import struct
import warnings

import numpy as np
import pytest

import kestrova
from conftest import run, tool

DEFAULT_SETTINGS = (
    b"TIME: Mon Dec 07 00:00:42 2026\r\n \r\n"
    b"CAL: 0.001200 \r\nCAM: 1 0 0 0 \r\n"
    b"ROI: -29.000000 26.000000 -41.000000 -4.000000 -22.000000 13.000000 \r\n"
    b"RESOLUTION: 100.000000 \r\n"
    b"CAM1: 3.000000 0.000000 -70.000000 17.000000 -2.000000 -2.000000 255 255 0 15.000000 \r\n"
    b"CAM2: 78.500000 1.000000 -4.500000 16.000000 -90.000000 0.000000 0 255 0 15.000000 \r\n"
    b"CAM3: -85.500000 1.000000 -9.500000 14.500000 90.000000 0.000000 0 255 255 15.000000 \r\n"
    b"CAM4: -5.000000 0.000000 65.500000 15.000000 179.000000 1.000000 0 0 255 15.000000 \r\n")


def record(points):
    data = struct.pack("<i", len(points))
    for p in points:
        data += struct.pack("<3f", *p)
    return data


def make_take(directory, cameras, settings=DEFAULT_SETTINGS):
    """cameras: {n: [(frame, high, low, points), ...]}; enables exactly those."""
    enabled = " ".join("1" if n in cameras else "0" for n in range(1, 5)).encode()
    settings = settings.replace(b"CAM: 1 0 0 0", b"CAM: " + enabled)
    (directory / "RECPARAM.txt").write_bytes(settings)
    for n, frames in cameras.items():
        (directory / f"TS{n}.txt").write_bytes(
            b"".join(b"%d %d %d \r\n" % (f, h, l) for f, h, l, _ in frames))
        (directory / f"PCL{n}.dat").write_bytes(b"".join(record(p) for *_, p in frames))
    return str(directory)


# --- takes written by the recorder


def test_recorded_take_matches_the_take_tool(recorded_take):
    info = run([tool("kestrova-take"), "info", recorded_take, "--json"])
    assert info.returncode == 0, info.stderr
    report = json.loads(info.stdout)
    take = kestrova.open_take(recorded_take)
    assert take.cameras == [c["number"] for c in report["cameras"]] == [1, 2, 3, 4]
    assert take.calibration == pytest.approx(report["calibration"], rel=1e-6)
    assert take.settings.resolution == pytest.approx(report["resolution"], rel=1e-6)
    roi = report["roi"]
    assert take.settings.roi == pytest.approx(
        (roi["xMin"], roi["xMax"], roi["yMin"], roi["yMax"], roi["zMin"], roi["zMax"]), rel=1e-6)
    for camera in report["cameras"]:
        n = camera["number"]
        counts = take.point_counts(n)
        assert len(take.frame_numbers(n)) == camera["frames"] == 20
        assert (counts.min(), counts.max()) == (camera["points"]["min"], camera["points"]["max"])
        assert counts.mean() == pytest.approx(camera["points"]["mean"], rel=1e-5)
        (x, y, z), (rx, ry, rz) = take.poses[n]
        pose = camera["pose"]
        assert (x, y, z, rx, ry, rz) == pytest.approx(
            (pose["x"], pose["y"], pose["z"], pose["rx"], pose["ry"], pose["rz"]), rel=1e-6)
        assert list(take.settings.cameras[n - 1].colour) == camera["colour"]
        stamps = take.time_stamps(n)
        assert np.all(np.diff(stamps) > 0)
        assert camera["durationSeconds"] == pytest.approx((stamps[-1] - stamps[0]) / 1000, abs=1e-3)


def test_recorded_points_equal_the_export_read_by_open3d(recorded_take, tmp_path):
    open3d = pytest.importorskip("open3d")
    done = run([tool("kestrova-take"), "export", recorded_take, "--to", str(tmp_path),
                "--units", "cm", "--format", "pcd", "--frames", "5:6"])
    assert done.returncode == 0, done.stderr
    take = kestrova.open_take(recorded_take)
    for n in take.cameras:
        for frame in (5, 6):
            cloud = open3d.io.read_point_cloud(str(tmp_path / f"frame{frame:06d}_cam{n}.pcd"))
            ours = take.points(n, frame, units="cm")
            assert ours.dtype == np.float32 and ours.shape == (len(cloud.points), 3)
            np.testing.assert_array_equal(np.asarray(cloud.points, dtype=np.float32), ours)
            mine = take.to_open3d(n, frame, units="cm")
            np.testing.assert_array_equal(np.asarray(mine.colors[0]) * 255,
                                          take.settings.cameras[n - 1].colour)


def test_merged_export_says_what_it_holds(recorded_take, tmp_path):
    open3d = pytest.importorskip("open3d")
    done = run([tool("kestrova-take"), "export", recorded_take, "--to", str(tmp_path), "--merge",
                "--format", "ply", "--units", "pcl", "--frames", "4:5"])
    assert done.returncode == 0, done.stderr
    take = kestrova.open_take(recorded_take)
    manifest = json.loads((tmp_path / "export.json").read_text())
    assert manifest["units"] == "pcl" and manifest["merged"] is True
    assert manifest["calibration"] == pytest.approx(take.calibration, rel=1e-6)
    assert [c["number"] for c in manifest["cameras"]] == take.cameras
    table = take.time_table()
    assert [(f["number"], f["takeTimeMs"]) for f in manifest["frames"]] == [
        (4, pytest.approx(table[4, 1], abs=0.0006)), (5, pytest.approx(table[5, 1], abs=0.0006))]
    cloud = open3d.io.read_point_cloud(str(tmp_path / manifest["frames"][0]["files"][0]))
    ours = np.concatenate([take.points(n, 4) for n in take.cameras])
    np.testing.assert_array_equal(np.asarray(cloud.points, dtype=np.float32), ours)


def test_frames_iterate_across_cameras_by_number(recorded_take):
    take = kestrova.open_take(recorded_take)
    frames = list(take.frames())
    assert [f.number for f in frames] == list(range(20))
    assert all(sorted(f.points) == [1, 2, 3, 4] for f in frames)
    np.testing.assert_array_equal(frames[7].points[3], take.points(3, 7))
    assert frames[7].stamps[3] == take.time_stamps(3)[7]


def test_time_table_equals_the_take_tool(recorded_take, tmp_path):
    csv = tmp_path / "times.csv"
    done = run([tool("kestrova-take"), "times", recorded_take, "--csv", str(csv)])
    assert done.returncode == 0, done.stderr
    lines = csv.read_text().splitlines()
    take = kestrova.open_take(recorded_take)
    assert lines[0].split(",") == take.time_table_columns()
    tool_table = np.array([[float(v) if v else np.nan for v in line.split(",")] for line in lines[1:]])
    ours = take.time_table()
    np.testing.assert_allclose(tool_table[:, 1], ours[:, 1], rtol=0, atol=0.0006)  # printed to 0.001 ms
    np.testing.assert_array_equal(np.delete(tool_table, 1, axis=1), np.delete(ours, 1, axis=1))
    # The recorder kept its clock: every camera's frames on it, one moment per cycle.
    for n in take.cameras:
        assert np.nanmax(np.abs(take.host_times(n) - ours[:, 1])) < 1000 / 30 / 2


def test_kept_depth_frames_equal_the_take_tool_export(recorded_take, tmp_path):
    done = run([tool("kestrova-take"), "export", recorded_take, "--depth", "--depth-format", "pgm",
                "--to", str(tmp_path)])
    assert done.returncode == 0, done.stderr
    take = kestrova.open_take(recorded_take)
    for n in take.cameras:
        # The default frame and its lens, as LENS.txt says and the export writes beside the frames.
        focal = 1 / float(np.float32(0.003501))
        assert take.intrinsics(n) == kestrova.Intrinsics(320, 240, focal, focal, 160.0, 120.0)
        exported = json.loads((tmp_path / f"cam{n}" / "intrinsics.json").read_text())
        assert exported == {"width": 320, "height": 240, "intrinsic_matrix": [focal, 0, 0, 0, focal, 0, 160, 120, 1],
                            "depth_scale": 1000}
        np.testing.assert_array_equal(take.depth_frame_numbers(n), take.frame_numbers(n))
        for frame in (0, 7, 19):
            data = (tmp_path / f"cam{n}" / f"frame{frame:06d}.pgm").read_bytes()
            assert data.startswith(b"P5\n320 240\n65535\n")
            millimetres = np.frombuffer(data[-320 * 240 * 2:], dtype=">u2").reshape(240, 320)
            depth = take.depth(n, frame)
            assert depth.shape == (240, 320) and depth.dtype == np.uint16
            np.testing.assert_array_equal(depth >> 3, millimetres)


def test_exported_depth_and_intrinsics_give_open3d_the_takes_own_rays_and_depths(tmp_path):
    """A 640 x 480 take exported with --depth: Open3D's create_from_depth_image
    on the PNG and intrinsics.json gives, pixel for pixel, the rays and the
    millimetre depths of the recorder's conversion through the take's lens.
    Two differences are the recorder's own and left aside: its z is counted
    in 8 mm steps (floor(d / 8) / 1000 PCL units, one unit 8 m), and its y
    grows towards the top row where Open3D's grows downwards."""
    open3d = pytest.importorskip("open3d")
    params = tmp_path / "one.txt"
    params.write_bytes(b"TIME: x\r\n \r\nCAL: 0.00125 \r\nCAM: 1 0 0 0 \r\n")
    take_dir = tmp_path / "take"
    take_dir.mkdir()
    done = run([tool("kestrova-record"), "--sensors", "sim:1,size=640x480", "--fps", "30", "--params",
                str(params), "--out", str(take_dir), "--frames", "3", "--keep-depth"])
    assert done.returncode == 0, done.stderr
    out = tmp_path / "export"
    done = run([tool("kestrova-take"), "export", str(take_dir), "--depth", "--to", str(out)])
    assert done.returncode == 0, done.stderr
    take = kestrova.open_take(str(take_dir))
    lens = take.intrinsics(1)
    # The default lens's field of view at 640 x 480: twice the focal length, the axis at the middle.
    focal = 2 / float(np.float32(0.003501))
    assert lens == kestrova.Intrinsics(640, 480, focal, focal, 320.0, 240.0)
    assert (out / "cam1" / "intrinsics.txt").read_text().splitlines()[1:] == [
        "width 640", "height 480", f"fx {focal!r}", f"fy {focal!r}", "cx 320", "cy 240", "depth_scale 1000"]
    intrinsic = open3d.io.read_pinhole_camera_intrinsic(str(out / "cam1" / "intrinsics.json"))
    assert (intrinsic.width, intrinsic.height) == (640, 480)
    frame = int(take.depth_frame_numbers(1)[-1])
    image = open3d.io.read_image(str(out / "cam1" / f"frame{frame:06d}.png"))
    cloud = open3d.geometry.PointCloud.create_from_depth_image(
        image, intrinsic, depth_scale=1000.0, depth_trunc=100.0, stride=1)
    theirs = np.asarray(cloud.points)  # metres, valid pixels in row order
    depth_mm = (take.depth(1, frame) >> 3).astype(np.float64)
    rows, columns = np.nonzero(depth_mm)
    d = depth_mm[rows, columns]
    assert len(theirs) == len(d) > 100000
    # The recorder's conversion: x = (column - cx) * cu * z, y = (cy - row) * cv * z,
    # with cu = 1 / fx and cv = 1 / fy held as floats; here at z = d millimetres.
    cu = float(np.float32(1 / lens.fx))
    cv = float(np.float32(1 / lens.fy))
    np.testing.assert_allclose(theirs[:, 2] * 1000, d, rtol=0, atol=1e-3)  # Open3D holds metres as floats
    np.testing.assert_allclose(theirs[:, 0] * 1000, (columns - lens.cx) * cu * d, rtol=0, atol=0.1)
    np.testing.assert_allclose(-theirs[:, 1] * 1000, (lens.cy - rows) * cv * d, rtol=0, atol=0.1)


# --- hand-made takes: values worked out by hand


def test_time_stamps_read_the_low_word_unsigned(tmp_path):
    path = make_take(tmp_path, {2: [(0, 0, -1, []), (1, 1, 5, [(1, 2, 3)]), (4, 1, -2, [])]})
    take = kestrova.open_take(path)
    assert take.cameras == [2]
    np.testing.assert_array_equal(take.frame_numbers(2), [0, 1, 4])
    # 0 * 2^32 + 4294967295; 1 * 2^32 + 5; 1 * 2^32 + 4294967294
    np.testing.assert_array_equal(take.time_stamps(2), [4294967295, 4294967301, 8589934590])
    assert take.time_stamps(2).dtype == np.int64


def test_points_in_centimetres_divide_by_the_calibration(tmp_path):
    path = make_take(tmp_path, {1: [(0, 0, 10, [(0.0012, -0.0024, 0.06)])]})
    take = kestrova.open_take(path)
    np.testing.assert_allclose(take.points(1, 0, units="cm"), [[1.0, -2.0, 50.0]], rtol=1e-6)
    assert take.points(1, 0).dtype == np.float32
    with pytest.raises(KeyError):
        take.points(1, 3)
    with pytest.raises(ValueError):
        take.points(1, 0, units="mm")
    assert take.depth(1, 0) is None


def test_pose_matrix_is_translation_then_rz_ry_rx(tmp_path):
    settings = DEFAULT_SETTINGS.replace(
        b"CAM1: 3.000000 0.000000 -70.000000 17.000000 -2.000000 -2.000000",
        b"CAM1: 10.000000 20.000000 30.000000 90.000000 0.000000 90.000000")
    take = kestrova.open_take(make_take(tmp_path, {1: [(0, 0, 0, [])]}, settings))
    m = take.pose_matrix(1, units="cm")
    # Rx(90) sends y to z; Rz(90) then leaves z: (0, 1, 0) -> (0, 0, 1), plus (10, 20, 30).
    np.testing.assert_allclose(m @ [0, 1, 0, 1], [10, 20, 31, 1], atol=1e-12)
    # x: Rx leaves it, Rz(90) sends it to y.
    np.testing.assert_allclose(m @ [1, 0, 0, 1], [10, 21, 30, 1], atol=1e-12)
    np.testing.assert_allclose(take.pose_matrix(1)[:3, 3], np.array([10, 20, 30]) * np.float32(0.0012))


def test_files_of_an_older_take_are_not_cameras_of_this_one(tmp_path):
    path = make_take(tmp_path, {1: [(0, 0, 0, [])]})
    (tmp_path / "TS3.txt").write_bytes(b"0 0 0 \r\n")
    (tmp_path / "PCL3.dat").write_bytes(record([]))
    assert kestrova.open_take(path).cameras == [1]


# --- the settings file


def test_settings_of_the_default_file():
    s = kestrova.parse_settings(DEFAULT_SETTINGS)
    assert s.time == "Mon Dec 07 00:00:42 2026"
    assert s.calibration == np.float32(0.0012)
    assert s.camera_enabled == [1, 0, 0, 0]
    assert s.roi == (-29, 26, -41, -4, -22, 13)
    c = s.cameras[3]
    assert (c.x, c.y, c.z, c.rx, c.ry, c.rz, c.r, c.g, c.b, c.max_depth) == (
        -5, 0, 65.5, 15, 179, 1, 0, 0, 255, 15)


def test_settings_are_read_by_position_like_the_recorder():
    text = (b"anything\n\nX: 0.5\nY: 0 1 1 0\nZ: 1 2 3\nW: 7\n"
            b"CAM1: 1 2 3 4 5 6 300 -1 oops 9\n")
    s = kestrova.parse_settings(text)
    assert s.calibration == 0.5           # labels are skipped unread
    assert s.camera_enabled == [0, 1, 1, 0]
    assert s.roi == (1, 2, 3, -4, -22, 13)  # a short line keeps the rest at the defaults
    assert s.resolution == 7
    c = s.cameras[0]
    assert (c.r, c.g, c.b, c.max_depth) == (300, -1, 0, 15)  # "oops" ends the line
    assert c.colour == (44, 255, 0)
    assert s.cameras[1].x == 78.5          # a missing line yields nothing
    assert kestrova.parse_settings(b"").calibration == np.float32(0.0012)


# --- hostile files: a clear error, never a hang or a huge allocation


def test_a_record_cut_short_names_the_file_and_offset(tmp_path):
    path = make_take(tmp_path, {1: [(0, 0, 0, [(1, 2, 3)]), (1, 0, 33, [(4, 5, 6), (7, 8, 9)])]})
    data = (tmp_path / "PCL1.dat").read_bytes()
    (tmp_path / "PCL1.dat").write_bytes(data[:-5])
    with pytest.raises(kestrova.TakeFormatError) as fault:
        kestrova.open_take(path)
    assert fault.value.file == "PCL1.dat" and fault.value.offset == 16 and fault.value.item == 1
    assert "PCL1.dat: record 1 at byte 16: record cut short" in str(fault.value)
    kept = kestrova.open_take(path, strict=False)  # a crash keeps every whole frame
    np.testing.assert_array_equal(kept.frame_numbers(1), [0])
    assert len(kept.faults) == 1  # as verify: the cut, not the lines it leaves unpaired


def test_a_huge_point_count_is_refused_without_allocating(tmp_path):
    path = make_take(tmp_path, {1: [(0, 0, 0, [])]})
    (tmp_path / "PCL1.dat").write_bytes(struct.pack("<i", 0x7FFFFFFF) + b"\0" * 24)
    with pytest.raises(kestrova.TakeFormatError, match="more than a frame has pixels"):
        kestrova.open_take(path)
    (tmp_path / "PCL1.dat").write_bytes(struct.pack("<i", -3))
    with pytest.raises(kestrova.TakeFormatError, match="negative point count -3"):
        kestrova.open_take(path)


def test_files_that_are_not_regular_are_refused(tmp_path):
    path = make_take(tmp_path, {1: [(0, 0, 0, [])]})
    os.remove(tmp_path / "TS1.txt")
    os.mkfifo(tmp_path / "TS1.txt")  # would block a reader that waits for a writer
    with pytest.raises(kestrova.TakeFormatError, match="TS1.txt: byte 0: not a regular file"):
        kestrova.open_take(path)
    os.remove(tmp_path / "TS1.txt")
    (tmp_path / "TS1.txt").write_bytes(b"0 0 0 \r\n")
    os.remove(tmp_path / "PCL1.dat")
    os.symlink("/dev/zero", tmp_path / "PCL1.dat")  # endless
    with pytest.raises(kestrova.TakeFormatError, match="not a regular file"):
        kestrova.open_take(path)


def test_garbage_time_stamps_and_settings_raise(tmp_path):
    path = make_take(tmp_path, {1: [(0, 0, 0, [])]})
    (tmp_path / "TS1.txt").write_bytes(b"0 0 0 \r\n" + b"7" * 10_000_000)
    with pytest.raises(kestrova.TakeFormatError, match="TS1.txt: line 1 at byte 8: a line longer than 64 bytes"):
        kestrova.open_take(path)
    (tmp_path / "TS1.txt").write_bytes(b"0 0 0 \r\n1 2 \r\n")
    with pytest.raises(kestrova.TakeFormatError, match="not a line of three whole numbers"):
        kestrova.open_take(path)
    (tmp_path / "TS1.txt").write_bytes(b"0 0 0 \r\n")
    (tmp_path / "RECPARAM.txt").write_bytes(b"\x00\x01garbage")
    with pytest.raises(kestrova.TakeFormatError, match="RECPARAM.txt"):
        kestrova.open_take(path)
    (tmp_path / "RECPARAM.txt").write_bytes(b"")
    with pytest.raises(kestrova.TakeFormatError, match="RECPARAM.txt"):
        kestrova.open_take(path)


# --- the time table


def test_time_table_keeps_missed_frames_missing_and_maps_clocks(tmp_path):
    # Camera 2's clock is 6002 ms ahead of camera 1's, and it missed frame 2.
    path = make_take(tmp_path, {
        1: [(0, 0, 1000, []), (1, 0, 1033, []), (2, 0, 1067, []), (3, 0, 1100, []), (4, 0, 1133, [])],
        2: [(0, 0, 7002, []), (1, 0, 7035, []), (3, 0, 7102, []), (4, 0, 7136, [])]})
    take = kestrova.open_take(path)
    table = take.time_table()
    assert take.time_table_columns() == ["frame", "take_time_ms", "cam1_stamp_ms",
                                         "cam1_since_first_ms", "cam2_stamp_ms", "cam2_since_first_ms"]
    np.testing.assert_array_equal(table[:, 0], [0, 1, 2, 3, 4])
    np.testing.assert_array_equal(table[:, 1], [0, 33, 67, 100, 133])  # camera 1 has the most frames
    np.testing.assert_array_equal(table[:, 4], [7002, 7035, np.nan, 7102, 7136])
    np.testing.assert_array_equal(table[:, 5], [0, 33, np.nan, 100, 134])


def test_clock_file_places_frames_between_and_beyond_its_knots(tmp_path):
    path = make_take(tmp_path, {
        1: [(0, 0, 1000, []), (1, 0, 1033, []), (2, 0, 1067, []), (3, 0, 1100, [])],
        2: [(0, 0, 500, []), (1, 0, 533, []), (3, 0, 600, [])]})
    # Camera 1's clock runs 0.1 % slow between its knots at frames 0 and 2;
    # camera 2 has one knot: its stamps count as host milliseconds from it.
    (tmp_path / "CLOCK.txt").write_bytes(b"# Kestrova clock 1: camera frame stamp_ms host_ms\r\n"
                                         b"1 0 1000 0.000\r\n2 0 500 1.500\r\n1 2 1067 67.067\r\n")
    take = kestrova.open_take(path)
    np.testing.assert_allclose(take.host_times(1), [0, 33.033, 67.067, 100.1], atol=1e-9)
    np.testing.assert_allclose(take.host_times(2), [1.5, 34.5, 101.5], atol=1e-9)
    table = take.time_table()
    np.testing.assert_allclose(table[:, 1], [0, 33.033, 67.067, 100.1], atol=1e-9)
    # Without the file the same take is read by its median gaps; a damaged one is a fault.
    (tmp_path / "CLOCK.txt").write_bytes(b"1 0 1000 0.000\r\n1 0 1033 33.0\r\n")
    with pytest.raises(kestrova.TakeFormatError, match="CLOCK.txt: line 1 .*do not rise"):
        kestrova.open_take(path)
    lenient = kestrova.open_take(path, strict=False)
    assert lenient.host_times(1) is None and len(lenient.faults) == 1
    np.testing.assert_array_equal(lenient.time_table()[:, 1], [0, 33, 67, 100])


def test_time_table_fills_a_cycle_the_reference_missed_from_the_others(tmp_path):
    path = make_take(tmp_path, {
        1: [(0, 0, 100, []), (1, 0, 133, []), (3, 0, 200, []), (4, 0, 233, [])],
        2: [(0, 0, 5000, []), (1, 0, 5033, []), (2, 0, 5067, [])],
        3: [(0, 1, 20000, []), (2, 1, 20068, []), (3, 1, 20100, [])]})
    table = kestrova.open_take(path).time_table()
    # Camera 1 (most frames) is the reference. Offsets: camera 2 -4900 (cycles
    # 0, 1); camera 3 -2^32 - 19900 (the median of -19900, -19900, -19900, -19901
    # over its cycles shared with cameras 1 and 2). Cycle 2: the median of
    # 5067 - 4900 = 167 and 20068 - 19900 = 168, less camera 1's first stamp 100.
    np.testing.assert_array_equal(table[:, 1], [0, 33, 67.5, 100, 133])
    np.testing.assert_array_equal(table[:, 2], [100, 133, np.nan, 200, 233])
    np.testing.assert_array_equal(table[:, 7], [0, np.nan, 68, 100, np.nan])


# --- depth frames

DEPTH_SEED = os.path.join(os.path.dirname(__file__), "..", "..", "tests", "fuzz", "seeds", "records",
                          "depth-three-frames")


def write_lens(directory, cameras):
    """LENS.txt for {camera: (width, height)}, a lens of focal length 3 pixels at the middle."""
    (directory / "LENS.txt").write_bytes(b"# lens\r\n" + b"".join(
        b"camera %d width %d height %d fx 3 fy 3 cx %g cy %g\r\n" % (n, w, h, w / 2, h / 2)
        for n, (w, h) in cameras.items()))


def seed_pixels():
    # What the recorder's encoder was given: 4 x 3 pixels, (800 + 7 i) << 3 | (i & 7).
    return np.array([((800 + 7 * i) << 3) | (i & 7) for i in range(12)], dtype=np.uint16).reshape(3, 4)


def test_depth_frames_read_back_exactly(tmp_path):
    path = make_take(tmp_path, {1: [(0, 0, 1000, []), (1, 0, 1033, []), (2, 0, 1066, [])]})
    with open(DEPTH_SEED, "rb") as seed:
        (tmp_path / "DEPTH1.dat").write_bytes(seed.read())
    # Frames of another size than the take's lens file gives are a fault.
    with pytest.raises(kestrova.TakeFormatError, match="DEPTH1.dat: byte 10: frames of 4 x 3, but without "
                       "LENS.txt camera 1 has 320 x 240"):
        kestrova.open_take(path)
    write_lens(tmp_path, {1: (4, 3)})
    take = kestrova.open_take(path)
    assert take.intrinsics(1) == kestrova.Intrinsics(4, 3, 3.0, 3.0, 2.0, 1.5)
    np.testing.assert_array_equal(take.depth_frame_numbers(1), [0, 1, 2])
    depth = take.depth(1, 2)
    assert depth.dtype == np.uint16 and depth.shape == (3, 4)
    np.testing.assert_array_equal(depth, seed_pixels())
    with pytest.raises(KeyError):
        take.depth(1, 5)


def test_damaged_depth_frames_raise_with_their_offset(tmp_path):
    path = make_take(tmp_path, {1: [(0, 0, 1000, []), (1, 0, 1033, []), (2, 0, 1066, [])]})
    write_lens(tmp_path, {1: (4, 3)})
    with open(DEPTH_SEED, "rb") as seed:
        data = seed.read()
    (tmp_path / "DEPTH1.dat").write_bytes(data[:-7])
    with pytest.raises(kestrova.TakeFormatError, match=r"DEPTH1.dat: record 2 at byte \d+: record cut short"):
        kestrova.open_take(path)
    kept = kestrova.open_take(path, strict=False)
    np.testing.assert_array_equal(kept.depth(1, 1), seed_pixels())
    damaged = bytearray(data)
    damaged[40] ^= 0x55
    (tmp_path / "DEPTH1.dat").write_bytes(bytes(damaged))
    with pytest.raises(kestrova.TakeFormatError, match="DEPTH1.dat: record 0 at byte 16"):
        kestrova.open_take(path).depth(1, 0)
    (tmp_path / "DEPTH1.dat").write_bytes(data[:16] + (0).to_bytes(4, "little") + b"\0" * 8
                                          + (2**31).to_bytes(4, "little"))
    with pytest.raises(kestrova.TakeFormatError, match="more than a frame can take"):
        kestrova.open_take(path)


# --- strict opening agrees with `kestrova-take verify`


def _records(path):
    """Where each record of a DEPTHn.dat starts, and the file's size last."""
    data = path.read_bytes()
    at, starts = 16, []
    while at < len(data):
        starts.append(at)
        at += 16 + int.from_bytes(data[at + 12:at + 16], "little")
    return data, starts + [len(data)]


def _shift_frames(take):
    data, at = _records(take / "DEPTH1.dat")
    data = bytearray(data)
    for start in at[:-1]:
        data[start] += 1
    (take / "DEPTH1.dat").write_bytes(bytes(data))


def _duplicate_record(take):
    data, at = _records(take / "DEPTH2.dat")
    (take / "DEPTH2.dat").write_bytes(data[:at[6]] + data[at[5]:at[6]] + data[at[6]:])


def _one_frame_more(take):
    data, at = _records(take / "DEPTH1.dat")
    extra = bytearray(data[at[-2]:])
    extra[0] = 20
    (take / "DEPTH1.dat").write_bytes(data + bytes(extra))


def _damage_pixels(take):
    data, at = _records(take / "DEPTH3.dat")
    data = bytearray(data)
    data[at[7] + 16 + 100] ^= 0x5A
    (take / "DEPTH3.dat").write_bytes(bytes(data))


def _zero_tail(take, megabytes=64):
    with open(take / "DEPTH1.dat", "r+b") as depth:
        depth.truncate(os.path.getsize(take / "DEPTH1.dat") + (megabytes << 20))


def _cut_at_record(take):
    _, at = _records(take / "DEPTH4.dat")
    os.truncate(take / "DEPTH4.dat", at[15])


def _not_finite(take):
    data = bytearray((take / "PCL3.dat").read_bytes())
    data[4:8] = struct.pack("<f", float("nan"))
    (take / "PCL3.dat").write_bytes(bytes(data))


def _enable_only(cameras):
    def change(take):
        settings = (take / "RECPARAM.txt").read_bytes()
        flags = " ".join("1" if n in cameras else "0" for n in range(1, 5)).encode()
        (take / "RECPARAM.txt").write_bytes(settings.replace(b"CAM: 1 1 1 1", b"CAM: " + flags))
    return change


def _edit_lens(old, new):
    def change(take):
        lens = (take / "LENS.txt").read_bytes()
        assert old in lens
        (take / "LENS.txt").write_bytes(lens.replace(old, new))
    return change


def _remove(*names):
    def change(take):
        for name in names:
            os.remove(take / name)
    return change


HOSTILE_TAKES = {
    "sound": lambda take: None,
    "depth frame numbers shifted by one": _shift_frames,
    "a duplicated depth record": _duplicate_record,
    "a depth frame more than the lines": _one_frame_more,
    "damaged depth pixels": _damage_pixels,
    "a zero-filled depth tail": _zero_tail,
    "depth frames cut at a record boundary": _cut_at_record,
    "a coordinate that is not a number": _not_finite,
    "TS1.txt missing": _remove("TS1.txt"),
    "PCL2.dat missing": _remove("PCL2.dat"),
    "RECPARAM.txt missing": _remove("RECPARAM.txt"),
    "files of an older take beside it": _enable_only([1, 2]),
    "settings whose labels are other words": lambda take: (take / "RECPARAM.txt").write_bytes(
        (take / "RECPARAM.txt").read_bytes().replace(b"CAL:", b"SCALE:").replace(b"ROI:", b"BOX")),
    "an enabled camera that had no sensor": _remove("TS4.txt", "PCL4.dat", "DEPTH4.dat"),
    "no lens file (an older take)": _remove("LENS.txt"),
    "a lens file of a later version": _edit_lens(b"cy 120\r\n", b"cy 120 k1 0.01\r\nversion 0.3\r\n"),
    "a lens file giving another size than the depth frames": _edit_lens(
        b"camera 2 width 320 height 240", b"camera 2 width 640 height 480"),
    "a lens file without a camera of the take": _edit_lens(b"camera 3 width", b"# camera 3 width"),
    "a lens value that is not a number": _edit_lens(b"camera 1 width 320 height 240 fx 2", b"camera 1 width 320 height 240 fx x2"),
    "a lens file whose last line is cut short": lambda take: os.truncate(take / "LENS.txt", os.path.getsize(take / "LENS.txt") - 1),
    "a lens file of a camera given twice": _edit_lens(b"camera 4", b"camera 1"),
}


@pytest.mark.parametrize("name", sorted(HOSTILE_TAKES))
def test_strict_opening_agrees_with_verify(recorded_take, tmp_path, name):
    take = tmp_path / "take"
    shutil.copytree(recorded_take, take)
    HOSTILE_TAKES[name](take)
    verify = run([tool("kestrova-take"), "verify", str(take)])
    assert verify.returncode in (0, 1), verify.stderr
    sound = verify.returncode == 0
    try:
        kestrova.open_take(take).close()
        opened = True
    except kestrova.TakeFormatError as fault:
        opened = False
        # verify names the fault that is raised.
        assert str(fault) in verify.stdout, (str(fault), verify.stdout)
    assert opened == sound, verify.stdout
    with warnings.catch_warnings(record=True) as warned:
        warnings.simplefilter("always")
        kept = kestrova.open_take(take, strict=False)
    assert (not kept.faults) == sound, (kept.faults, verify.stdout)
    assert len([w for w in warned if issubclass(w.category, kestrova.TakeWarning)]) == len(kept.faults)


def test_depth_frames_pair_with_their_lines_by_frame_number(recorded_take, tmp_path):
    take = tmp_path / "take"
    shutil.copytree(recorded_take, take)
    _shift_frames(take)
    with pytest.raises(kestrova.TakeFormatError, match=r"DEPTH1.dat: record 0 at byte 16: frame 1 stamp \d+, "
                       r"but line 0 of TS1.txt has frame 0"):
        kestrova.open_take(take)
    with pytest.warns(kestrova.TakeWarning):
        kept = kestrova.open_take(take, strict=False)
    # No depth frame passes for another frame's: camera 1 keeps none.
    assert len(kept.depth_frame_numbers(1)) == 0
    with pytest.raises(KeyError):
        kept.depth(1, 5)
    np.testing.assert_array_equal(kept.depth_frame_numbers(2), np.arange(20))


def test_the_depth_index_is_bounded_by_the_lines_not_the_file(recorded_take, tmp_path):
    take = tmp_path / "take"
    shutil.copytree(recorded_take, take)
    _zero_tail(take, megabytes=1024)  # sparse: 1 GB of zeros after the last frame
    with pytest.warns(kestrova.TakeWarning, match=r"DEPTH1.dat: record 20 at byte \d+: zero bytes"):
        kept = kestrova.open_take(take, strict=False)
    np.testing.assert_array_equal(kept.depth_frame_numbers(1), np.arange(20))
    assert kept.depth(1, 19).shape == (240, 320)


def test_a_missing_file_of_an_enabled_camera_is_an_error_or_a_warning(recorded_take, tmp_path):
    take = tmp_path / "take"
    shutil.copytree(recorded_take, take)
    os.remove(take / "TS3.txt")
    with pytest.raises(kestrova.TakeFormatError, match="TS3.txt: byte 0: missing"):
        kestrova.open_take(take)
    with pytest.warns(kestrova.TakeWarning, match="TS3.txt: byte 0: missing"):
        kept = kestrova.open_take(take, strict=False)
    assert kept.cameras == [1, 2, 4]


# --- which build wrote a take (VERSION.txt)

VERSION_FILES = [
    ("none", None, None, None),
    ("reprocessed, LF, a later label",
     b"# Kestrova version file 1\nWRITTEN: 0.2\nLENSES: 2\nRECORDED: 0.1+git5.gabcdef0\n",
     ("0.2", "0.1+git5.gabcdef0"), None),
    ("recorded", b"# Kestrova version file 1\r\nWRITTEN: 0.1+git153.g7fe0ffa\r\n", ("0.1+git153.g7fe0ffa", None),
     None),
    ("not printable", b"WRITTEN: 0.1\r\nRECORDED: 0.\x01\r\n", None,
     "VERSION.txt: line 1 at byte 14: a version that is not printable text"),
    ("no WRITTEN: line", b"# Kestrova version file 1\r\n", None, "VERSION.txt: byte 0: no WRITTEN: line"),
    ("cut short", b"# Kestrova version file 1\r\nWRITTEN: 0.1", None,
     "VERSION.txt: line 1 at byte 27: a line cut short"),
    ("too long", b"WRITTEN: " + b"9" * 300 + b"\r\n", None,
     "VERSION.txt: line 0 at byte 0: a line longer than a version"),
]


@pytest.mark.parametrize("what,content,versions,fault", VERSION_FILES, ids=[v[0] for v in VERSION_FILES])
def test_version_file_is_read_as_verify_reads_it(tmp_path, what, content, versions, fault):
    path = make_take(tmp_path, {1: [(0, 0, 1000, [(0.1, 0.2, 0.3)])]})
    if content is not None:
        (tmp_path / "VERSION.txt").write_bytes(content)
    if fault is None:
        take = kestrova.open_take(path)
        assert take.version == (kestrova.take.TakeVersion(*versions) if versions else None)
    else:
        with pytest.raises(kestrova.TakeFormatError) as raised:
            kestrova.open_take(path)
        assert str(raised.value) == fault
        lenient = kestrova.open_take(path, strict=False)
        assert lenient.version is None and [str(f) for f in lenient.faults] == [fault]
    if os.environ.get("KESTROVA_BIN"):
        verify = run([tool("kestrova-take"), "verify", path])
        assert verify.returncode == (0 if fault is None else 1), verify.stdout + verify.stderr
        assert fault is None or fault in verify.stdout + verify.stderr


def test_recorded_take_names_the_recorder_version(recorded_take):
    said = run([tool("kestrova-take"), "--version"])
    assert said.returncode == 0
    take = kestrova.open_take(recorded_take)
    assert said.stdout == f"kestrova-take {take.version.written}\n"
    assert take.version.recorded is None
