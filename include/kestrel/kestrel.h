// Kestrel: the client of the machine-vision server of a wafer-dicing machine.
//
// One `Kestrel` object talks to one vision server. Every command operation is
// one request line sent to the server, one bounded wait for its one reply
// line, a verdict on that reply and the conversion of its fields into the
// caller's outputs. Every operation returns true on success; on failure it
// prints a red console line and, when the protocol itself failed (no reply,
// a foreign command head, "NG", an unknown reply type), leaves a text for
// Kestrel_GetErrorString. Nothing is thrown, except an allocation failure
// while a client is constructed.
//
// Waits: a command waits for its reply in reads of at most the client's
// timeout each; every unsuccessful read counts 5000 ms against the timeout
// (one read with the initial 5000 ms or with 1000 ms, two with 10000 ms),
// or against 60000 ms (twelve reads) when the request contains "AutoFocus".
// Between reads the owning procedure's abort flags end the wait at once.
//
// Requests: a request may be at most 10237 characters long. An operation
// whose arguments (a long colour list, a long point list, long texts) would
// make it longer sends nothing: it prints a red line and leaves an error text
// that names the refused request's length. A request cut at the buffer's end
// would hand the server wrong data.
//
// Replies: a reply is the line "<" content ">" CR LF of at most 10239 bytes;
// a longer line is never taken as a reply (the command fails at once as
// unframed). A reply that holds a NUL byte is taken up to that byte, as every
// text here ends at its first NUL.
//
// Reply fields: a number is written in plain or exponent form with an
// optional sign ("12", "-0.5", "+3.", ".25", "1e-3", "2.5E+07"), nothing
// before or after it; a whole number (a count, an intensity) in decimal
// digits only. Numbers are finite: "nan", "inf" and "infinity" in any case,
// with any sign or NaN payload, are refused, and so is a value too large for
// a double, each with the field's usual red line and the output unchanged; a
// value too small for a double becomes 0 or a denormal. A number field
// longer than 63 characters (a list entry longer than its field) is refused
// as not convertible, with the field's usual red line; the free result text
// of Kestrel_AutoFocus is cut to 511 characters.
//
// Memory: an operation that cannot get the memory it needs (a long list in
// its reply or its request) prints a red line naming it and returns false;
// the host process goes on.
//
// Threads: one client may be used from several threads; its commands are
// served one after the other. Different clients share nothing.
#ifndef KESTREL_KESTREL_H
#define KESTREL_KESTREL_H

#include <string>
#include <vector>

#include "kestrel/export.h"

namespace Corvus {
class Procedure;
}

struct KestrelCore;
namespace kestrel {
struct KestrelCoreAccess;
}

// A 2-D point: X then Y.
struct Point {
  double X = 0.0;
  double Y = 0.0;
};

class KESTREL_API Kestrel {
 public:
  // Builds a client that belongs to no procedure: title "Kestrel", server
  // 127.0.0.1:8000, timeout 5000 ms, not connected.
  Kestrel();
  // Builds a client owned by `procedure` (not null; borrowed, it must outlive
  // the client): title "<procedure name>/Kestrel", and the procedure's abort
  // flags end the client's waits.
  explicit Kestrel(Corvus::Procedure* procedure);
  // Shares the record of `other`, as assignment does.
  Kestrel(const Kestrel& other);
  // Releases the record, its link and its lock.
  ~Kestrel();
  // Makes this client share the record (link, lock, error text) of `other`.
  // The record this client held before is not released. Of the clients that
  // share one record exactly one may be destroyed, and none used after that.
  Kestrel& operator=(const Kestrel& other);

  // ---- Connection -------------------------------------------------------

  // Stores `address` (at most 63 characters kept) and `port`, then connects
  // to the server there; a closed port or an unreachable address fails within
  // a few seconds.
  bool Kestrel_Connect_Port(const char* address, int port);
  // Closes the link to the server.
  bool Kestrel_Disconnect_Port();
  // Closes the link (a failure only printed) and connects again to the stored
  // address and port.
  bool Kestrel_Reconnect_Port();
  // True while the link is connected and the server has not closed its end.
  bool Kestrel_Connect_Status();

  // ---- Wait limit and error text ------------------------------------------

  // Sets the wait limit: 1000 ms for any `ms` below 1000, 10000 ms otherwise.
  void Kestrel_SetTimeout(int ms);
  // The wait limit in milliseconds (5000 until Kestrel_SetTimeout is called).
  int Kestrel_GetTimeout();
  // The text of the last protocol failure (GBK bytes). The pointer stays
  // valid as long as the client; the text it shows changes with the next
  // failure (of any thread using the client) or clear.
  const char* Kestrel_GetErrorString();
  // Empties the error text.
  void Kestrel_ClearErrorString();

  // ---- Camera parameters --------------------------------------------------

  // Sets the gain of a camera ("SetGain").
  bool Kestrel_SetGain(const char* cameraName, double gain);
  // Sets the exposure of a camera ("SetExposure").
  bool Kestrel_SetExposure(const char* cameraName, double exposure);
  // Sets the light intensity of a camera ("SetIntensity").
  bool Kestrel_SetLight(const char* cameraName, int intensity);
  // Adjusts brightness ("AdjustBrightness"): sends textB, textA, number and the
  // flag as 1 or 0.
  bool Kestrel_SetLightAndExposure(const char* textA, const char* textB, int number, bool flag);
  // Reads the gain of a camera ("GetGain").
  bool Kestrel_GetGain(const char* cameraName, double& gain);
  // Reads the exposure of a camera ("GetExposure").
  bool Kestrel_GetExposure(const char* cameraName, double& exposure);
  // Reads the light intensity of a camera ("GetIntensity").
  bool Kestrel_GetLight(const char* cameraName, int& intensity);

  // ---- Acquisition and display --------------------------------------------

  // Starts grabbing images on a camera ("StartGrab").
  bool Kestrel_StartGrab(const char* cameraName);
  // Stops grabbing images on a camera ("StopGrab").
  bool Kestrel_StopGrab(const char* cameraName);
  // Clears the image shown for a camera ("ClearCameraIamge").
  bool Kestrel_ClearCameraIamge(const char* cameraName);
  // Reads the X and Y scale of a camera ("GetScale").
  bool Kestrel_GetCameraScale(const char* cameraName, double& scaleX, double& scaleY);
  // Sets the target (state) colours of a camera ("SetStateColor"): the entries
  // go out as further comma-separated fields.
  bool Kestrel_SetTargetColor(const char* cameraName, std::vector<const char*> colors);
  // Switches the display to a camera ("SwitchToTheCamera").
  bool Kestrel_SwitchToCamera(const char* textA, const char* textB);
  // Shows or hides a camera window control ("CameraWinVisibleControl").
  bool Kestrel_SetCamControlVisiable(const char* textA, const char* textB, bool visible);
  // Shows the cut (base) line of a camera with a width ("ShowBaseLineWidth").
  bool Kestrel_ShowCutLine(const char* cameraName, double width);

  // ---- Auto focus ----------------------------------------------------------

  // Runs an auto-focus cycle on a camera ("AutoFocus") and returns the
  // server's result number and text. The server answers only when the cycle
  // is over, so this call waits up to twelve reads (60000 ms counted).
  // `flag` changes nothing.
  bool Kestrel_AutoFocus(const char* cameraName, int number, double value1, double value2,
                         double value3, double value4, double value5, double& result,
                         std::string& resultText, bool flag);

  // ---- Template matching ----------------------------------------------------

  // Creates a template on the server ("Template_Create"); textB goes out
  // before textA.
  bool Kestrel_Template_Create(const char* textA, const char* textB, const char* textC,
                               int number);
  // Matches up to `requestedCount` instances of a template ("Template_Match")
  // and returns the count and, per match, its centre, angle and score. The
  // three lists are emptied before anything is sent.
  bool Kestrel_MultTemplate_Match(const char* textA, const char* textB, int requestedCount,
                                  const char* textC, Point point, double value, int& matchCount,
                                  std::vector<Point>& centers, std::vector<double>& angles,
                                  std::vector<double>& scores, bool flagA, bool flagB,
                                  const char* textD, double extra1, double extra2,
                                  double extra3);
  // Matches one instance ("Template_Match", count 1) and keeps the match with
  // the best score strictly above 0; false when the server found none.
  bool Kestrel_Template_Match(const char* textA, const char* textB, const char* textC,
                              Point point, double value, Point& center, double& angle,
                              double& score, bool flagA, bool flagB, const char* textD);
  // Matches one small-cell instance ("SmallCellTemMatch") and keeps the first
  // match of the reply; false when the server found none.
  bool Kestrel_Template_Match_SCell(const char* textA, const char* textB, const char* textC,
                                    Point point, double value, Point& center, double& angle,
                                    double& score, bool flagA, bool flagB, const char* textD);

  // ---- Wafer inspection -------------------------------------------------------

  // Asks for points on the wafer edge ("WaferEdge") and checks their number
  // against the count the server announces. ignoredA and ignoredB are not
  // sent.
  bool Kestrel_WaferEdge(const char* textA, const char* textB, Point point, bool flag,
                         int ignoredA, int ignoredB, std::vector<Point>& edgePoints);
  // Measures a cut kerf and its chipping ("KerfCheck") and returns the eight
  // measured values. value17 is not sent.
  bool Kestrel_KerfCheck(const char* textA, const char* textB, const char* textC, double value1,
                         double value2, int number1, double value3, double value4, double value5,
                         int number2, double value6, double value7, double value8, double value9,
                         double value10, double value11, double value12, double value13,
                         double value14, double value15, double value16, double value17,
                         double value18, double& Center, double& KerfWidthWithoutChipp,
                         double& KerfWidthWithChipp, double& CenterChippDistance,
                         double& ChippSizeWidth, double& ChippSizeHeight, double& KerfMeasure7,
                         double& kerfWidthWithChipp2, bool flag, const char* textD);
  // Does nothing and returns true: sends nothing and writes no output.
  bool Kestrel_LGKerfCheck(const char* textA, const char* textB, const char* textC,
                           double value1, double value2, int number1, double value3,
                           double value4, double value5, int number2, double value6,
                           double value7, double value8, double value9, double value10,
                           double value11, double value12, double value13, double value14,
                           double value15, double value16, double value17, double value18,
                           double& Center, double& KerfWidthWithoutChipp,
                           double& KerfWidthWithChipp, double& CenterChippDistance,
                           double& ChippSizeWidth, double& ChippSizeHeight,
                           double& KerfMeasure7, double& kerfWidthWithChipp2, bool flag,
                           const char* textD);
  // Has the server fit a circle through `points` ("FixCircle") and returns its
  // centre and radius.
  bool Kestrel_FixCircle(std::vector<Point> points, Point& center, double& radius);

  // ---- Point conversion ---------------------------------------------------------

  // Converts a camera point into real coordinates ("GetReal").
  bool Kestrel_GetReal(const char* cameraName, Point point, Point& RealPoint);
  // Converts a camera point into ruler coordinates ("GetRuler").
  bool Kestrel_GetRuler(const char* cameraName, Point point, Point& RulerPoint);
  // Computes real coordinates from two camera points ("GetRealByPixelPoint").
  bool Kestrel_GetRealByPixelPoint(const char* cameraName, Point firstPoint, Point secondPoint,
                                   Point& RealPoint);
  // Expresses a point of camera A for camera B ("CovertPointCameraAToB").
  bool Kestrel_GetTargetCamReal(const char* cameraA, const char* cameraB, Point point,
                                Point& res);
  // Computes a further real point from a camera point and two values
  // ("MwCalAnotherPointReal").
  bool Kestrel_MwCalAnotherPointReal(const char* cameraName, Point point, double firstValue,
                                     double secondValue, Point& tarPoint);

  // ---- Rotation and line geometry -------------------------------------------------

  // Reads the rotation centre of a camera ("GetRotateCenter").
  bool Kestrel_GetRotateCenter(const char* cameraName, double& Center_X, double& Center_Y);
  // Reads the angle of the line through two points ("GetLineAngle").
  bool Kestrel_GetLineAngle(Point firstPoint, Point secondPoint, double& Angle);
  // Reads the real position of a point after a rotation, from two points and
  // an angle ("GetPointAfterRotate_Real").
  bool Kestrel_GetPointAfterRotate_Real(Point firstPoint, Point secondPoint, double rotateAngle,
                                        Point& PointAfterRotate);

 private:
  friend struct kestrel::KestrelCoreAccess;
  KestrelCore* core_;
};

#endif  // KESTREL_KESTREL_H
