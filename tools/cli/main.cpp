// kestrel: runs commands of the vision server from a shell or a script.
//
// Exit codes: 0 every command succeeded, 1 a command failed (or the drawing
// could not be written), 2 usage error, 3 no connection to the server.
#include <CLI/CLI.hpp>
#include <algorithm>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <optional>
#include <string>
#include <vector>

#include "commands.h"
#include "kestrel/kestrel.h"
#include "output.h"
#include "platform/text.h"
#include "trace_view.h"

namespace {

using kestrel_cli::Invocation;
using kestrel_cli::UsageError;

constexpr int kFailed = 1;
constexpr int kUsage = 2;
constexpr int kNoConnection = 3;

struct Options {
  std::string address = "127.0.0.1";
  int port = 8000;
  std::optional<int> timeout_ms;
  std::string script;
  std::string svg;
  bool keep_going = false;
  bool json = false;
  bool quiet = false;
};

int Usage(const std::string& message) {
  std::cerr << "kestrel: " << message << "\n";
  return kUsage;
}

// Converts the command line or the script into invocations; throws UsageError.
std::vector<Invocation> Plan(const Options& o, const kestrel_cli::CommandInfo* command,
                             const std::vector<std::string>& words) {
  if (o.script.empty()) {
    if (command == nullptr) throw UsageError("no command given (see kestrel --help)");
    std::vector<Invocation> plan;
    plan.push_back({command, kestrel_cli::ParseArgs(*command, words), 0});
    if (!o.svg.empty() && !command->drawable) {
      throw UsageError(std::string("--svg draws wafer-edge and template matches, not ") +
                       command->cli);
    }
    return plan;
  }
  if (command != nullptr) throw UsageError("give either a command or --script, not both");
  if (!o.svg.empty()) throw UsageError("--svg draws a single command, not a script");
  if (o.script == "-") return kestrel_cli::ParseScript(std::cin);
  std::ifstream file(o.script);
  if (!file) throw UsageError("cannot read script " + o.script);
  try {
    return kestrel_cli::ParseScript(file);
  } catch (const UsageError& e) {
    throw UsageError(o.script + ": " + e.what());
  }
}

}  // namespace

int main(int argc, char** argv) {
  Options o;
  CLI::App app{"Runs commands of the machine-vision server of a wafer-dicing machine.", "kestrel"};
  app.add_option("--address", o.address, "Server address")
      ->capture_default_str()
      ->type_name("HOST");
  app.add_option("--port", o.port, "Server port")
      ->capture_default_str()
      ->type_name("PORT")
      ->check(CLI::Range(1, 65535));
  app.add_option("--timeout", o.timeout_ms,
                 "Wait limit (the library makes it 1000 ms below 1000, else 10000 ms)")
      ->type_name("MS")
      ->check(CLI::NonNegativeNumber);
  app.add_option("--script", o.script, "Run the commands of FILE, one a line ('-': stdin)")
      ->type_name("FILE");
  app.add_flag("--keep-going", o.keep_going, "Go on with a script after a failed command");
  app.add_flag("--json", o.json, "Print one JSON object per command");
  app.add_flag("-q,--quiet", o.quiet, "Hide the library's console lines");
  app.add_option("--svg", o.svg, "Draw wafer-edge points or template matches into FILE")
      ->type_name("FILE");
  app.require_subcommand(0, 1);
  app.fallthrough();  // global options may also follow the command

  std::vector<std::string> words;
  for (const kestrel_cli::CommandInfo& cmd : kestrel_cli::Commands()) {
    CLI::App* sub = app.add_subcommand(cmd.cli, cmd.summary);
    sub->group("");  // listed with their arguments in the footer instead
    sub->add_option("args", words);
  }
  std::string topic;
  CLI::App* help = app.add_subcommand("help", "Show all commands, or one with its arguments");
  help->add_option("command", topic);
  std::string trace_file;
  CLI::App* trace =
      app.add_subcommand("trace",
                         "Show a session recorded by kestrel-sim --record, one row "
                         "per exchange (--json, --svg FILE for a timeline, --chrome OUT "
                         "for Perfetto)");
  trace->add_option("file", trace_file, "The trace file")->required()->type_name("FILE");
  int server_port = 0;
  trace->add_option("--server-port", server_port,
                    "A capture's server port (default: the one answering framed lines)")
      ->check(CLI::Range(1, 65535));
  std::string pcap;
  trace->add_option("--pcap", pcap, "Also write the session as a pcap capture")->type_name("OUT");
  std::string chrome;
  trace->add_option("--chrome", chrome, "Write the session as Trace Event JSON (Perfetto)")
      ->type_name("OUT");
  app.footer("\nCommands (points are two numbers X Y; flags are true, false, 1 or 0):\n" +
             kestrel_cli::CommandListing() +
             "\n'kestrel trace FILE' shows a session recorded by kestrel-sim --record.\n"
             "\nExit codes: 0 ok, 1 a command failed, 2 usage error, 3 no connection.\n"
             "'kestrel help COMMAND' describes one command.");

  // The command the command line names, if any (help and trace are none).
  const auto named = [&app]() -> const kestrel_cli::CommandInfo* {
    const std::vector<CLI::App*> subs = app.get_subcommands();
    return subs.empty() ? nullptr : kestrel_cli::FindCommand(subs.front()->get_name());
  };
  try {
    const kestrel::platform::Utf8Args args(argc, argv);
    app.parse(args.argc(), args.argv());
  } catch (const CLI::CallForHelp& e) {
    if (named() == nullptr) return app.exit(e);
    std::cout << kestrel_cli::CommandHelp(*named());
    return 0;
  } catch (const CLI::ExtrasError& e) {
    // A first word that names no command, with the nearest names.
    const std::vector<std::string> extras = app.remaining();
    const auto word = std::find_if(extras.begin(), extras.end(),
                                   [](const std::string& w) { return w.rfind('-', 0) != 0; });
    if (app.get_subcommands().empty() && word != extras.end())
      return Usage(kestrel_cli::UnknownCommand(*word));
    return app.exit(e) == 0 ? 0 : kUsage;
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : kUsage;
  }
  const kestrel_cli::CommandInfo* const command = named();

  if (trace->parsed() && !pcap.empty()) {
    if (const int code = kestrel_cli::WriteTracePcap(trace_file, server_port, pcap, std::cerr))
      return code;
  }
  if (trace->parsed())
    return kestrel_cli::RunTrace(trace_file, o.json, o.svg, chrome, std::cout, std::cerr,
                                 server_port);
  if (help->parsed()) {
    if (topic.empty() && o.json) {
      std::cout << kestrel_cli::CatalogueJson();
      return 0;
    }
    if (topic.empty()) {
      // app.help() would describe the selected "help" subcommand itself.
      std::cout << app.get_formatter()->make_help(&app, "kestrel", CLI::AppFormatMode::Normal);
      return 0;
    }
    const kestrel_cli::CommandInfo* cmd = kestrel_cli::FindCommand(topic);
    if (cmd == nullptr) return Usage(kestrel_cli::UnknownCommand(topic));
    std::cout << kestrel_cli::CommandHelp(*cmd);
    return 0;
  }

  std::vector<Invocation> plan;
  try {
    plan = Plan(o, command, words);
  } catch (const UsageError& e) {
    return Usage(e.what());
  }

  kestrel::platform::UseUtf8Console();
  kestrel_cli::ConsoleEcho echo(stderr, !o.quiet, kestrel::platform::IsTerminal(stderr));
  Kestrel client;
  if (o.timeout_ms) client.Kestrel_SetTimeout(*o.timeout_ms);
  if (!client.Kestrel_Connect_Port(o.address.c_str(), o.port)) {
    std::cerr << "kestrel: cannot connect to " << o.address << ":" << o.port << "\n";
    return kNoConnection;
  }

  int status = 0;
  for (const Invocation& step : plan) {
    echo.Forget();
    const kestrel_cli::Result r =
        kestrel_cli::Execute(client, step, [&echo] { return echo.last_red(); });
    if (o.json) {
      std::cout << kestrel_cli::FormatJson(r) << std::endl;
    } else if (r.ok) {
      std::cout << kestrel_cli::FormatText(r, !o.script.empty()) << std::flush;
    } else {
      std::cerr << "kestrel: "
                << (r.line > 0 ? "line " + std::to_string(r.line) + ": " : std::string())
                << r.command << " failed: " << r.error << "\n";
    }
    if (!r.ok) {
      status = kFailed;
      if (!o.keep_going) break;
    } else if (!o.svg.empty()) {
      const std::optional<std::string> svg = kestrel_cli::ResultSvg(r);
      std::ofstream file(o.svg, std::ios::binary);
      if (!svg || !(file << *svg) || !file.flush()) {
        std::cerr << "kestrel: cannot write " << o.svg << "\n";
        status = kFailed;
      }
    }
  }
  client.Kestrel_Disconnect_Port();
  return status;
}
