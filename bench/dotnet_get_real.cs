// GetReal through the .NET binding beside a plain C# TcpClient round trip to
// the same kestrel-sim: the same request line, the reply parsed into a Point.
// Rounds alternate which side goes first; the figures are the medians over
// the rounds of the wall time per call, and the binding's ratio.
// The console lines go to an empty handler, as a host would take them.
//   mono dotnet_get_real.exe PORT [ROUNDS] [CALLS]
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Globalization;
using System.IO;
using System.Linq;
using System.Net.Sockets;
using System.Text;
using Kestrel;

static class DotnetGetReal
{
    sealed class Plain : IDisposable
    {
        readonly TcpClient tcp;
        readonly NetworkStream stream;
        readonly byte[] request = Encoding.ASCII.GetBytes("<GetReal,Cam1,1024.500000,768.250000>\r\n");
        readonly byte[] buffer = new byte[1024];

        public Plain(int port)
        {
            tcp = new TcpClient("127.0.0.1", port) { NoDelay = true };
            tcp.ReceiveTimeout = 5000;
            stream = tcp.GetStream();
        }

        public Kestrel.Point GetReal()
        {
            stream.Write(request, 0, request.Length);
            var n = 0;
            while (n < 2 || buffer[n - 1] != '\n') n += stream.Read(buffer, n, buffer.Length - n);
            var line = Encoding.ASCII.GetString(buffer, 0, n - 3);  // without ">\r\n"
            var xy = line.Substring(line.LastIndexOf(',') + 1).Split('&');
            return new Kestrel.Point(double.Parse(xy[0], CultureInfo.InvariantCulture),
                                     double.Parse(xy[1], CultureInfo.InvariantCulture));
        }

        public void Dispose() => tcp.Dispose();
    }

    static double Median(List<double> values)
    {
        var sorted = values.OrderBy(v => v).ToList();
        return sorted[sorted.Count / 2];
    }

    static int Main(string[] args)
    {
        var port = int.Parse(args[0]);
        var rounds = args.Length > 1 ? int.Parse(args[1]) : 21;
        var calls = args.Length > 2 ? int.Parse(args[2]) : 2000;
        Client.ConsoleLine += (sender, line) => { };
        var binding = new List<double>();
        var plain = new List<double>();
        using (var client = new Client())
        using (var socket = new Plain(port))
        {
            client.Connect("127.0.0.1", port);
            var pixel = new Kestrel.Point(1024.5, 768.25);
            for (var i = 0; i < 200; ++i)  // warm-up: JIT and the server's first replies
            {
                client.GetReal("Cam1", pixel);
                socket.GetReal();
            }
            for (var round = 0; round < rounds; ++round)
            {
                for (var k = 0; k < 2; ++k)
                {
                    var side = (round + k) % 2;
                    var watch = Stopwatch.StartNew();
                    for (var i = 0; i < calls; ++i)
                    {
                        var p = side == 0 ? client.GetReal("Cam1", pixel) : socket.GetReal();
                        if (Math.Abs(p.X - 2.56125) > 1e-9) throw new InvalidDataException("wrong reply " + p);
                    }
                    var us = watch.Elapsed.TotalMilliseconds * 1000.0 / calls;
                    (side == 0 ? binding : plain).Add(us);
                }
            }
        }
        var b = Median(binding);
        var s = Median(plain);
        Console.WriteLine($"GetReal, {rounds} rounds of {calls} calls each side, medians per call:");
        Console.WriteLine($"  Kestrel.Client.GetReal (binding)   {b:F2} us");
        Console.WriteLine($"  TcpClient round trip (plain C#)    {s:F2} us");
        Console.WriteLine($"  binding / plain                    {b / s:F3}");
        return 0;
    }
}
