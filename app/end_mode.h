// What happens where a song ends: it loops for ever (the original
// behaviour), the list goes on to the next entry and stops after the last,
// or the list goes round for ever.
#pragma once

#include <QString>
#include <optional>

enum class EndMode { kRepeatSong, kPlayList, kRepeatList };

// "song", "none" and "list", as the command line and the settings name
// the modes.
QString EndModeKey(EndMode mode);
std::optional<EndMode> ParseEndMode(const QString& key);
// "Repeat song", "Play list", "Repeat list".
QString EndModeName(EndMode mode);
// The mode the button goes to next.
EndMode NextEndMode(EndMode mode);
