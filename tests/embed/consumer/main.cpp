// Sets and reads back the gain of a camera on the server at 127.0.0.1:PORT.
#include <kestrel/host.h>
#include <kestrel/kestrel.h>

#include <cstdio>
#include <cstdlib>

static int lines = 0;

static void count_line(Corvus::HeraldColor, const char*, const char*, void*) { ++lines; }

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  Corvus::Herald_Set_Sink(&count_line, nullptr);
  Corvus::Procedure procedure("Embed");
  Kestrel vision(&procedure);
  if (!vision.Kestrel_Connect_Port("127.0.0.1", std::atoi(argv[1]))) return 3;
  double gain = 0;
  const bool ok = vision.Kestrel_SetGain("Cam1", 3.25) && vision.Kestrel_GetGain("Cam1", gain);
  std::printf("gain %.2f, %d console lines\n", gain, lines);
  return ok && gain == 3.25 ? 0 : 1;
}
