// The console printer without a sink, writing to a standard output that is
// no terminal or console (here a file): one plain line per call, no colour
// codes. On Windows the GBK bytes go out as they are; elsewhere they are
// converted to UTF-8.
#include "host/herald.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#ifdef _WIN32
#include <io.h>
#include <sys/stat.h>
#else
#include <unistd.h>
#endif

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

namespace {

#ifdef _WIN32
int Dup(int fd) { return ::_dup(fd); }
int Dup2(int from, int to) { return ::_dup2(from, to); }
int Close(int fd) { return ::_close(fd); }
int OpenForWriting(const std::string& path) {
  // A text stream, as a redirected standard output starts.
  return ::_open(path.c_str(), _O_WRONLY | _O_CREAT | _O_TRUNC | _O_TEXT, _S_IREAD | _S_IWRITE);
}
#else
int Dup(int fd) { return ::dup(fd); }
int Dup2(int from, int to) { return ::dup2(from, to); }
int Close(int fd) { return ::close(fd); }
int OpenForWriting(const std::string& path) {
  return ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
}
#endif

// Runs `print` with standard output sent to a file; returns the file's bytes.
template <typename Print>
std::string Captured(Print print) {
  const std::filesystem::path path =
      std::filesystem::temp_directory_path() / "kestrel_herald_console_test.txt";
  std::fflush(stdout);
  const int saved = Dup(1);
  const int file = OpenForWriting(path.string());
  EXPECT_GE(saved, 0);
  EXPECT_GE(file, 0);
  if (saved < 0 || file < 0) return std::string();
  Dup2(file, 1);
  Close(file);
  print();
  std::fflush(stdout);
  Dup2(saved, 1);
  Close(saved);
  std::ifstream in(path, std::ios::binary);
  std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  in.close();
  std::filesystem::remove(path);
  return bytes;
}

#ifdef _WIN32
const char kNewline[] = "\r\n";  // standard output is a text stream
const char kShown[] = "\xCD\xA8\xD1\xB6:8000";  // GBK bytes unchanged
#else
const char kNewline[] = "\n";
const char kShown[] = "\xE9\x80\x9A\xE8\xAE\xAF:8000";  // the same text in UTF-8
#endif

TEST(HeraldConsole, RedirectedOutputGetsPlainLines) {
  Corvus::Herald_Set_Sink(nullptr, nullptr);
  const std::string out = Captured([] {
    Corvus::Herald_Red("Seq1/Kestrel", "%s:%d", "\xCD\xA8\xD1\xB6", 8000);
    Corvus::Herald_Green("T", "Net_IO_Recv Success:%s", "<a>\r\n");  // shown without its CR LF
  });
  const std::string first = std::string(" [Seq1/Kestrel] ") + kShown + kNewline;
  const std::string second = std::string(" [T] Net_IO_Recv Success:<a>") + kNewline;
  EXPECT_NE(out.find(first), std::string::npos) << out;
  EXPECT_NE(out.find(second), std::string::npos) << out;
  EXPECT_LT(out.find(first), out.find(second));
  EXPECT_EQ(out.find('\033'), std::string::npos) << "colour codes in a file";
  EXPECT_EQ(out.size(), 12 + first.size() + 12 + second.size()) << "two lines, each after its time";
}

}  // namespace
