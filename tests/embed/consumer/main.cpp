// A host program on the server at 127.0.0.1:PORT (the simulator): a setter
// and a getter, a text filled inside the library and released here, points
// copied here and released inside, and a list filled inside; console lines
// reach the host's sink with the procedure's title.
#include <kestrel/host.h>
#include <kestrel/kestrel.h>

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

static int lines = 0, titled = 0;

static void count_line(Corvus::HeraldColor, const char* title, const char*, void*) {
  ++lines;
  titled += std::strcmp(title, "Embed/Kestrel") == 0;
}

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  Corvus::Herald_Set_Sink(&count_line, nullptr);
  Corvus::Procedure procedure("Embed");
  Kestrel vision(&procedure);
  if (!vision.Kestrel_Connect_Port("127.0.0.1", std::atoi(argv[1]))) return 3;
  double gain = 0, focus = 0, radius = 0;
  std::string text = "before";
  Point centre;
  std::vector<Point> edge{{9, 9}};
  const bool ok = vision.Kestrel_SetGain("Cam1", 3.25) && vision.Kestrel_GetGain("Cam1", gain) &&
                  vision.Kestrel_AutoFocus("Cam1", 2, 0.5, 1.5, 0.01, 3, 0, focus, text, false) &&
                  vision.Kestrel_FixCircle({{1, 0}, {0, 1}, {-1, 0}, {0, -1}}, centre, radius) &&
                  vision.Kestrel_WaferEdge("Cam1", "edge", {0, 0}, true, 0, 0, edge);
  std::printf("gain %.2f, focus text '%s', radius %.3f, %zu edge points, %d console lines\n", gain,
              text.c_str(), radius, edge.size(), lines);
  vision.Kestrel_Disconnect_Port();
  // Disconnected: the outputs keep their values, the error text is read here.
  const bool refused = !vision.Kestrel_GetGain("Cam1", gain) && gain == 3.25 &&
                       std::strlen(vision.Kestrel_GetErrorString()) == 9;
  return ok && refused && gain == 3.25 && text.rfind("focus done", 0) == 0 &&
                 std::fabs(radius - 1) < 1e-9 && edge.size() > 1 && titled == lines
             ? 0
             : 1;
}
