"""Writes the docstrings of kestrel.Client's methods as a C++ header.

    python3 docstrings.py OUT.h

writes one macro per method, KESTREL_DOC_get_real, that module.cpp passes to
pybind11: what the method sends, what it returns and what it raises, in
Python's terms. The request is shown as the server receives it.
"""

import sys

# Raised by every command that sends a request.
RAISES = (
    "Raises kestrel.ServerError when the server answers NG, kestrel.TimeoutError when no "
    "reply comes within the timeout, kestrel.AbortedError when an abort flag of the client's "
    "procedure ends the wait, kestrel.NotConnectedError when there is no link, and a "
    "kestrel.ProtocolError subclass for a reply that breaks the protocol "
    "(UnframedReplyError, WrongReplyHeadError, BadReplyTypeError, BadReplyError) or a "
    "request too long to send (RequestTooLongError)."
)
NO_MATCH = " kestrel.CommandError (kind \"no match\") when the server found none."
TEXTS = (
    " Texts go out in GBK (bytes as they are); UnicodeEncodeError or ValueError (a NUL) "
    "before anything is sent."
)

# method: (what it does and sends, what it returns, whether RAISES applies)
METHODS = {
    # ---- Connection, wait limit, error text
    "connect": (
        "Connects to the server at `address` and `port` (the constructor's without arguments) "
        "and keeps them for reconnect(); a closed port or unreachable address fails within a "
        "few seconds.", "Returns None; raises kestrel.ConnectionError when it fails.", False),
    "disconnect": ("Closes the link to the server.",
                   "Raises kestrel.ConnectionError when there is no link to close.", False),
    "reconnect": ("Closes the link and connects again to the address and port given last.",
                  "Raises kestrel.ConnectionError when the connect fails.", False),
    "connected": ("True while the link is up and the server has not closed its end.", "", False),
    "timeout": (
        "The wait limit in milliseconds, an int: 5000 at first; setting it keeps 1000 for any "
        "value below 1000 and 10000 otherwise.",
        "Anything but an int raises TypeError; a value not kept as given warns (UserWarning) "
        "with the one kept.", False),
    "error_text": ("The client's error text after the last failed exchange (any thread's), "
                   "decoded from GBK; \"\" when cleared.", "", False),
    "clear_error": ("Empties the error text.", "", False),
    # ---- Camera parameters
    "set_gain": ("Sets the gain of a camera: sends <SetGain,camera,gain>.", "Returns None.", True),
    "set_exposure": ("Sets the exposure of a camera: sends <SetExposure,camera,exposure>.",
                     "Returns None.", True),
    "set_light": ("Sets the light intensity of a camera: sends <SetIntensity,camera,intensity>.",
                  "Returns None.", True),
    "set_light_and_exposure": (
        "Adjusts brightness: sends <AdjustBrightness,camera,text,intensity,flag>, the camera "
        "first and the flag as 1 or 0.", "Returns None.", True),
    "get_gain": ("Reads the gain of a camera: sends <GetGain,camera>.", "Returns a float.", True),
    "get_exposure": ("Reads the exposure of a camera: sends <GetExposure,camera>.",
                     "Returns a float.", True),
    "get_light": ("Reads the light intensity of a camera: sends <GetIntensity,camera>.",
                  "Returns an int.", True),
    # ---- Acquisition and display
    "start_grab": ("Starts grabbing images on a camera: sends <StartGrab,camera>.",
                   "Returns None.", True),
    "stop_grab": ("Stops grabbing images on a camera: sends <StopGrab,camera>.", "Returns None.",
                  True),
    "clear_camera_iamge": (
        "Clears the image shown for a camera: sends <ClearCameraIamge,camera>. "
        "clear_camera_image is the same method.", "Returns None.", True),
    "get_camera_scale": ("Reads the X and Y scale of a camera: sends <GetScale,camera>.",
                         "Returns CameraScale(x, y).", True),
    "set_target_color": (
        "Sets the target (state) colours of a camera: sends <SetStateColor,camera,colour,...>, "
        "one field per entry of `colors`.", "Returns None.", True),
    "switch_to_camera": ("Shows a camera in a window: sends <SwitchToTheCamera,window,camera>.",
                         "Returns None.", True),
    "set_cam_control_visiable": (
        "Shows or hides the camera control of a window: sends "
        "<CameraWinVisibleControl,window,visible,camera>. set_cam_control_visible is the same "
        "method.", "Returns None.", True),
    "show_cut_line": ("Shows the cut (base) line of a camera: sends "
                      "<ShowBaseLineWidth,camera,width>.", "Returns None.", True),
    # ---- Auto focus
    "auto_focus": (
        "Runs an auto-focus cycle: sends <AutoFocus,camera,number,value1,...,value5> and waits "
        "up to twelve reads (60 s counted) for the server to finish. `flag` is not sent.",
        "Returns FocusResult(result, text), the server's number and text.", True),
    # ---- Template matching
    "template_create": (
        "Creates a template: sends <Template_Create,camera,template,region,number>, the camera "
        "first.", "Returns None.", True),
    "mult_template_match": (
        "Matches up to `requested_count` instances of a template: sends <Template_Match,camera,"
        "template,region,requested_count,x,y,value,extra1,extra2,extra3,flag_a,flag_b,text>.",
        "Returns a list of Match(center, angle, score), as many as the server found.", True),
    "template_match": (
        "Matches one instance of a template: sends <Template_Match,camera,template,region,1,x,y,"
        "value,0,0,0,flag_a,flag_b,text> and keeps the match with the best score above 0.",
        "Returns Match(center, angle, score);" + NO_MATCH, True),
    "template_match_scell": (
        "Matches one small-cell instance: sends <SmallCellTemMatch,camera,template,region,1,x,y,"
        "value,0,0,0,flag_a,flag_b,text> and keeps the first match of the reply.",
        "Returns Match(center, angle, score);" + NO_MATCH, True),
    # ---- Wafer inspection
    "wafer_edge": (
        "Reads points on the wafer edge: sends <WaferEdge,camera,edge,x,y,flag>; ignored_a and "
        "ignored_b are not sent.", "Returns a list of Point, as many as the server announced.",
        True),
    "kerf_check": (
        "Measures a cut kerf and its chipping: sends <KerfCheck,camera,kerf,value1,value2,"
        "number1,value3,value4,value5,number2,value6,...,value16,flag,lane,value18,blade>. "
        "Every argument but the camera defaults to 0, False or \"\".",
        "Returns KerfResult, the eight measured values.", True),
    "lg_kerf_check": (
        "Takes the arguments of kerf_check and does nothing: sends nothing, measures nothing.",
        "Returns None and raises nothing but for a bad argument.", False),
    "fix_circle": (
        "Has the server fit a circle through `points`: sends <FixCircle,count,x1,y1,x2,y2,...>.",
        "Returns Circle(center, radius).", True),
    # ---- Point conversion
    "get_real": ("Converts a camera point into real coordinates: sends <GetReal,camera,x,y>.",
                 "Returns a Point.", True),
    "get_ruler": ("Converts a camera point into ruler coordinates: sends <GetRuler,camera,x,y>.",
                  "Returns a Point.", True),
    "get_real_by_pixel_point": (
        "Computes real coordinates from two camera points: sends "
        "<GetRealByPixelPoint,camera,x1,y1,x2,y2>.", "Returns a Point.", True),
    "get_target_cam_real": (
        "Expresses a point of camera_a for camera_b: sends "
        "<CovertPointCameraAToB,camera_a,camera_b,x,y>.", "Returns a Point.", True),
    "mw_cal_another_point_real": (
        "Computes a further real point from a camera point and two values: sends "
        "<MwCalAnotherPointReal,camera,x,y,first_value,second_value>.", "Returns a Point.", True),
    # ---- Rotation and line geometry
    "get_rotate_center": ("Reads the rotation centre of a camera: sends <GetRotateCenter,camera>.",
                          "Returns a Point.", True),
    "get_line_angle": ("Reads the angle of the line through two points: sends "
                       "<GetLineAngle,x1,y1,x2,y2>.", "Returns the angle in degrees, a float.",
                       True),
    "get_point_after_rotate_real": (
        "Reads the real position of a point after a rotation: sends "
        "<GetPointAfterRotate_Real,x1,y1,x2,y2,rotate_angle>.", "Returns a Point.", True),
}


# The commands that take no text.
NO_TEXT = {"fix_circle", "get_line_angle", "get_point_after_rotate_real"}


def docstring(name, does, returns, raises):
    parts = [does]
    if raises:
        parts.append(returns + ("" if name in NO_TEXT else TEXTS))
        parts.append(RAISES)
    elif returns:
        parts.append(returns)
    return "\n\n".join(parts)


def c_string(text):
    escaped = text.replace("\\", "\\\\").replace('"', '\\"').replace("\n", "\\n")
    return '"' + escaped + '"'


def main(out):
    lines = ["// Generated by python/docstrings.py; do not edit.", "#pragma once"]
    lines += [f"#define KESTREL_DOC_{name} {c_string(docstring(name, *entry))}"
              for name, entry in sorted(METHODS.items())]
    with open(out, "w", encoding="utf-8") as f:
        f.write("\n".join(lines) + "\n")


if __name__ == "__main__":
    main(sys.argv[1])
