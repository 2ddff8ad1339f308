// The pixel art of the window's newer buttons and of the list, drawn in the
// toolbar's 16 x 15 grid and colours.
#pragma once

#include <QPixmap>

enum class Icon { kRepeatSong, kPlayList, kRepeatList, kInfo, kList, kHeard, kBad, kPattern };

QPixmap IconPixmap(Icon icon);
