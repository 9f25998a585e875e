// Every console line and error text of the library, as the GBK (code page
// 936) bytes that go to the console printer and into the error text, with
// the readable text beside each. Written by scripts/dev/gen_texts.py; a test
// converts every entry back and compares it with its readable form.
#ifndef KESTREL_CORE_TEXTS_H
#define KESTREL_CORE_TEXTS_H

// KESTREL_TEXT(name, gbk bytes, readable UTF-8 text)
#define KESTREL_TEXTS(KESTREL_TEXT) \
  KESTREL_TEXT(kConnectSuccess, "Net %s:%d Connect Success.", "Net %s:%d Connect Success.") \
  KESTREL_TEXT(kConnectError, "Net %s:%d Connect Error.", "Net %s:%d Connect Error.") \
  KESTREL_TEXT(kDisconnectSuccess, "Net %s:%d Disconnect Success.", "Net %s:%d Disconnect Success.") \
  KESTREL_TEXT(kDisconnectError, "Net %s:%d Disconnect Error.", "Net %s:%d Disconnect Error.") \
  KESTREL_TEXT(kDisconnectWarning, "Net %s:%d Disconnect Warning.", "Net %s:%d Disconnect Warning.") \
  KESTREL_TEXT(kSendError, "Net:%s:%d Net_IO_Send Error:%s ", "Net:%s:%d Net_IO_Send Error:%s ") \
  KESTREL_TEXT(kSendSuccess, "Net_IO_Send Success:%s", "Net_IO_Send Success:%s") \
  KESTREL_TEXT(kRecvSuccess, "Net_IO_Recv Success:%s", "Net_IO_Recv Success:%s") \
  KESTREL_TEXT(kRecvUnframed, "Net_IO_Recv Error, Receive[%s],ReadCount:%d", "Net_IO_Recv Error, Receive[%s],ReadCount:%d") \
  KESTREL_TEXT(kRoutineAbort, "%s\xBD\xD3\xCA\xD5\xB5\xBD\xD6\xD0\xD6\xB9\xD0\xC5\xBA\xC5.\xCA\xFD\xBE\xDD\xD6\xD0\xD6\xB9\xBD\xD3\xCA\xD5....", "%s接收到中止信号.数据中止接收....") \
  KESTREL_TEXT(kPlantAbort, "%s\xBD\xD3\xCA\xD5\xB5\xBD\xCF\xB5\xCD\xB3\xD6\xD0\xD6\xB9\xD0\xC5\xBA\xC5.\xCA\xFD\xBE\xDD\xD6\xD0\xD6\xB9\xBD\xD3\xCA\xD5....", "%s接收到系统中止信号.数据中止接收....") \
  KESTREL_TEXT(kRecvReadError, "Net_IO_Recv Read Error ,  Receive[%s]", "Net_IO_Recv Read Error ,  Receive[%s]") \
  KESTREL_TEXT(kWaitAutoFocus, "\xB5\xC8\xB4\xFD\xBD\xD3\xCA\xD5" "AutoFocus\xCD\xEA\xB3\xC9.....\xB3\xAC\xCA\xB1\xCA\xB1\xBC\xE4[%d/%d\xBA\xC1\xC3\xEB]...", "等待接收AutoFocus完成.....超时时间[%d/%d毫秒]...") \
  KESTREL_TEXT(kWaitRequest, "\xB5\xC8\xB4\xFD\xBD\xD3\xCA\xD5%s\xCD\xEA\xB3\xC9.....\xB3\xAC\xCA\xB1\xCA\xB1\xBC\xE4[%d/%d\xBA\xC1\xC3\xEB]...", "等待接收%s完成.....超时时间[%d/%d毫秒]...") \
  KESTREL_TEXT(kCommFailed, "\xCD\xA8\xD1\xB6\xCA\xA7\xB0\xDC!", "通讯失败!") \
  KESTREL_TEXT(kNetFail, "Net:%s:%d fail.", "Net:%s:%d fail.") \
  KESTREL_TEXT(kUnknownHead, "UNKNOWN RECV COMMAND HEAD:%s(%s)[%s]", "UNKNOWN RECV COMMAND HEAD:%s(%s)[%s]") \
  KESTREL_TEXT(kHeadErrorBegin, "\xBD\xD3\xCA\xD5\xD6\xB8\xC1\xEE\xCD\xB7:", "接收指令头:") \
  KESTREL_TEXT(kHeadErrorEnd, "\xCE\xB4\xC5\xFA\xC5\xE4!", "未批配!") \
  KESTREL_TEXT(kErrMessage, "ERRMESSAGE:%s[%s]", "ERRMESSAGE:%s[%s]") \
  KESTREL_TEXT(kUnknownType, "UNKNOWN RECV TYPE:%s(OK/NG)[%s]", "UNKNOWN RECV TYPE:%s(OK/NG)[%s]") \
  KESTREL_TEXT(kTypeErrorBegin, "\xBD\xD3\xCA\xD5\xD6\xB8\xC1\xEE\xC0\xE0\xD0\xCD\xCE\xB4\xCA\xB6\xB1\xF0:", "接收指令类型未识别:") \
  KESTREL_TEXT(kTypeErrorEnd, "(OK/NG)!", "(OK/NG)!") \
  KESTREL_TEXT(kRequestTooLong, "Request too long:%d characters (at most %d), not sent[%s]", "Request too long:%d characters (at most %d), not sent[%s]") \
  KESTREL_TEXT(kOutOfMemory, "Out of memory[%s]", "Out of memory[%s]") \
  KESTREL_TEXT(kGainNotDouble, "Gain:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "Gain:%s，不能转换double") \
  KESTREL_TEXT(kExposureNotDouble, "Exposure:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "Exposure:%s，不能转换double") \
  KESTREL_TEXT(kIntensityNotInt, "Intensity:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBBint", "Intensity:%s，不能转换int") \
  KESTREL_TEXT(kScaleXNotDouble, "scaleX:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "scaleX:%s，不能转换double") \
  KESTREL_TEXT(kScaleYNotDouble, "scaleY:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "scaleY:%s，不能转换double") \
  KESTREL_TEXT(kResXNotDouble, "res.X:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "res.X:%s，不能转换double") \
  KESTREL_TEXT(kResYNotDouble, "res.Y:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "res.Y:%s，不能转换double") \
  KESTREL_TEXT(kLengthNotInt, "Length:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBBint", "Length:%s，不能转换int") \
  KESTREL_TEXT(kCenterXNotDouble, "Center.X:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "Center.X:%s，不能转换double") \
  KESTREL_TEXT(kCenterYNotDouble, "Center.Y:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "Center.Y:%s，不能转换double") \
  KESTREL_TEXT(kAngleNotDouble, "Angle:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "Angle:%s，不能转换double") \
  KESTREL_TEXT(kScoresNotDouble, "Scores:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "Scores:%s，不能转换double") \
  KESTREL_TEXT(kEdgeXNotDouble, "edge_point.X:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "edge_point.X:%s，不能转换double") \
  KESTREL_TEXT(kEdgeYNotDouble, "edge_point.Y:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "edge_point.Y:%s，不能转换double") \
  KESTREL_TEXT(kEdgeCountMismatch, "Edges Length:%d\xA3\xAC\xBD\xE2\xCE\xF6\xBA\xF3\xB3\xA4\xB6\xC8:%d \xB2\xBB\xD2\xBB\xD6\xC2.", "Edges Length:%d，解析后长度:%d 不一致.") \
  KESTREL_TEXT(kKerfCenterNotDouble, "Center:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "Center:%s，不能转换double") \
  KESTREL_TEXT(kKerfWidthWithoutChippNotDouble, "KerfWidthWithoutChipp:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "KerfWidthWithoutChipp:%s，不能转换double") \
  KESTREL_TEXT(kKerfWidthWithChippNotDouble, "KerfWidthWithChipp:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "KerfWidthWithChipp:%s，不能转换double") \
  KESTREL_TEXT(kCenterChippDistanceNotDouble, "CenterChippDistance:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "CenterChippDistance:%s，不能转换double") \
  KESTREL_TEXT(kChippSizeWidthNotDouble, "ChippSizeWidth:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "ChippSizeWidth:%s，不能转换double") \
  KESTREL_TEXT(kChippSizeHeightNotDouble, "ChippSizeHeight:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "ChippSizeHeight:%s，不能转换double") \
  KESTREL_TEXT(kKerfMeasure7NotDouble, "KerfMeasure7:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "KerfMeasure7:%s，不能转换double") \
  KESTREL_TEXT(kKerfWidthWithChipp2NotDouble, "kerfWidthWithChipp2:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "kerfWidthWithChipp2:%s，不能转换double") \
  KESTREL_TEXT(kRadiusNotDouble, "Radius:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "Radius:%s，不能转换double") \
  KESTREL_TEXT(kRealPointXNotDouble, "RealPoint.X:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "RealPoint.X:%s，不能转换double") \
  KESTREL_TEXT(kRealPointYNotDouble, "RealPoint.Y:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "RealPoint.Y:%s，不能转换double") \
  KESTREL_TEXT(kRulerPointXNotDouble, "RulerPoint.X:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "RulerPoint.X:%s，不能转换double") \
  KESTREL_TEXT(kRulerPointYNotDouble, "RulerPoint.Y:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "RulerPoint.Y:%s，不能转换double") \
  KESTREL_TEXT(kTarPointXNotDouble, "tarPoint.X:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "tarPoint.X:%s，不能转换double") \
  KESTREL_TEXT(kTarPointYNotDouble, "tarPoint.Y:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "tarPoint.Y:%s，不能转换double") \
  KESTREL_TEXT(kCenterXUnderscoreNotDouble, "Center_X:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "Center_X:%s，不能转换double") \
  KESTREL_TEXT(kCenterYUnderscoreNotDouble, "Center_Y:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "Center_Y:%s，不能转换double") \
  KESTREL_TEXT(kPointAfterRotateXNotDouble, "PointAfterRotate.X:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "PointAfterRotate.X:%s，不能转换double") \
  KESTREL_TEXT(kPointAfterRotateYNotDouble, "PointAfterRotate.Y:%s\xA3\xAC\xB2\xBB\xC4\xDC\xD7\xAA\xBB\xBB" "double", "PointAfterRotate.Y:%s，不能转换double")

namespace kestrel::text {

#define KESTREL_DECLARE_TEXT(name, gbk, readable) inline constexpr char name[] = gbk;
KESTREL_TEXTS(KESTREL_DECLARE_TEXT)
#undef KESTREL_DECLARE_TEXT

struct Entry {
  const char* name;
  const char* gbk;
  const char* readable;  // UTF-8
};

#define KESTREL_LIST_TEXT(name, gbk, readable) Entry{#name, name, readable},
inline constexpr Entry kTable[] = {KESTREL_TEXTS(KESTREL_LIST_TEXT)};
#undef KESTREL_LIST_TEXT

}  // namespace kestrel::text

#endif  // KESTREL_CORE_TEXTS_H
