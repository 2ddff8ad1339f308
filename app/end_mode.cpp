#include "end_mode.h"

QString EndModeKey(EndMode mode) {
  switch (mode) {
    case EndMode::kRepeatSong: return QStringLiteral("song");
    case EndMode::kPlayList: return QStringLiteral("none");
    case EndMode::kRepeatList: return QStringLiteral("list");
  }
  return {};
}

std::optional<EndMode> ParseEndMode(const QString& key) {
  for (const EndMode mode : {EndMode::kRepeatSong, EndMode::kPlayList, EndMode::kRepeatList})
    if (key == EndModeKey(mode)) return mode;
  return std::nullopt;
}

QString EndModeName(EndMode mode) {
  switch (mode) {
    case EndMode::kRepeatSong: return QStringLiteral("Repeat song");
    case EndMode::kPlayList: return QStringLiteral("Play list");
    case EndMode::kRepeatList: return QStringLiteral("Repeat list");
  }
  return {};
}

EndMode NextEndMode(EndMode mode) {
  switch (mode) {
    case EndMode::kRepeatSong: return EndMode::kPlayList;
    case EndMode::kPlayList: return EndMode::kRepeatList;
    case EndMode::kRepeatList: return EndMode::kRepeatSong;
  }
  return EndMode::kRepeatSong;
}
