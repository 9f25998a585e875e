// Kestrel for .NET: the client of the machine-vision server over the
// library's C interface (kestrel_c.h), in one file that a project adds.
// It loads kestrel.dll on Windows and libkestrel.so elsewhere (Mono).
//
// Every operation takes the C++ class's arguments in the class's order (those
// the class does not send as optional trailing parameters) and returns its
// output: a value, a Point, an array, or a tuple where there are several. A
// failure throws a KestrelException whose Message is the library's error text
// and whose Kind is the failure kind; a subclass names the group (timed out,
// aborted, the server's NG, a protocol error, not connected).
//
// Text goes to the server as GBK (code page 936); on Mono that needs the
// I18N.CJK assembly (Debian: libmono-i18n-cjk4.0-cil). A Client is used by one
// thread at a time, or its calls are guarded by the caller.
using System;
using System.Runtime.InteropServices;
using System.Text;

namespace Kestrel
{
    [StructLayout(LayoutKind.Sequential)]
    public struct Point
    {
        public double X;
        public double Y;

        public Point(double x, double y)
        {
            X = x;
            Y = y;
        }

        public override string ToString() => $"({X}, {Y})";
    }

    // The eight values of a kerf measurement (more than a tuple holds on every compiler).
    public struct KerfResult
    {
        public double Center, KerfWidthWithoutChipp, KerfWidthWithChipp, CenterChippDistance;
        public double ChippSizeWidth, ChippSizeHeight, KerfMeasure7, KerfWidthWithChipp2;

        public KerfResult(double center, double kerfWidthWithoutChipp, double kerfWidthWithChipp,
                          double centerChippDistance, double chippSizeWidth, double chippSizeHeight,
                          double kerfMeasure7, double kerfWidthWithChipp2)
        {
            Center = center;
            KerfWidthWithoutChipp = kerfWidthWithoutChipp;
            KerfWidthWithChipp = kerfWidthWithChipp;
            CenterChippDistance = centerChippDistance;
            ChippSizeWidth = chippSizeWidth;
            ChippSizeHeight = chippSizeHeight;
            KerfMeasure7 = kerfMeasure7;
            KerfWidthWithChipp2 = kerfWidthWithChipp2;
        }
    }

    // The kind of a failure (kestrel_failure).
    public enum Failure
    {
        Ok = 0,
        NotConnected,
        RequestTooLong,
        SendFailed,
        TimedOut,
        Aborted,
        PlantAborted,
        Unframed,
        WrongHead,
        BadType,
        ServerNg,
        BadReply,
        OutOfMemory,
        BadArgument,
    }

    public enum ConsoleColour { Plain = 0, Red = 1, Yellow = 2, Green = 3 }

    public class KestrelException : Exception
    {
        public Failure Kind { get; }

        public KestrelException(string message, Failure kind) : base(message) { Kind = kind; }

        internal static KestrelException For(string message, Failure kind)
        {
            switch (kind)
            {
                case Failure.TimedOut: return new KestrelTimeoutException(message, kind);
                case Failure.Aborted:
                case Failure.PlantAborted: return new KestrelAbortedException(message, kind);
                case Failure.ServerNg: return new KestrelServerException(message, kind);
                case Failure.Unframed:
                case Failure.WrongHead:
                case Failure.BadType:
                case Failure.BadReply: return new KestrelProtocolException(message, kind);
                case Failure.NotConnected: return new KestrelNotConnectedException(message, kind);
                default: return new KestrelException(message, kind);
            }
        }
    }

    // No reply within the wait limit.
    public class KestrelTimeoutException : KestrelException
    {
        public KestrelTimeoutException(string message, Failure kind) : base(message, kind) { }
    }

    // The procedure's abort (Kind Aborted) or the machine-wide abort (PlantAborted).
    public class KestrelAbortedException : KestrelException
    {
        public KestrelAbortedException(string message, Failure kind) : base(message, kind) { }
    }

    // The server answered NG: Message is the server's message.
    public class KestrelServerException : KestrelException
    {
        public KestrelServerException(string message, Failure kind) : base(message, kind) { }
    }

    // A reply that breaks the protocol: unframed, a foreign head, an unknown
    // type, a payload that does not parse (Kind tells which).
    public class KestrelProtocolException : KestrelException
    {
        public KestrelProtocolException(string message, Failure kind) : base(message, kind) { }
    }

    // The client has no link to the server.
    public class KestrelNotConnectedException : KestrelException
    {
        public KestrelNotConnectedException(string message, Failure kind) : base(message, kind) { }
    }

    // One console line of the library.
    public sealed class ConsoleLineEventArgs : EventArgs
    {
        public ConsoleColour Colour { get; }
        public string Title { get; }
        public string Text { get; }

        internal ConsoleLineEventArgs(ConsoleColour colour, string title, string text)
        {
            Colour = colour;
            Title = title;
            Text = text;
        }
    }

    // A machine procedure: clients built with it stop waiting when it aborts.
    public sealed class Procedure : IDisposable
    {
        internal readonly ProcedureHandle Handle;

        public Procedure(string name)
        {
            Handle = Native.kestrel_procedure_new(Gbk.Bytes(name));
            if (Handle.IsInvalid) throw new OutOfMemoryException("kestrel_procedure_new");
        }

        // Raises the procedure's own abort: the waits of its clients end.
        public void Abort() => Native.kestrel_procedure_set_abort(Handle, 1);
        public void ClearAbort() => Native.kestrel_procedure_set_abort(Handle, 0);
        // Raises (true) or lowers the machine-wide abort.
        public void PlantAbort(bool raised) => Native.kestrel_procedure_set_plant_abort(Handle, raised ? 1 : 0);

        public void Dispose() => Handle.Dispose();
    }

    public sealed class Client : IDisposable
    {
        // An edge point takes at least 4 bytes of a reply of at most 10240, a
        // match entry 8: these arrays always hold the whole reply.
        private const int MostEdgePoints = 2560;
        private const int MostMatches = 1280;
        private const int FocusTextSize = 512;

        private readonly ClientHandle handle;
        private readonly Procedure procedure;  // kept alive as long as the client

        // A client of no procedure; title null gives "Kestrel".
        public Client(string title = null)
        {
            handle = Native.kestrel_client_new(Gbk.Bytes(title));
            if (handle.IsInvalid) throw new OutOfMemoryException("kestrel_client_new");
        }

        // A client of `procedure`, whose aborts end its waits.
        public Client(Procedure procedure, string title = null)
        {
            this.procedure = procedure ?? throw new ArgumentNullException(nameof(procedure));
            handle = Native.kestrel_client_new_in(procedure.Handle, Gbk.Bytes(title));
            if (handle.IsInvalid) throw new OutOfMemoryException("kestrel_client_new_in");
        }

        public void Dispose()
        {
            handle.Dispose();
            GC.KeepAlive(procedure);
        }

        public static string Version => Marshal.PtrToStringAnsi(Native.kestrel_version());

        // ---- Errors and console -------------------------------------------------

        public Failure LastFailure => (Failure)Native.kestrel_last_failure(handle);

        public string ErrorText
        {
            get
            {
                var size = Native.kestrel_error_text(handle, null, UIntPtr.Zero);
                var buffer = new byte[(ulong)size + 1];
                Native.kestrel_error_text(handle, buffer, (UIntPtr)buffer.Length);
                return Gbk.Text(buffer, (int)(ulong)size);
            }
        }

        public void ClearError() => Native.kestrel_clear_error(handle);

        private static EventHandler<ConsoleLineEventArgs> consoleLine;
        private static readonly Native.ConsoleSink sink = OnConsoleLine;  // kept alive for the library
        private static readonly object consoleLock = new object();

        // Every console line of the library in this process, on the thread that
        // printed it. While nobody listens, lines go to the console.
        public static event EventHandler<ConsoleLineEventArgs> ConsoleLine
        {
            add
            {
                lock (consoleLock)
                {
                    consoleLine += value;
                    Native.kestrel_set_console_sink(sink, IntPtr.Zero);
                }
            }
            remove
            {
                lock (consoleLock)
                {
                    consoleLine -= value;
                    if (consoleLine == null) Native.kestrel_set_console_sink(null, IntPtr.Zero);
                }
            }
        }

        private static void OnConsoleLine(int colour, IntPtr title, IntPtr text, UIntPtr length, IntPtr user)
        {
            var handler = consoleLine;
            if (handler == null) return;
            try
            {
                var bytes = new byte[(int)(ulong)length];
                Marshal.Copy(text, bytes, 0, bytes.Length);
                handler(null, new ConsoleLineEventArgs((ConsoleColour)colour,
                                                       Gbk.Text(Gbk.FromPointer(title)), Gbk.Text(bytes)));
            }
            catch (Exception)
            {
                // Nothing may cross back into the library.
            }
        }

        private void Check(int ok)
        {
            if (ok == 0) throw KestrelException.For(ErrorText, LastFailure);
        }

        private static int Flag(bool flag) => flag ? 1 : 0;

        // ---- Connection --------------------------------------------------------------

        public void Connect(string address, int port) => Check(Native.kestrel_connect(handle, Gbk.Bytes(address), port));
        public void Disconnect() => Check(Native.kestrel_disconnect(handle));
        public void Reconnect() => Check(Native.kestrel_reconnect(handle));
        public bool Connected => Native.kestrel_connected(handle) != 0;

        // Milliseconds: 1000 for anything below 1000, 10000 otherwise.
        public int Timeout
        {
            get
            {
                Check(Native.kestrel_get_timeout(handle, out var ms));
                return ms;
            }
            set => Check(Native.kestrel_set_timeout(handle, value));
        }

        // ---- Camera parameters -------------------------------------------------------------

        public void SetGain(string camera, double gain) => Check(Native.kestrel_set_gain(handle, Gbk.Bytes(camera), gain));
        public void SetExposure(string camera, double exposure) => Check(Native.kestrel_set_exposure(handle, Gbk.Bytes(camera), exposure));
        public void SetLight(string camera, int intensity) => Check(Native.kestrel_set_light(handle, Gbk.Bytes(camera), intensity));

        public void SetLightAndExposure(string textA, string textB, int number, bool flag) =>
            Check(Native.kestrel_set_light_and_exposure(handle, Gbk.Bytes(textA), Gbk.Bytes(textB), number, Flag(flag)));

        public double GetGain(string camera)
        {
            double value = 0;
            Check(Native.kestrel_get_gain(handle, Gbk.Bytes(camera), ref value));
            return value;
        }

        public double GetExposure(string camera)
        {
            double value = 0;
            Check(Native.kestrel_get_exposure(handle, Gbk.Bytes(camera), ref value));
            return value;
        }

        public int GetLight(string camera)
        {
            int value = 0;
            Check(Native.kestrel_get_light(handle, Gbk.Bytes(camera), ref value));
            return value;
        }

        // ---- Acquisition and display ---------------------------------------------------------

        public void StartGrab(string camera) => Check(Native.kestrel_start_grab(handle, Gbk.Bytes(camera)));
        public void StopGrab(string camera) => Check(Native.kestrel_stop_grab(handle, Gbk.Bytes(camera)));
        public void ClearCameraIamge(string camera) => Check(Native.kestrel_clear_camera_iamge(handle, Gbk.Bytes(camera)));

        public (double ScaleX, double ScaleY) GetCameraScale(string camera)
        {
            double x = 0, y = 0;
            Check(Native.kestrel_get_camera_scale(handle, Gbk.Bytes(camera), ref x, ref y));
            return (x, y);
        }

        public void SetTargetColor(string camera, params string[] colors)
        {
            var texts = new IntPtr[colors.Length];
            try
            {
                for (var i = 0; i < colors.Length; ++i)
                {
                    var bytes = Gbk.Bytes(colors[i] ?? throw new ArgumentNullException(nameof(colors)));
                    texts[i] = Marshal.AllocHGlobal(bytes.Length);
                    Marshal.Copy(bytes, 0, texts[i], bytes.Length);
                }
                Check(Native.kestrel_set_target_color(handle, Gbk.Bytes(camera), texts, (UIntPtr)texts.Length));
            }
            finally
            {
                foreach (var text in texts)
                {
                    if (text != IntPtr.Zero) Marshal.FreeHGlobal(text);
                }
            }
        }

        public void SwitchToCamera(string textA, string textB) =>
            Check(Native.kestrel_switch_to_camera(handle, Gbk.Bytes(textA), Gbk.Bytes(textB)));

        public void SetCamControlVisiable(string textA, string textB, bool visible) =>
            Check(Native.kestrel_set_cam_control_visiable(handle, Gbk.Bytes(textA), Gbk.Bytes(textB), Flag(visible)));

        public void ShowCutLine(string camera, double width) => Check(Native.kestrel_show_cut_line(handle, Gbk.Bytes(camera), width));

        // ---- Auto focus -------------------------------------------------------------------------

        // Waits up to 60000 ms (counted) for the focus cycle. `flag` changes nothing.
        public (double Result, string Text) AutoFocus(string camera, int number, double value1, double value2,
                                                     double value3, double value4, double value5, bool flag = false)
        {
            double result = 0;
            var text = new byte[FocusTextSize];
            Check(Native.kestrel_auto_focus(handle, Gbk.Bytes(camera), number, value1, value2, value3, value4, value5,
                                            Flag(flag), ref result, text, (UIntPtr)text.Length, out var length));
            return (result, Gbk.Text(text, (int)(ulong)length));
        }

        // ---- Template matching ------------------------------------------------------------------

        public void TemplateCreate(string textA, string textB, string textC, int number) =>
            Check(Native.kestrel_template_create(handle, Gbk.Bytes(textA), Gbk.Bytes(textB), Gbk.Bytes(textC), number));

        public (int MatchCount, Point[] Centers, double[] Angles, double[] Scores) MultTemplateMatch(
            string textA, string textB, int requestedCount, string textC, Point point, double value, bool flagA,
            bool flagB, string textD, double extra1 = 0, double extra2 = 0, double extra3 = 0)
        {
            var centers = new Point[MostMatches];
            var angles = new double[MostMatches];
            var scores = new double[MostMatches];
            int matchCount = 0;
            Check(Native.kestrel_mult_template_match(handle, Gbk.Bytes(textA), Gbk.Bytes(textB), requestedCount,
                                                     Gbk.Bytes(textC), point, value, Flag(flagA), Flag(flagB),
                                                     Gbk.Bytes(textD), extra1, extra2, extra3, ref matchCount, centers,
                                                     angles, scores, (UIntPtr)MostMatches, out var count));
            var n = (int)(ulong)count;
            Array.Resize(ref centers, n);
            Array.Resize(ref angles, n);
            Array.Resize(ref scores, n);
            return (matchCount, centers, angles, scores);
        }

        // Found is false when the server found no match (no exception then).
        public (bool Found, Point Center, double Angle, double Score) TemplateMatch(
            string textA, string textB, string textC, Point point, double value, bool flagA, bool flagB, string textD)
        {
            var center = new Point();
            double angle = 0, score = 0;
            var ok = Native.kestrel_template_match(handle, Gbk.Bytes(textA), Gbk.Bytes(textB), Gbk.Bytes(textC), point,
                                                   value, Flag(flagA), Flag(flagB), Gbk.Bytes(textD), ref center,
                                                   ref angle, ref score);
            if (ok == 0 && LastFailure == Failure.Ok) return (false, center, angle, score);
            Check(ok);
            return (true, center, angle, score);
        }

        public (bool Found, Point Center, double Angle, double Score) TemplateMatchSCell(
            string textA, string textB, string textC, Point point, double value, bool flagA, bool flagB, string textD)
        {
            var center = new Point();
            double angle = 0, score = 0;
            var ok = Native.kestrel_template_match_scell(handle, Gbk.Bytes(textA), Gbk.Bytes(textB), Gbk.Bytes(textC),
                                                         point, value, Flag(flagA), Flag(flagB), Gbk.Bytes(textD),
                                                         ref center, ref angle, ref score);
            if (ok == 0 && LastFailure == Failure.Ok) return (false, center, angle, score);
            Check(ok);
            return (true, center, angle, score);
        }

        // ---- Wafer inspection -------------------------------------------------------------------

        public Point[] WaferEdge(string textA, string textB, Point point, bool flag, int ignoredA = 0, int ignoredB = 0)
        {
            var points = new Point[MostEdgePoints];
            Check(Native.kestrel_wafer_edge(handle, Gbk.Bytes(textA), Gbk.Bytes(textB), point, Flag(flag), ignoredA,
                                            ignoredB, points, (UIntPtr)points.Length, out var count));
            Array.Resize(ref points, (int)(ulong)count);
            return points;
        }

        public KerfResult KerfCheck(string textA, string textB, string textC, double value1, double value2, int number1,
                      double value3, double value4, double value5, int number2, double value6, double value7,
                      double value8, double value9, double value10, double value11, double value12, double value13,
                      double value14, double value15, double value16, double value17, double value18, bool flag,
                      string textD)
        {
            return Kerf(Native.kestrel_kerf_check, textA, textB, textC, value1, value2, number1, value3, value4,
                        value5, number2, value6, value7, value8, value9, value10, value11, value12, value13, value14,
                        value15, value16, value17, value18, flag, textD);
        }

        // Does nothing, as the class does: no request, the outputs 0.
        public KerfResult LGKerfCheck(string textA, string textB, string textC, double value1, double value2, int number1,
                        double value3, double value4, double value5, int number2, double value6, double value7,
                        double value8, double value9, double value10, double value11, double value12, double value13,
                        double value14, double value15, double value16, double value17, double value18, bool flag,
                        string textD)
        {
            return Kerf(Native.kestrel_lg_kerf_check, textA, textB, textC, value1, value2, number1, value3, value4,
                        value5, number2, value6, value7, value8, value9, value10, value11, value12, value13, value14,
                        value15, value16, value17, value18, flag, textD);
        }

        // The two kerf operations share their parameters and their eight outputs.
        private delegate int KerfNative(ClientHandle client, byte[] textA, byte[] textB, byte[] textC, double value1,
                                        double value2, int number1, double value3, double value4, double value5,
                                        int number2, double value6, double value7, double value8, double value9,
                                        double value10, double value11, double value12, double value13,
                                        double value14, double value15, double value16, double value17,
                                        double value18, int flag, byte[] textD, ref double center,
                                        ref double kerfWidthWithoutChipp, ref double kerfWidthWithChipp,
                                        ref double centerChippDistance, ref double chippSizeWidth,
                                        ref double chippSizeHeight, ref double kerfMeasure7,
                                        ref double kerfWidthWithChipp2);

        private KerfResult Kerf(KerfNative native, string textA, string textB, string textC, double value1,
                                double value2, int number1, double value3, double value4, double value5, int number2,
                                double value6, double value7, double value8, double value9, double value10,
                                double value11, double value12, double value13, double value14, double value15,
                                double value16, double value17, double value18, bool flag, string textD)
        {
            double c = 0, w1 = 0, w2 = 0, d = 0, sw = 0, sh = 0, m7 = 0, w3 = 0;
            Check(native(handle, Gbk.Bytes(textA), Gbk.Bytes(textB), Gbk.Bytes(textC), value1, value2, number1,
                         value3, value4, value5, number2, value6, value7, value8, value9, value10, value11, value12,
                         value13, value14, value15, value16, value17, value18, Flag(flag), Gbk.Bytes(textD), ref c,
                         ref w1, ref w2, ref d, ref sw, ref sh, ref m7, ref w3));
            return new KerfResult(c, w1, w2, d, sw, sh, m7, w3);
        }

        public (Point Center, double Radius) FixCircle(Point[] points)
        {
            var center = new Point();
            double radius = 0;
            Check(Native.kestrel_fix_circle(handle, points, (UIntPtr)points.Length, ref center, ref radius));
            return (center, radius);
        }

        // ---- Point conversion --------------------------------------------------------------------

        public Point GetReal(string camera, Point point)
        {
            var real = new Point();
            Check(Native.kestrel_get_real(handle, Gbk.Bytes(camera), point, ref real));
            return real;
        }

        public Point GetRuler(string camera, Point point)
        {
            var ruler = new Point();
            Check(Native.kestrel_get_ruler(handle, Gbk.Bytes(camera), point, ref ruler));
            return ruler;
        }

        public Point GetRealByPixelPoint(string camera, Point firstPoint, Point secondPoint)
        {
            var real = new Point();
            Check(Native.kestrel_get_real_by_pixel_point(handle, Gbk.Bytes(camera), firstPoint, secondPoint, ref real));
            return real;
        }

        public Point GetTargetCamReal(string cameraA, string cameraB, Point point)
        {
            var res = new Point();
            Check(Native.kestrel_get_target_cam_real(handle, Gbk.Bytes(cameraA), Gbk.Bytes(cameraB), point, ref res));
            return res;
        }

        public Point MwCalAnotherPointReal(string camera, Point point, double firstValue, double secondValue)
        {
            var target = new Point();
            Check(Native.kestrel_mw_cal_another_point_real(handle, Gbk.Bytes(camera), point, firstValue, secondValue,
                                                           ref target));
            return target;
        }

        // ---- Rotation and line geometry --------------------------------------------------------------

        public (double CenterX, double CenterY) GetRotateCenter(string camera)
        {
            double x = 0, y = 0;
            Check(Native.kestrel_get_rotate_center(handle, Gbk.Bytes(camera), ref x, ref y));
            return (x, y);
        }

        public double GetLineAngle(Point firstPoint, Point secondPoint)
        {
            double angle = 0;
            Check(Native.kestrel_get_line_angle(handle, firstPoint, secondPoint, ref angle));
            return angle;
        }

        public Point GetPointAfterRotateReal(Point firstPoint, Point secondPoint, double rotateAngle)
        {
            var point = new Point();
            Check(Native.kestrel_get_point_after_rotate_real(handle, firstPoint, secondPoint, rotateAngle, ref point));
            return point;
        }
    }

    // Text as the library takes it: NUL-terminated GBK bytes.
    internal static class Gbk
    {
        private static readonly Encoding encoding = Encoding.GetEncoding(936);

        public static byte[] Bytes(string text)
        {
            if (text == null) return null;  // the library refuses it as a NULL argument
            var bytes = new byte[encoding.GetByteCount(text) + 1];
            encoding.GetBytes(text, 0, text.Length, bytes, 0);
            return bytes;
        }

        public static string Text(byte[] bytes, int length = -1) =>
            encoding.GetString(bytes, 0, length < 0 ? bytes.Length : Math.Min(length, bytes.Length));

        public static byte[] FromPointer(IntPtr text)
        {
            var length = 0;
            while (Marshal.ReadByte(text, length) != 0) ++length;
            var bytes = new byte[length];
            Marshal.Copy(text, bytes, 0, length);
            return bytes;
        }
    }

    // A handle of the C interface, freed by its own call when released.
    internal abstract class NativeHandle : SafeHandle
    {
        protected NativeHandle() : base(IntPtr.Zero, true) { }
        public override bool IsInvalid => handle == IntPtr.Zero;
        protected abstract void Free(IntPtr native);
        protected override bool ReleaseHandle()
        {
            Free(handle);
            return true;
        }
    }

    internal sealed class ClientHandle : NativeHandle
    {
        protected override void Free(IntPtr native) => Native.kestrel_client_free(native);
    }

    internal sealed class ProcedureHandle : NativeHandle
    {
        protected override void Free(IntPtr native) => Native.kestrel_procedure_free(native);
    }

    internal static class Native
    {
        private const string Library = "kestrel";  // kestrel.dll, libkestrel.so
        private const CallingConvention Cdecl = CallingConvention.Cdecl;

        [UnmanagedFunctionPointer(CallingConvention.Cdecl)]
        public delegate void ConsoleSink(int colour, IntPtr title, IntPtr text, UIntPtr length, IntPtr user);

        [DllImport(Library, CallingConvention = Cdecl)] public static extern IntPtr kestrel_version();
        [DllImport(Library, CallingConvention = Cdecl)] public static extern ProcedureHandle kestrel_procedure_new(byte[] name);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void kestrel_procedure_free(IntPtr procedure);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_procedure_set_abort(ProcedureHandle procedure, int raised);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_procedure_set_plant_abort(ProcedureHandle procedure, int raised);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern ClientHandle kestrel_client_new(byte[] title);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern ClientHandle kestrel_client_new_in(ProcedureHandle procedure, byte[] title);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void kestrel_client_free(IntPtr client);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_last_failure(ClientHandle client);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern UIntPtr kestrel_error_text(ClientHandle client, byte[] buffer, UIntPtr size);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern void kestrel_clear_error(ClientHandle client);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_set_console_sink(ConsoleSink sink, IntPtr user);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_connect(ClientHandle client, byte[] address, int port);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_disconnect(ClientHandle client);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_reconnect(ClientHandle client);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_connected(ClientHandle client);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_set_timeout(ClientHandle client, int ms);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_get_timeout(ClientHandle client, out int ms);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_set_gain(ClientHandle client, byte[] camera, double gain);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_set_exposure(ClientHandle client, byte[] camera, double exposure);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_set_light(ClientHandle client, byte[] camera, int intensity);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_set_light_and_exposure(ClientHandle client, byte[] textA, byte[] textB, int number, int flag);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_get_gain(ClientHandle client, byte[] camera, ref double gain);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_get_exposure(ClientHandle client, byte[] camera, ref double exposure);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_get_light(ClientHandle client, byte[] camera, ref int intensity);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_start_grab(ClientHandle client, byte[] camera);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_stop_grab(ClientHandle client, byte[] camera);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_clear_camera_iamge(ClientHandle client, byte[] camera);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_get_camera_scale(ClientHandle client, byte[] camera, ref double scaleX, ref double scaleY);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_set_target_color(ClientHandle client, byte[] camera, IntPtr[] colors, UIntPtr count);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_switch_to_camera(ClientHandle client, byte[] textA, byte[] textB);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_set_cam_control_visiable(ClientHandle client, byte[] textA, byte[] textB, int visible);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_show_cut_line(ClientHandle client, byte[] camera, double width);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_auto_focus(ClientHandle client, byte[] camera, int number, double value1, double value2, double value3, double value4, double value5, int flag, ref double result, [Out] byte[] text, UIntPtr textSize, out UIntPtr textLength);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_template_create(ClientHandle client, byte[] textA, byte[] textB, byte[] textC, int number);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_mult_template_match(ClientHandle client, byte[] textA, byte[] textB, int requestedCount, byte[] textC, Point point, double value, int flagA, int flagB, byte[] textD, double extra1, double extra2, double extra3, ref int matchCount, [Out] Point[] centers, [Out] double[] angles, [Out] double[] scores, UIntPtr capacity, out UIntPtr count);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_template_match(ClientHandle client, byte[] textA, byte[] textB, byte[] textC, Point point, double value, int flagA, int flagB, byte[] textD, ref Point center, ref double angle, ref double score);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_template_match_scell(ClientHandle client, byte[] textA, byte[] textB, byte[] textC, Point point, double value, int flagA, int flagB, byte[] textD, ref Point center, ref double angle, ref double score);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_wafer_edge(ClientHandle client, byte[] textA, byte[] textB, Point point, int flag, int ignoredA, int ignoredB, [Out] Point[] points, UIntPtr capacity, out UIntPtr count);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_kerf_check(ClientHandle client, byte[] textA, byte[] textB, byte[] textC, double value1, double value2, int number1, double value3, double value4, double value5, int number2, double value6, double value7, double value8, double value9, double value10, double value11, double value12, double value13, double value14, double value15, double value16, double value17, double value18, int flag, byte[] textD, ref double center, ref double kerfWidthWithoutChipp, ref double kerfWidthWithChipp, ref double centerChippDistance, ref double chippSizeWidth, ref double chippSizeHeight, ref double kerfMeasure7, ref double kerfWidthWithChipp2);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_lg_kerf_check(ClientHandle client, byte[] textA, byte[] textB, byte[] textC, double value1, double value2, int number1, double value3, double value4, double value5, int number2, double value6, double value7, double value8, double value9, double value10, double value11, double value12, double value13, double value14, double value15, double value16, double value17, double value18, int flag, byte[] textD, ref double center, ref double kerfWidthWithoutChipp, ref double kerfWidthWithChipp, ref double centerChippDistance, ref double chippSizeWidth, ref double chippSizeHeight, ref double kerfMeasure7, ref double kerfWidthWithChipp2);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_fix_circle(ClientHandle client, Point[] points, UIntPtr count, ref Point center, ref double radius);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_get_real(ClientHandle client, byte[] camera, Point point, ref Point real);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_get_ruler(ClientHandle client, byte[] camera, Point point, ref Point ruler);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_get_real_by_pixel_point(ClientHandle client, byte[] camera, Point firstPoint, Point secondPoint, ref Point real);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_get_target_cam_real(ClientHandle client, byte[] cameraA, byte[] cameraB, Point point, ref Point res);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_mw_cal_another_point_real(ClientHandle client, byte[] camera, Point point, double firstValue, double secondValue, ref Point target);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_get_rotate_center(ClientHandle client, byte[] camera, ref double centerX, ref double centerY);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_get_line_angle(ClientHandle client, Point firstPoint, Point secondPoint, ref double angle);
        [DllImport(Library, CallingConvention = Cdecl)] public static extern int kestrel_get_point_after_rotate_real(ClientHandle client, Point firstPoint, Point secondPoint, double rotateAngle, ref Point pointAfterRotate);
    }
}
