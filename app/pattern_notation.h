// The tracker notation of a pattern cell, 13 characters: note, instrument,
// volume column, effect and parameter, e.g. "C#4 01 40 A0F".
//
//   note        C-0 .. B-7, === key off, ... none
//   instrument  01 .. 80 (hex), .. none
//   volume      00 .. 40  set volume (hex, as effect C and the instruments
//                         count it)
//               -x / +x   volume slide down / up (every tick but the first)
//               Dx / Ux   fine volume slide down / up (once)
//               Sx        vibrato speed
//               Vx        vibrato (depth)
//               Px        set panning (x * 16)
//               Lx / Rx   panning slide left / right
//               Mx        tone portamento (speed x * 16)
//               ..        none, and the bytes that do nothing (01..0F, 51..5F)
//   effect      0..9, A..F, then G, H, ... for 16, 17, ... (as trackers show
//               them: G global volume, K key off, X extra fine portamento),
//               with the parameter in hex: A0F, E61, G40; ... none (0 with a
//               parameter of 00, which does nothing); ? for numbers past Z.
#pragma once

#include <cstdint>
#include <string>

#include "module.h"

constexpr int kCellChars = 13;
// Where each part starts in the cell's text.
constexpr int kNoteAt = 0, kInstrumentAt = 4, kVolumeAt = 7, kEffectAt = 10;

// Writes the cell's 13 characters (no terminating zero).
void CellText(const Cell& cell, char* out);
std::string CellString(const Cell& cell);

// The two hex digits of a number 0..255.
void HexByte(std::uint32_t value, char* out);
