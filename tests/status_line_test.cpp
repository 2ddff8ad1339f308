// zevora-cli play's status line at every terminal width, and the names it
// shows for files.
#include "status_line.h"

#include <gtest/gtest.h>

#include <string>

namespace {

StatusLine Line(std::string title, bool paused = false) {
  return {"[1/2]", std::move(title), "0:03.000", "1:37.920", "ord   3 row  16", paused, "L ###------- R ##--------"};
}

// True when text is well-formed UTF-8.
bool ValidUtf8(const std::string& text) {
  for (std::size_t i = 0; i < text.size();) {
    const unsigned char b = static_cast<unsigned char>(text[i]);
    const std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > text.size()) return false;
    for (std::size_t k = 1; k < n; ++k)
      if ((static_cast<unsigned char>(text[i + k]) & 0xC0) != 0x80) return false;
    i += n;
  }
  return true;
}

TEST(StatusLineTest, WhatIsLeftOutAtEachWidth) {
  const struct {
    int columns;
    bool paused;
    const char* line;
  } cases[] = {
      {89, false, "[1/2] VoR Theme  0:03.000 / 1:37.920  ord   3 row  16          L ###------- R ##--------"},
      {89, true, "[1/2] VoR Theme  0:03.000 / 1:37.920  ord   3 row  16 [paused] L ###------- R ##--------"},
      {88, false, "[1/2] VoR Theme  0:03.000 / 1:37.920  ord   3 row  16"},
      {88, true, "[1/2] VoR Theme  0:03.000 / 1:37.920  ord   3 row  16 [paused]"},
      {54, false, "[1/2] VoR Theme  0:03.000 / 1:37.920  ord   3 row  16"},
      {53, false, "[1/2] VoR Them  0:03.000 / 1:37.920  ord   3 row  16"},
      {52, false, "[1/2] VoR Theme  0:03.000 / 1:37.920"},
      {30, false, "[1/2] Vo  0:03.000 / 1:37.920"},
      {39, true, "[1/2] Vo  0:03.000 / 1:37.920 [paused]"},
      {28, false, "[1/2]  0:03.000 / 1:37.920"},
      {27, false, "[1/2]  0:03.000 / 1:37.920"},
      {26, false, "0:03.000 / 1:37.920"},
      {20, false, "0:03.000 / 1:37.920"},
      {19, false, "0:03.000"},
      {18, true, "0:03.000 [paused]"},
      {5, false, "0:03"},
      {1, false, ""},
      {0, false, "[1/2] VoR Theme  0:03.000 / 1:37.920  ord   3 row  16"},  // unknown: 80
  };
  for (const auto& c : cases) EXPECT_EQ(FitStatusLine(Line("VoR Theme", c.paused), c.columns), c.line) << c.columns;
}

// Titles of several scripts at every width: the line fits, is whole
// UTF-8, and the title in it is a start of the title in whole characters.
TEST(StatusLineTest, TitlesAreCutBetweenCharactersAndFit) {
  const std::string titles[] = {"Müsik für Anfänger", "音楽のテーマ曲", "Cafe\xcc\x81 del mar",
                                "\xf0\x9f\x8e\xb5 notes", "plain ascii title that is rather long for a module"};
  for (const std::string& title : titles) {
    for (int columns = 1; columns <= 130; ++columns) {
      const std::string line = FitStatusLine(Line(title), columns);
      EXPECT_LE(TextColumns(line), columns - 1) << title << " " << columns;
      EXPECT_TRUE(ValidUtf8(line)) << title << " " << columns;
      if (line.rfind("[1/2] ", 0) == 0 && line.compare(0, 7, "[1/2]  ") != 0) {
        const std::string shown = line.substr(6, line.find("  0:03") - 6);
        EXPECT_EQ(title.compare(0, shown.size(), shown), 0) << title << " " << columns;
        // Cut before a character, never between a letter and its accent.
        if (shown.size() < title.size()) {
          EXPECT_NE(static_cast<unsigned char>(title[shown.size()]) & 0xC0, 0x80u) << title << " " << columns;
          EXPECT_NE(title[shown.size()], '\xcc') << columns;
        }
      }
    }
  }
  // A wide character that does not fit whole is left out.
  EXPECT_EQ(FitStatusLine(Line("音楽のテーマ曲"), 31), "[1/2] 音  0:03.000 / 1:37.920");
  EXPECT_EQ(FitStatusLine(Line("音楽のテーマ曲"), 33), "[1/2] 音楽  0:03.000 / 1:37.920");
}

TEST(StatusLineTest, TextColumns) {
  const struct {
    const char* text;
    int columns;
  } cases[] = {{"", 0}, {"abc", 3}, {"Müsik", 5}, {"音楽", 4}, {"Cafe\xcc\x81", 4}, {"\xf0\x9f\x8e\xb5", 2}};
  for (const auto& c : cases) EXPECT_EQ(TextColumns(c.text), c.columns) << c.text;
}

TEST(FileDisplayNameTest, BaseNameAsUtf8OrLatin1AndNeverControlCharacters) {
  const struct {
    const char* path;
    const char* shown;
  } cases[] = {
      {"/music/M\xc3\xbcsik.xm", "M\xc3\xbcsik.xm"},  // UTF-8 as it is
      {"/music/M\xfcsik.xm", "M\xc3\xbcsik.xm"},      // Latin-1 bytes
      {"songs/a\x1b]0;x\x07.xm", "a?]0;x?.xm"},       // escape and bell
      {"a\302\23331m.xm", "a?31m.xm"},                // C1 control in UTF-8
      {"a\23331m.xm", "a?31m.xm"},                    // C1 control as a byte
      {"\xc0\xaf.xm", "\xc3\x80\xc2\xaf.xm"},         // overlong: not UTF-8
      {"\xed\xa0\x80.xm", "\xc3\xad\xc2\xa0?.xm"},    // a surrogate: not UTF-8
      {"x\x7f.xm", "x?.xm"},                          // DEL
      {"plain.xm", "plain.xm"},
      {"/a/b/c/\xe9\x9f\xb3\xe6\xa5\xbd.xm", "\xe9\x9f\xb3\xe6\xa5\xbd.xm"},
  };
  for (const auto& c : cases) EXPECT_EQ(FileDisplayName(c.path), c.shown) << c.path;
}

// Paused, an unchanged line is written again only once a second; a changed
// line, any line while playing, and the first line after a clear at once.
TEST(StatusWriterTest, AnUnchangedPausedLineIsNotWrittenAgainAndAgain) {
  using std::chrono::milliseconds;
  const StatusWriter::Clock::time_point t0{std::chrono::seconds(1000)};
  const struct {
    std::string text;  // "" clears the line
    bool paused;
    int ms;
    bool written;
  } steps[] = {
      {"a", false, 0, true},              {"a", false, 100, true},           // playing: always
      {"a [paused]", true, 200, true},    {"a [paused]", true, 1100, false},  // paused: not again
      {"a [paused]", true, 1200, true},   {"a [paused]", true, 1300, false},  // once a second
      {"b [paused]", true, 1400, true},   {"", true, 1500, false},            // a seek; a clear
      {"b [paused]", true, 1600, true},
  };
  StatusWriter writer;
  for (const auto& s : steps) {
    if (s.text.empty()) {
      writer.Forget();
      continue;
    }
    EXPECT_EQ(writer.Due(s.text, s.paused, t0 + milliseconds(s.ms)), s.written) << s.text << " at " << s.ms;
  }
}

}  // namespace
