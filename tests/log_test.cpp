// CLog writing a real file in a private folder and a console stream that is a real file too.
#include <gtest/gtest.h>

#include <cstdio>
#include <ctime>
#include <regex>
#include <utility>
#include <string>
#include <vector>

#include "log/log.h"
#include "support/test_env.h"

namespace {

// The banner's date and time lines for a moment, from the C runtime's own names.
std::string DateLine(time_t at) {
  char day[16], month[16];
  tm t = *localtime(&at);
  strftime(day, sizeof day, "%A", &t);
  strftime(month, sizeof month, "%B", &t);
  return "# Date: " + std::string(day) + " " + std::to_string(t.tm_mday) + " " + month + " " +
         std::to_string(t.tm_year + 1900);
}

std::string TimeLine(time_t at) {
  char line[32];
  strftime(line, sizeof line, "# Time: %H:%M", localtime(&at));
  return line;
}

// The console stream is a file in the test's folder. The test reads the file, not the stream,
// so it sees only what the log has flushed.
struct Console {
  FILE* stream = fopen("console.txt", "wb");
  ~Console() { fclose(stream); }
  std::string Text() { return ReadBinaryFile("console.txt"); }
};

class LogTest : public ::testing::Test {
 protected:
  ScratchDir dir;
  CLog log;
  Console console;
  void SetUp() override { log.SetConsoleStream(console.stream); }
};

TEST_F(LogTest, BannersAndLinesHaveTheirExactShape) {
  time_t before = time(nullptr);
  ASSERT_TRUE(log.Open("RallylinkLog.txt"));
  log.Printf("RLJoinGame( GiID:%u )", 7u);
  ASSERT_TRUE(log.Close());
  time_t after = time(nullptr);

  std::vector<std::string> lines = SplitLines(ReadTextFile("RallylinkLog.txt"));
  ASSERT_EQ(lines.size(), 12u);
  EXPECT_EQ(lines[0], "");
  EXPECT_EQ(lines[1], "#### Opening log ####");
  EXPECT_TRUE(lines[2] == DateLine(before) || lines[2] == DateLine(after)) << lines[2];
  EXPECT_TRUE(lines[3] == TimeLine(before) || lines[3] == TimeLine(after)) << lines[3];
  EXPECT_EQ(lines[4], "#####################");
  EXPECT_EQ(lines[5], "");
  EXPECT_TRUE(
      std::regex_match(lines[6], std::regex(R"(\[\d\d:\d\d:\d\d\]  RLJoinGame\( GiID:7 \))")))
      << lines[6];
  EXPECT_EQ(lines[7], "");
  EXPECT_EQ(lines[8], "#### Closing log ####");
  EXPECT_TRUE(lines[9] == DateLine(before) || lines[9] == DateLine(after));
  EXPECT_TRUE(lines[10] == TimeLine(before) || lines[10] == TimeLine(after));
  EXPECT_EQ(lines[11], "#####################");
  // The console mirrors the line without its time stamp and never shows a banner.
  EXPECT_EQ(console.Text(), "RLJoinGame( GiID:7 )\n");
}

// Each line is stamped with the local time of the second it is written in, also the first line
// after the clock has gone on to the next second.
TEST_F(LogTest, EachLineIsStampedWithTheSecondItIsWrittenIn) {
  auto stamp = [](time_t at) {
    char text[16];
    strftime(text, sizeof text, "[%H:%M:%S]", localtime(&at));
    return std::string(text);
  };
  ASSERT_TRUE(log.Open("RallylinkLog.txt"));
  std::vector<std::pair<std::string, std::string>> expected;
  for (int line = 0; line < 3; ++line) {
    // The third line waits (up to a second) for the clock's next second.
    if (line == 2) WaitUntil(2000, [&] { return stamp(time(nullptr)) != expected[1].second; });
    time_t before = time(nullptr);
    log.Printf("line %d", line);
    expected.emplace_back(stamp(before), stamp(time(nullptr)));
  }
  std::vector<std::string> lines;
  for (const std::string& l : SplitLines(ReadTextFile("RallylinkLog.txt"))) {
    if (l.rfind("[", 0) == 0) lines.push_back(l.substr(0, 10));
  }
  ASSERT_EQ(lines.size(), 3u);
  for (size_t i = 0; i < 3; ++i) {
    EXPECT_TRUE(lines[i] == expected[i].first || lines[i] == expected[i].second) << i;
  }
  EXPECT_NE(lines[2], lines[1]);
}

TEST_F(LogTest, ReopeningAppendsAndOnlyAnOpenLogCloses) {
  EXPECT_FALSE(log.Close());
  ASSERT_TRUE(log.Open("RallylinkLog.txt"));
  log.Printf("first");
  EXPECT_TRUE(log.Close());
  EXPECT_FALSE(log.Close());
  {
    CLog scoped;  // its destructor closes it
    ASSERT_TRUE(scoped.Open("RallylinkLog.txt"));
    scoped.Printf("second");
  }
  std::string text = ReadTextFile("RallylinkLog.txt");
  // The closing rule has one line end; the new banner starts with an empty line.
  size_t reopened = text.find("]  first\n\n#### Closing log ####");
  ASSERT_NE(reopened, std::string::npos);
  reopened = text.find("#####################\n\n#### Opening log ####", reopened);
  ASSERT_NE(reopened, std::string::npos);
  EXPECT_GT(text.find("]  second\n"), reopened);
  EXPECT_GT(text.rfind("#### Closing log ####"), text.find("]  second\n"));
}

TEST_F(LogTest, LevelsChooseTheDestinations) {
  ASSERT_TRUE(log.Open("RallylinkLog.txt"));
  log.PrintfLevel(3, "level three");  // above both default levels: nowhere
  log.PrintfLevel(2, "level two");
  log.PrintfLevel(-5, "level minus five");
  log.SetLevels(0, 5);
  log.PrintfLevel(3, "file only");
  log.SetFileLevel(-1);
  log.PrintfLevel(0, "console only");
  log.Close();
  std::string file = ReadTextFile("RallylinkLog.txt");
  EXPECT_EQ(file.find("level three"), std::string::npos);
  EXPECT_NE(file.find("]  level two\n"), std::string::npos);
  EXPECT_NE(file.find("]  level minus five\n"), std::string::npos);
  EXPECT_NE(file.find("]  file only\n"), std::string::npos);
  EXPECT_EQ(file.find("console only"), std::string::npos);
  EXPECT_EQ(console.Text(), "level two\nlevel minus five\nconsole only\n");
}

TEST_F(LogTest, AFormatEndingInANewLineLeavesAnEmptyLine) {
  ASSERT_TRUE(log.Open("RallylinkLog.txt"));
  log.Printf("Unknown message 0x24\n");
  log.Close();
  EXPECT_NE(ReadTextFile("RallylinkLog.txt").find("]  Unknown message 0x24\n\n"),
            std::string::npos);
  EXPECT_EQ(console.Text(), "Unknown message 0x24\n\n");
}

// Each message is formatted once and the same bytes go to both destinations: a zero byte
// from "%c" stays in the line, and lines around and beyond the size of the formatting area
// come out whole.
TEST_F(LogTest, BothDestinationsGetTheWholeMessageWhateverItsLengthOrContent) {
  ASSERT_TRUE(log.Open("RallylinkLog.txt"));
  std::string expected;
  auto line = [&](const std::string& message) {
    log.Printf("%s", message.c_str());
    log.Write(message.c_str());
    expected += message + "\n" + message + "\n";
  };
  log.Printf("Results char %d is %c ASCII %u", 3, 0, 0u);
  expected += std::string("Results char 3 is ") + '\0' + " ASCII 0\n";
  for (size_t length : {1022u, 1023u, 1024u, 5000u}) line(std::string(length, 'x'));
  log.Printf("MP -> New game vote");  // no conversion: written as it stands
  expected += "MP -> New game vote\n";
  log.Close();

  EXPECT_EQ(console.Text(), expected);
  std::string file = ReadTextFile("RallylinkLog.txt");
  std::string unstamped;
  for (size_t at = file.find("]  "); at != std::string::npos; at = file.find("]  ", at)) {
    at += 3;
    size_t end = file.find('\n', at);
    unstamped += file.substr(at, end + 1 - at);
  }
  EXPECT_EQ(unstamped, expected);
}

TEST_F(LogTest, LinesOutsideAnOpenLogReachOnlyTheConsole) {
  log.Printf("early %d", 1);
  EXPECT_FALSE(log.Open("no-such-folder/RallylinkLog.txt"));
  log.Printf("unopened");
  ASSERT_TRUE(log.Open("RallylinkLog.txt"));
  ASSERT_TRUE(log.Close());
  log.Printf("late");
  EXPECT_EQ(console.Text(), "early 1\nunopened\nlate\n");
  std::string file = ReadTextFile("RallylinkLog.txt");
  for (const char* line : {"early", "unopened", "late"})
    EXPECT_EQ(file.find(line), std::string::npos) << line;
}

// A line longer than the formatting area is written piece by piece: it must still reach only
// its destinations, whole, ended and flushed at once, with or without an open file.
TEST_F(LogTest, LongLinesReachTheirDestinationsWholeAndAtOnce) {
  const std::string text(3000, 'y');
  log.Printf("%s", text.c_str());  // no file open yet: the console only
  log.Write(text.c_str());
  log.PrintfLevel(2, "%s!", text.c_str());
  std::string shown = text + "\n" + text + "\n" + text + "!\n";
  EXPECT_EQ(console.Text(), shown);

  ASSERT_TRUE(log.Open("RallylinkLog.txt"));
  log.SetLevels(0, 3);  // each line's level is the one level that still reaches its destination
  log.PrintfLevel(3, "%s?", text.c_str());  // the file only, read before anything else is written
  std::string file = ReadTextFile("RallylinkLog.txt");
  ASSERT_GT(file.size(), text.size() + 2);
  EXPECT_EQ(file.substr(file.size() - text.size() - 2), text + "?\n");
  log.SetLevels(3, 0);
  log.PrintfLevel(3, "%s.", text.c_str());  // the console only
  EXPECT_EQ(console.Text(), shown + text + ".\n");
  EXPECT_EQ(ReadTextFile("RallylinkLog.txt"), file);
}

#ifdef _WIN32
TEST_F(LogTest, FileLinesEndInCarriageReturnAndLineFeedOnWindows) {
  ASSERT_TRUE(log.Open("RallylinkLog.txt"));
  log.Printf("x");
  log.Close();
  EXPECT_NE(ReadBinaryFile("RallylinkLog.txt").find("]  x\r\n"), std::string::npos);
}
#endif

}  // namespace
