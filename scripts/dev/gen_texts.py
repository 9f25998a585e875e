#!/usr/bin/env python3
"""Writes src/core/texts.h: every console and error text of the library as GBK
byte literals, with the readable text beside each. Run after editing TEXTS."""
import pathlib

NOT_DOUBLE = "，不能转换double"
NOT_INT = "，不能转换int"

TEXTS = [
    # Connection.
    ("kConnectSuccess", "Net %s:%d Connect Success."),
    ("kConnectError", "Net %s:%d Connect Error."),
    ("kDisconnectSuccess", "Net %s:%d Disconnect Success."),
    ("kDisconnectError", "Net %s:%d Disconnect Error."),
    ("kDisconnectWarning", "Net %s:%d Disconnect Warning."),
    # Transaction.
    ("kSendError", "Net:%s:%d Net_IO_Send Error:%s "),
    ("kSendSuccess", "Net_IO_Send Success:%s"),
    ("kRecvSuccess", "Net_IO_Recv Success:%s"),
    ("kRecvUnframed", "Net_IO_Recv Error, Receive[%s],ReadCount:%d"),
    ("kRoutineAbort", "%s接收到中止信号.数据中止接收...."),
    ("kPlantAbort", "%s接收到系统中止信号.数据中止接收...."),
    ("kRecvReadError", "Net_IO_Recv Read Error ,  Receive[%s]"),
    ("kWaitAutoFocus", "等待接收AutoFocus完成.....超时时间[%d/%d毫秒]..."),
    ("kWaitRequest", "等待接收%s完成.....超时时间[%d/%d毫秒]..."),
    # Verdict.
    ("kCommFailed", "通讯失败!"),
    ("kNetFail", "Net:%s:%d fail."),
    ("kUnknownHead", "UNKNOWN RECV COMMAND HEAD:%s(%s)[%s]"),
    ("kHeadErrorBegin", "接收指令头:"),
    ("kHeadErrorEnd", "未批配!"),
    ("kErrMessage", "ERRMESSAGE:%s[%s]"),
    ("kUnknownType", "UNKNOWN RECV TYPE:%s(OK/NG)[%s]"),
    ("kTypeErrorBegin", "接收指令类型未识别:"),
    ("kTypeErrorEnd", "(OK/NG)!"),
    # A request too long for the wire, refused before anything is sent:
    # console line and error text.
    ("kRequestTooLong", "Request too long:%d characters (at most %d), not sent[%s]"),
    # An operation that could not get the memory it needed.
    ("kOutOfMemory", "Out of memory[%s]"),
    # Camera parameters.
    ("kGainNotDouble", "Gain:%s" + NOT_DOUBLE),
    ("kExposureNotDouble", "Exposure:%s" + NOT_DOUBLE),
    ("kIntensityNotInt", "Intensity:%s" + NOT_INT),
    # Acquisition and display.
    ("kScaleXNotDouble", "scaleX:%s" + NOT_DOUBLE),
    ("kScaleYNotDouble", "scaleY:%s" + NOT_DOUBLE),
    # Auto focus and camera-to-camera conversion.
    ("kResXNotDouble", "res.X:%s" + NOT_DOUBLE),
    ("kResYNotDouble", "res.Y:%s" + NOT_DOUBLE),
    # Counted lists.
    ("kLengthNotInt", "Length:%s" + NOT_INT),
    # Template matching and circle fit.
    ("kCenterXNotDouble", "Center.X:%s" + NOT_DOUBLE),
    ("kCenterYNotDouble", "Center.Y:%s" + NOT_DOUBLE),
    ("kAngleNotDouble", "Angle:%s" + NOT_DOUBLE),
    ("kScoresNotDouble", "Scores:%s" + NOT_DOUBLE),
    # Wafer edge.
    ("kEdgeXNotDouble", "edge_point.X:%s" + NOT_DOUBLE),
    ("kEdgeYNotDouble", "edge_point.Y:%s" + NOT_DOUBLE),
    ("kEdgeCountMismatch", "Edges Length:%d，解析后长度:%d 不一致."),
    # Kerf check.
    ("kKerfCenterNotDouble", "Center:%s" + NOT_DOUBLE),
    ("kKerfWidthWithoutChippNotDouble", "KerfWidthWithoutChipp:%s" + NOT_DOUBLE),
    ("kKerfWidthWithChippNotDouble", "KerfWidthWithChipp:%s" + NOT_DOUBLE),
    ("kCenterChippDistanceNotDouble", "CenterChippDistance:%s" + NOT_DOUBLE),
    ("kChippSizeWidthNotDouble", "ChippSizeWidth:%s" + NOT_DOUBLE),
    ("kChippSizeHeightNotDouble", "ChippSizeHeight:%s" + NOT_DOUBLE),
    ("kKerfMeasure7NotDouble", "KerfMeasure7:%s" + NOT_DOUBLE),
    ("kKerfWidthWithChipp2NotDouble", "kerfWidthWithChipp2:%s" + NOT_DOUBLE),
    # Circle fit.
    ("kRadiusNotDouble", "Radius:%s" + NOT_DOUBLE),
    # Point conversion.
    ("kRealPointXNotDouble", "RealPoint.X:%s" + NOT_DOUBLE),
    ("kRealPointYNotDouble", "RealPoint.Y:%s" + NOT_DOUBLE),
    ("kRulerPointXNotDouble", "RulerPoint.X:%s" + NOT_DOUBLE),
    ("kRulerPointYNotDouble", "RulerPoint.Y:%s" + NOT_DOUBLE),
    ("kTarPointXNotDouble", "tarPoint.X:%s" + NOT_DOUBLE),
    ("kTarPointYNotDouble", "tarPoint.Y:%s" + NOT_DOUBLE),
    # Rotation and line geometry.
    ("kCenterXUnderscoreNotDouble", "Center_X:%s" + NOT_DOUBLE),
    ("kCenterYUnderscoreNotDouble", "Center_Y:%s" + NOT_DOUBLE),
    ("kPointAfterRotateXNotDouble", "PointAfterRotate.X:%s" + NOT_DOUBLE),
    ("kPointAfterRotateYNotDouble", "PointAfterRotate.Y:%s" + NOT_DOUBLE),
]

HEX = set("0123456789abcdefABCDEF")


def literal(text: str) -> str:
    out, hexed = [], False
    for b in text.encode("gbk"):
        c = chr(b)
        if b >= 0x80:
            out.append("\\x%02X" % b)
            hexed = True
            continue
        if hexed and c in HEX:
            out.append('" "')  # end the escape before a hex digit
        hexed = False
        out.append({'"': '\\"', "\\": "\\\\"}.get(c, c))
    return '"' + "".join(out) + '"'


def main() -> None:
    lines = [
        "// Every console line and error text of the library, as the GBK (code page",
        "// 936) bytes that go to the console printer and into the error text, with",
        "// the readable text beside each. Written by scripts/dev/gen_texts.py; a test",
        "// converts every entry back and compares it with its readable form.",
        "#ifndef KESTREL_CORE_TEXTS_H",
        "#define KESTREL_CORE_TEXTS_H",
        "",
        "// KESTREL_TEXT(name, gbk bytes, readable UTF-8 text)",
        "#define KESTREL_TEXTS(KESTREL_TEXT) \\",
    ]
    width = max(len(n) for n, _ in TEXTS)
    for name, text in TEXTS:
        lines.append(f"  KESTREL_TEXT({name}, {literal(text)}, \"{text}\") \\")
    lines[-1] = lines[-1][:-2]
    lines += [
        "",
        "namespace kestrel::text {",
        "",
        "#define KESTREL_DECLARE_TEXT(name, gbk, readable) inline constexpr char name[] = gbk;",
        "KESTREL_TEXTS(KESTREL_DECLARE_TEXT)",
        "#undef KESTREL_DECLARE_TEXT",
        "",
        "struct Entry {",
        "  const char* name;",
        "  const char* gbk;",
        "  const char* readable;  // UTF-8",
        "};",
        "",
        "#define KESTREL_LIST_TEXT(name, gbk, readable) Entry{#name, name, readable},",
        "inline constexpr Entry kTable[] = {KESTREL_TEXTS(KESTREL_LIST_TEXT)};",
        "#undef KESTREL_LIST_TEXT",
        "",
        "}  // namespace kestrel::text",
        "",
        "#endif  // KESTREL_CORE_TEXTS_H",
        "",
    ]
    target = pathlib.Path(__file__).resolve().parents[2] / "src/core/texts.h"
    target.write_text("\n".join(lines), encoding="utf-8")


if __name__ == "__main__":
    main()
