#include "sim/cli.h"

#include <CLI/CLI.hpp>
#include <optional>
#include <ostream>
#include <stdexcept>

#include "platform/text.h"
#include "sim/recorder.h"

namespace kestrel::sim {

namespace {

// "NAME=v1,v2,..." with exactly `count` numbers.
std::string SplitCameraValues(const std::string& text, std::size_t count,
                              std::vector<double>& values, const char* form) {
  const std::size_t eq = text.find('=');
  if (eq == std::string::npos || eq == 0)
    throw CLI::ValidationError("'" + text + "' is not of the form " + form);
  values.clear();
  std::string_view rest = std::string_view(text).substr(eq + 1);
  for (;;) {
    const std::size_t comma = rest.find(',');
    std::string_view item = rest.substr(0, comma);
    double v = 0;
    if (!ParseNumber(item, v))
      throw CLI::ValidationError("'" + std::string(item) + "' in '" + text + "' is not a number");
    values.push_back(v);
    if (comma == std::string_view::npos) break;
    rest.remove_prefix(comma + 1);
  }
  if (values.size() != count)
    throw CLI::ValidationError("'" + text + "' is not of the form " + form);
  // A request names the camera in GBK.
  const std::optional<std::string> name = platform::Utf8ToGbk(text.substr(0, eq));
  if (!name)
    throw CLI::ValidationError("the name in '" + text + "' has a character that GBK cannot hold");
  return *name;
}

}  // namespace

int ParseCommandLine(int argc, const char* const* argv, Settings& s, std::ostream& out,
                     std::ostream& err) {
  CLI::App app{
      "Simulated vision server for the Kestrel client: answers the line protocol "
      "with plausible, deterministic results and injects faults on request; or "
      "relays to the real server and records (--record), faults applied to its replies.",
      "kestrel-sim"};
  app.option_defaults()->always_capture_default();

  app.add_option("--address", s.server.address, "IPv4 address to listen on");
  app.add_option("--port", s.server.port, "TCP port; 0 picks a free one")
      ->check(CLI::Range(0, 65535));
  app.add_option("--max-connections", s.server.max_connections,
                 "connections served at once; more are refused")
      ->check(CLI::Range(1, 4096));
  app.add_option("--autofocus-ms", s.sim.autofocus_ms, "time an AutoFocus cycle takes, in ms")
      ->check(CLI::NonNegativeNumber);

  // An option given once per value, each use adding one.
  const auto repeatable = [&app](const char* name, std::vector<std::string>& values,
                                 const std::string& help, const char* type) {
    app.add_option(name, values, help)->take_all()->expected(1)->type_name(type);
  };
  std::vector<std::string> fault_rules;
  repeatable("--fault", fault_rules,
             "fault rule WORD[/K]:KIND[:ARG], repeatable (see docs/simulator.md)", "RULE");
  std::string scenario;
  app.add_option("--scenario", scenario, "file of fault rules, one per line, '#' comments")
      ->check(CLI::ExistingFile);
  app.add_option("--log", s.log, "request/reply log file, '-' for stderr")->type_name("FILE");

  std::vector<std::string> calibrations, centers;
  repeatable("--calibration", calibrations,
             "camera calibration NAME=sx,sy,ox,oy,deg (NAME '*': every other camera), "
             "repeatable",
             "CAL");
  repeatable("--rotate-center", centers,
             "rotation centre NAME=x,y (NAME '*': every other camera), repeatable", "CENTER");

  std::vector<double> wafer_center{s.sim.wafer_center.x, s.sim.wafer_center.y};
  app.add_option("--wafer-center", wafer_center, "centre of the simulated wafer edge, mm")
      ->expected(2)
      ->type_name("X Y");
  app.add_option("--wafer-radius", s.sim.wafer_radius, "radius of the wafer edge, mm")
      ->check(CLI::PositiveNumber);
  app.add_option("--edge-points", s.sim.edge_points, "points in a WaferEdge reply")
      ->check(CLI::Range(0, 100000));
  app.add_option("--edge-noise", s.sim.edge_noise, "largest radial deviation of an edge point, mm")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--seed", s.sim.seed, "seed of the wafer edge deviations");

  auto* record = app.add_option("--record", s.record,
                                "record: forward every connection to --forward and write its "
                                "lines to this trace file (see docs/trace.md); --fault, "
                                "--scenario and --http then shape the server's replies")
                     ->type_name("FILE");
  auto* forward = app.add_option("--forward", s.forward, "the real server the recorder forwards to")
                      ->type_name("HOST:PORT");
  record->needs(forward);
  forward->needs(record);
  auto* replay = app.add_option("--replay", s.replay,
                                "answer from this recorded trace or packet capture (pcap, pcapng)")
                     ->check(CLI::ExistingFile)
                     ->type_name("FILE");
  std::string pace = "recorded";
  auto* pace_option =
      app.add_option("--pace", pace, "replay: wait as recorded, or answer at once (fast)")
          ->check(CLI::IsMember({"recorded", "fast"}));
  auto* exit_after = app.add_flag("--exit-after-replay", s.exit_after_replay,
                                  "replay: exit once every recorded reply was served or the "
                                  "last client left");
  auto* strict = app.add_flag("--strict", s.strict, "replay: exit with 3 when anything diverged");
  auto* server_port =
      app.add_option("--server-port", s.server_port,
                     "replay of a capture: the server's port (default: the one answering lines)")
          ->check(CLI::Range(1, 65535));
  for (CLI::Option* o : {pace_option, exit_after, strict, server_port}) o->needs(replay);
  for (const char* other : {"--fault", "--scenario"}) replay->excludes(other);
  replay->excludes(record);

  auto* http = app.add_option("--http", s.http_port,
                              "serve the control plane (REST API) on this TCP port; 0 picks a "
                              "free one (with --record: fault rules and journal of the relay)")
                   ->check(CLI::Range(0, 65535))
                   ->default_str("off");
  app.add_option("--http-address", s.http_address, "IPv4 address of the control plane")
      ->needs(http);
  app.add_option("--journal-size", s.journal_size, "exchanges the control plane's journal keeps")
      ->check(CLI::Range(1, 10000000))
      ->needs(http);
  http->excludes(replay);

  try {
    app.parse(argc, argv);
    s.sim.wafer_center = {wafer_center.at(0), wafer_center.at(1)};
    s.fast = pace == "fast";
#ifndef KESTREL_SIM_HTTP
    if (s.http_port >= 0)
      throw std::invalid_argument("--http: this build of kestrel-sim has no control plane");
#endif
    if (!s.forward.empty()) SplitHostPort(s.forward);  // checked before anything starts
    // NAME '*' sets the default, that of every camera without one of its own.
    std::vector<double> v;
    for (const auto& text : calibrations) {
      const std::string name = SplitCameraValues(text, 5, v, "NAME=sx,sy,ox,oy,deg");
      if (v[0] == 0.0 || v[1] == 0.0)
        throw CLI::ValidationError("a scale of zero in '" + text + "' cannot be inverted");
      (name == "*" ? s.sim.default_calibration : s.sim.calibrations[name]) =
          Calibration{v[0], v[1], v[2], v[3], v[4]};
    }
    for (const auto& text : centers) {
      const std::string name = SplitCameraValues(text, 2, v, "NAME=x,y");
      (name == "*" ? s.sim.default_rotate_center : s.sim.rotate_centers[name]) = {v[0], v[1]};
    }
    for (const auto& rule_text : fault_rules) s.faults.push_back(ParseFault(rule_text));
    if (!scenario.empty()) {
      for (auto& f : LoadScenario(scenario)) s.faults.push_back(std::move(f));
    }
  } catch (const CLI::ParseError& e) {
    return app.exit(e, out, err);
  } catch (const std::invalid_argument& e) {
    err << "kestrel-sim: " << e.what() << "\n";
    return 2;
  }
  return -1;
}

}  // namespace kestrel::sim
