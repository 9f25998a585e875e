"""Every command through the binding against kestrel-sim: its call and its result."""

import math

import pytest

import kestrel
from kestrel import CameraScale, Circle, FocusResult, KerfResult, Match, Point

KERF_ARGS = {"camera": "Cam1", "value1": 50.0, "value2": 30.0}  # the rest left to defaults
MATCH_ARGS = ("Cam1", "mark", "region", (10, 20), 0.5, True, False, "td")


def matches_from(first, count):
    """A check: `count` matches near `first`, best score first (0.98)."""

    def check(result):
        matches = result if isinstance(result, list) else [result]
        assert len(matches) == count and all(type(m) is Match for m in matches)
        assert type(matches[0].center) is Point
        assert math.dist(matches[0].center, first) < 1 and matches[0].score == pytest.approx(0.98)
        assert [m.score for m in matches] == sorted((m.score for m in matches), reverse=True)

    return check


def edge_of_radius_100(points):
    assert len(points) == 36 and all(type(p) is Point for p in points)
    assert all(abs(math.hypot(*p) - 100) <= 0.005 + 1e-6 for p in points)


# method, arguments (a tuple, or a dict of keywords), result (a value or a
# check), then a call that shows a setter's effect and its result.
COMMANDS = [
    ("set_gain", ("S1", 2.5), None, ("get_gain", ("S1",), 2.5)),
    ("set_exposure", ("S2", 1234.5), None, ("get_exposure", ("S2",), 1234.5)),
    ("set_light", ("S3", 200), None, ("get_light", ("S3",), 200)),
    # textB goes out first: it is the camera.
    ("set_light_and_exposure", ("txt", "S4", 77, True), None, ("get_light", ("S4",), 77)),
    ("get_gain", ("fresh",), 1.0, None),
    ("get_exposure", ("fresh",), 10000.0, None),
    ("get_light", ("fresh",), 128, None),
    ("start_grab", ("Cam1",), None, None),
    ("stop_grab", ("Cam1",), None, None),
    ("clear_camera_iamge", ("Cam1",), None, None),
    ("get_camera_scale", ("CamR",), CameraScale(0.01, 0.02), None),
    ("set_target_color", ("Cam1", ["red", "绿色", b"blue"]), None, None),
    ("switch_to_camera", ("Win1", "Cam1"), None, None),
    ("set_cam_control_visiable", ("Win1", "Cam1", True), None, None),
    ("show_cut_line", ("Cam1", 0.5), None, None),
    ("auto_focus", ("Cam1", 2, 0.5, 1.5, 0.01, 3.0, 0.0),
     FocusResult(1.0, "focus done on Cam1, 2 passes, step 0.010000"), None),
    ("template_create", ("other", "Cam1", "region", 1), None,
     ("template_match", ("Cam1", "other") + MATCH_ARGS[2:], matches_from((10, 20), 1))),
    ("mult_template_match", ("Cam1", "mark", 3, "region", Point(10, 20), 0.5, True, False, "td",
                             0.0, 0.0, 0.0), matches_from((10, 20), 3), None),
    ("template_match", MATCH_ARGS, matches_from((10, 20), 1), None),
    ("template_match_scell", MATCH_ARGS, matches_from((10, 20), 1), None),
    ("wafer_edge", ("Cam1", "t", (0, 0), True), edge_of_radius_100, None),
    ("kerf_check", KERF_ARGS,
     KerfResult(50.125, 30.25, 35.25, 17.625, 12.5, 5.0, 14.184397, 33.25), None),
    ("lg_kerf_check", KERF_ARGS, None, None),
    ("fix_circle", ([(1, 0), [0, 1], (-1, 0), Point(0, -1)],), Circle(Point(0.0, 0.0), 1.0), None),
    ("get_real", ("CamR", (100, 50)), Point(4.0, -2.0), None),
    ("get_ruler", ("CamR", (100, 50)), Point(1.0, 1.0), None),
    ("get_real_by_pixel_point", ("CamR", (0, 0), (200, 100)), Point(4.0, -2.0), None),
    ("get_target_cam_real", ("CamR", "Cam1", (100, 50)), Point(1600.0, -800.0), None),
    ("mw_cal_another_point_real", ("CamR", (100, 50), 2.0, 90.0), Point(4.0, 0.0), None),
    ("get_rotate_center", ("Cam1",), Point(1024.0, 768.0), None),
    ("get_line_angle", ((0, 0), (1, 1)), 45.0, None),
    ("get_point_after_rotate_real", ((1, 2), (3, 4), 90), Point(5.0, 2.0), None),
]


def check_result(result, expected):
    if callable(expected) and not isinstance(expected, type):
        expected(result)
        return
    assert type(result) is type(expected)
    if isinstance(expected, tuple):
        for got, want in zip(result, expected):
            check_result(got, want)
    elif isinstance(expected, float):
        assert result == pytest.approx(expected, abs=1e-9)
    else:
        assert result == expected


@pytest.mark.parametrize("method,args,expected,effect", COMMANDS, ids=[row[0] for row in COMMANDS])
def test_command(client, method, args, expected, effect):
    call = getattr(client, method)
    check_result(call(**args) if isinstance(args, dict) else call(*args), expected)
    if effect is not None:
        getter, getter_args, value = effect
        check_result(getattr(client, getter)(*getter_args), value)
