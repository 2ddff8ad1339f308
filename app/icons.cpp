#include "icons.h"

#include <QColor>
#include <QGuiApplication>
#include <QImage>
#include <QPalette>

namespace {

// The toolbar's colours; '.' is transparent. The near-black of outlines and
// marks (the "1" of "Repeat song") would not show on a dark desktop: there
// it is the desktop's text colour.
QColor Colour(char c) {
  switch (c) {
    case 'k': {
      const QPalette palette = QGuiApplication::palette();
      if (palette.color(QPalette::Window).lightness() < 128) return palette.color(QPalette::WindowText);
      return {32, 32, 40};
    }
    case 'g': return {96, 104, 120};
    case 'b': return {52, 120, 212};
    case 'r': return {208, 56, 48};
    case 'w': return {250, 250, 250};
    default: return Qt::transparent;
  }
}

constexpr const char* kRepeatSong[15] = {"................", "................", "..........b.....", "..bbbbbbbbbb....",
                                         ".bbbbbbbbbbbb...", ".bb.......b.bb..", ".bb....k.....bb.", ".bb...kk.....bb.",
                                         ".bb....k.....bb.", ".bb....k.....bb.", "..bb.b.kk.bbbb..", "...bbbbbbbbbb...",
                                         ".....b..........", "................", "................"};

constexpr const char* kRepeatList[15] = {"................", "................", "..........b.....", "..bbbbbbbbbb....",
                                         ".bbbbbbbbbbbb...", ".bb.......b.bb..", ".bb..........bb.", ".bb..........bb.",
                                         ".bb..........bb.", ".bb..........bb.", "..bb.b....bbbb..", "...bbbbbbbbbb...",
                                         ".....b..........", "................", "................"};

constexpr const char* kPlayList[15] = {"................", "................", "................", "........b.....bb",
                                       "........bb....bb", "........bbb...bb", ".bbbbbbbbbbb..bb", ".bbbbbbbbbbbb.bb",
                                       ".bbbbbbbbbbb..bb", "........bbb...bb", "........bb....bb", "........b.....bb",
                                       "................", "................", "................"};

constexpr const char* kInfo[15] = {"................", ".....kkkkkk.....", "...kkbbbbbbkk...", "..kbbbbwwbbbbk..",
                                   "..kbbbbwwbbbbk..", ".kbbbbbbbbbbbbk.", ".kbbbbwwwbbbbbk.", ".kbbbbbwwbbbbbk.",
                                   ".kbbbbbwwbbbbbk.", ".kbbbbbwwbbbbbk.", "..kbbbbwwbbbbk..", "..kbbbwwwwbbbk..",
                                   "...kkbbbbbbkk...", ".....kkkkkk.....", "................"};

constexpr const char* kList[15] = {"................", "................", ".bb.gggggggggg..", ".bb.gggggggggg..",
                                   "................", "................", ".bb.gggggggggg..", ".bb.gggggggggg..",
                                   "................", "................", ".bb.gggggggggg..", ".bb.gggggggggg..",
                                   "................", "................", "................"};

constexpr const char* kHeard[15] = {"................", "................", "................", "....kk..........",
                                    "....kbkk........", "....kbbbkk......", "....kbbbbbkk....", "....kbbbbbbbk...",
                                    "....kbbbbbkk....", "....kbbbkk......", "....kbkk........", "....kk..........",
                                    "................", "................", "................"};

constexpr const char* kBad[15] = {"................", "................", "................", "....rr....rr....",
                                  ".....rr..rr.....", "......rrrr......", ".......rr.......", "......rrrr......",
                                  ".....rr..rr.....", "....rr....rr....", "................", "................",
                                  "................", "................", "................"};

// Rows of a pattern, the heard one lit.
constexpr const char* kPattern[15] = {"................", "kkkkkkkkkkkkkkkk", "kwgg.b.r.gg.b.rk", "k..............k",
                                      "kwgg.b.r.gg.b.rk", "k..............k", "kbbbbbbbbbbbbbbk", "kbwwbwbwbwwbwbwk",
                                      "kbbbbbbbbbbbbbbk", "k..............k", "kwgg.b.r.gg.b.rk", "k..............k",
                                      "kwgg.b.r.gg.b.rk", "kkkkkkkkkkkkkkkk", "................"};

QPixmap Draw(const char* const (&rows)[15]) {
  QImage image(16, 15, QImage::Format_ARGB32);
  for (int y = 0; y < 15; ++y)
    for (int x = 0; x < 16; ++x) image.setPixelColor(x, y, Colour(rows[y][x]));
  return QPixmap::fromImage(image);
}

}  // namespace

QPixmap IconPixmap(Icon icon) {
  switch (icon) {
    case Icon::kRepeatSong: return Draw(kRepeatSong);
    case Icon::kPlayList: return Draw(kPlayList);
    case Icon::kRepeatList: return Draw(kRepeatList);
    case Icon::kInfo: return Draw(kInfo);
    case Icon::kList: return Draw(kList);
    case Icon::kHeard: return Draw(kHeard);
    case Icon::kBad: return Draw(kBad);
    case Icon::kPattern: return Draw(kPattern);
  }
  return {};
}
