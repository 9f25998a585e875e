// A guided tour of every command of the library against a vision server
// (normally the bundled simulator): each command of the tools' catalogue in
// turn, with its example arguments. The library's console lines are shown as
// they come; each step then prints what the caller got back.
//
//   kestrel-demo --port PORT [--address ADDR] [--part tour|late-focus|silent]
#include <CLI/CLI.hpp>
#include <cstdio>
#include <string>

#include "commands.h"
#include "kestrel/kestrel.h"
#include "output.h"
#include "platform/text.h"

namespace {

int failures = 0;

// Runs one command with the arguments written as on the command line; a step
// that `expect_failure` succeeds when the command fails.
void Step(Kestrel& k, const char* title, const char* command, const std::string& words,
          bool expect_failure = false) {
  std::printf("\n\033[1m== %s\033[0m\n", title);
  std::fflush(stdout);
  const kestrel_cli::CommandInfo* cmd = kestrel_cli::FindCommand(command);
  const kestrel_cli::Args args = kestrel_cli::ParseArgs(*cmd, kestrel_cli::SplitScriptLine(words));
  const kestrel_cli::Result r = kestrel_cli::Execute(k, {cmd, args, 0});
  if (r.ok == expect_failure) ++failures;
  std::printf("   -> %s %s%s\n", command,
              r.ok             ? "ok"
              : expect_failure ? "failed as expected: "
                               : "FAILED: ",
              r.error.c_str());
  if (r.ok && !r.outputs.empty()) {
    const std::string text = kestrel_cli::FormatText(r, false);
    for (std::size_t at = 0, end; (end = text.find('\n', at)) != std::string::npos; at = end + 1) {
      std::printf("      %s\n", text.substr(at, end - at).c_str());
    }
  }
  std::fflush(stdout);
}

}  // namespace

int main(int argc, char** argv) {
  CLI::App app{"Guided tour of the Kestrel library against a vision server"};
  std::string address = "127.0.0.1";
  int port = 8000;
  std::string part = "tour";
  app.add_option("--address", address, "server address");
  app.add_option("--port", port, "server port");
  app.add_option("--part", part, "tour | late-focus | silent")
      ->check(CLI::IsMember({"tour", "late-focus", "silent"}));
  CLI11_PARSE(app, argc, argv);
  kestrel::platform::UseUtf8Console();

  Kestrel client;
  if (!client.Kestrel_Connect_Port(address.c_str(), port)) return 3;
  if (part == "tour") {
    for (const kestrel_cli::CommandInfo& cmd : kestrel_cli::Commands()) {
      Step(client, cmd.summary, cmd.cli, cmd.example);
    }
  } else if (part == "late-focus") {
    Step(client, "Auto focus that answers after the 5000 ms timeout, within its 60000 ms wait",
         "auto-focus", "Cam1 1 0 0 0 0 0");
  } else {
    Step(client, "A server that stays silent: the call gives up after its timeout", "get-real",
         "Cam1 1 2", true);
  }
  client.Kestrel_Disconnect_Port();
  std::printf("\n%s: %d step(s) failed\n", part.c_str(), failures);
  return failures == 0 ? 0 : 1;
}
