// The .NET binding under Mono against the simulator that tests/c/run.sh
// starts (GetGain answers NG "camera busy", StopGrab never answers): connect,
// a value, a point, a list, the server's NG and an abort as exceptions, the
// console event. Prints "N passed, N failed" last.
//   mono client_test.exe PORT
using System;
using System.Linq;
using Kestrel;

static class ClientTest
{
    static int passed, failed;

    static void Check(bool ok, string what)
    {
        if (ok) { ++passed; return; }
        ++failed;
        Console.WriteLine("FAILED: " + what);
    }

    static T Throws<T>(Action action, string what) where T : KestrelException
    {
        try
        {
            action();
        }
        catch (T e)
        {
            ++passed;
            return e;
        }
        catch (Exception e)
        {
            Check(false, what + ": threw " + e.GetType().Name + " " + e.Message);
            return null;
        }
        Check(false, what + ": nothing thrown");
        return null;
    }

    static int Main(string[] args)
    {
        var port = int.Parse(args[0]);
        var lines = 0;
        var green = 0;
        Client.ConsoleLine += (sender, line) =>
        {
            ++lines;
            if (line.Colour == ConsoleColour.Green && line.Title == "c#") ++green;
        };

        using (var client = new Client("c#"))
        {
            client.Connect("127.0.0.1", port);
            Check(client.Connected && green == 1, "connect, with its green console line");

            client.SetExposure("Cam1", 2.5);
            Check(client.GetExposure("Cam1") == 2.5, "a value");
            // A flag: tests/c/run.sh finds this request, "true" and all, in the simulator's log.
            client.SetCamControlVisiable("W1", "C1", true);

            var real = client.GetReal("Cam1", new Point(400, 800));
            Check(Math.Abs(real.X - 1.0) < 1e-9 && Math.Abs(real.Y - 2.0) < 1e-9, "a point: " + real);

            var edge = client.WaferEdge("A", "B", new Point(0, 0), true);
            Check(edge.Length == 36 && edge.All(p => Math.Abs(Math.Sqrt(p.X * p.X + p.Y * p.Y) - 100) < 0.01),
                  "a list of 36 edge points, got " + edge.Length);

            var ng = Throws<KestrelServerException>(() => client.GetGain("Cam1"), "the server's NG");
            Check(ng != null && ng.Message == "camera busy" && ng.Kind == Failure.ServerNg,
                  "the NG's message and kind: " + ng?.Message);

            var before = lines;
            client.StartGrab("Cam1");
            Check(lines == before + 2, "two console lines for one request");
        }

        using (var procedure = new Procedure("Dicing"))
        using (var owned = new Client(procedure))
        {
            owned.Connect("127.0.0.1", port);
            owned.Timeout = 999;
            procedure.Abort();
            var aborted = Throws<KestrelAbortedException>(() => owned.StopGrab("Cam1"), "an abort");
            Check(aborted != null && aborted.Kind == Failure.Aborted, "the abort's kind");
        }

        using (var idle = new Client())
        {
            var e = Throws<KestrelNotConnectedException>(() => idle.GetGain("Cam1"), "not connected");
            Check(e != null && e.Message == "通讯失败!", "the GBK error text decoded: " + e?.Message);
        }

        Console.WriteLine($"{passed} passed, {failed} failed");
        return failed == 0 ? 0 : 1;
    }
}
