// The verdict on a reply: head, then "OK", then "NG"; each failure's red line
// and error text. And the table of those texts: GBK bytes that read as written.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "core/texts.h"
#include "kestrel/kestrel.h"
#include "support/canned.h"
#include "support/console.h"

namespace {

using kestrel_test::CannedReplies;
using kestrel_test::ConsoleCapture;
using kestrel_test::Gbk;
using kestrel_test::Red;

TEST(Verdict, EachPathPrintsItsLineAndLeavesItsErrorText) {
  const std::string head = "SetGain" + std::string(100, 'x');  // cut to 63 characters
  const struct {
    std::string reply;
    bool ok;
    std::string line;   // the red line, "" for none
    std::string error;  // the error text afterwards
  } cases[] = {
      {"SetGain,OK,anything", true, "", "earlier"},
      {"SetGain,OK", true, "", "earlier"},
      {"GetGain,OK,1", false,
       "UNKNOWN RECV COMMAND HEAD:GetGain(SetGain)[Kestrel::Kestrel_SetGain]",
       "接收指令头:GetGain(SetGain)未批配!"},
      {"GetGain,NG,busy", false,
       "UNKNOWN RECV COMMAND HEAD:GetGain(SetGain)[Kestrel::Kestrel_SetGain]",
       "接收指令头:GetGain(SetGain)未批配!"},
      {"SetGain,NG,lens error, at 3,4", false,
       "ERRMESSAGE:lens error, at 3,4[Kestrel::Kestrel_SetGain]", "lens error, at 3,4"},
      {"SetGain,NG", false, "ERRMESSAGE:[Kestrel::Kestrel_SetGain]", ""},
      {"SetGain,ERR,x", false, "UNKNOWN RECV TYPE:ERR(OK/NG)[Kestrel::Kestrel_SetGain]",
       "接收指令类型未识别:ERR(OK/NG)!"},
      {"SetGain,ok,x", false, "UNKNOWN RECV TYPE:ok(OK/NG)[Kestrel::Kestrel_SetGain]",
       "接收指令类型未识别:ok(OK/NG)!"},
      {"SetGain", false, "UNKNOWN RECV TYPE:(OK/NG)[Kestrel::Kestrel_SetGain]",
       "接收指令类型未识别:(OK/NG)!"},
      // Oversized fields are cut (the type to 31 characters) and never match.
      {head + ",OK,1", false,
       "UNKNOWN RECV COMMAND HEAD:" + head.substr(0, 63) + "(SetGain)[Kestrel::Kestrel_SetGain]",
       "接收指令头:" + head.substr(0, 63) + "(SetGain)未批配!"},
      {"SetGain,OK" + std::string(100, 'K') + ",1", false,
       "UNKNOWN RECV TYPE:OK" + std::string(29, 'K') + "(OK/NG)[Kestrel::Kestrel_SetGain]",
       "接收指令类型未识别:OK" + std::string(29, 'K') + "(OK/NG)!"},
  };
  for (const auto& c : cases) {
    Kestrel client;
    CannedReplies canned(client);
    canned.core().set_error({"earlier"});
    const char* const text = client.Kestrel_GetErrorString();  // valid as long as the client
    canned.Reply(c.reply);
    ConsoleCapture console;
    EXPECT_EQ(client.Kestrel_SetGain("Cam1", 1.0), c.ok) << c.reply;
    EXPECT_EQ(text, client.Kestrel_GetErrorString());
    std::vector<kestrel_test::ConsoleLine> expected;
    if (!c.line.empty()) expected.push_back(Red("Kestrel", c.line));
    EXPECT_EQ(console.lines(), expected) << c.reply;
    EXPECT_EQ(client.Kestrel_GetErrorString(), Gbk(c.error)) << c.reply;
  }
}

TEST(Texts, EveryEntryIsGbkOfItsReadableText) {
  for (const auto& entry : kestrel::text::kTable)
    EXPECT_EQ(Gbk(entry.readable), entry.gbk) << entry.name;
}

}  // namespace
