#include "pattern_notation.h"

namespace {

constexpr char kHex[] = "0123456789ABCDEF";
constexpr char kNoteNames[] = "C-C#D-D#E-F-F#G-G#A-A#B-";
// The volume column's kinds from 6x on, one letter each.
constexpr char kVolumeKinds[] = "-+DUSVPLRM";

void NoteText(std::uint8_t note, char* out) {
  if (note == 0) {
    out[0] = out[1] = out[2] = '.';
  } else if (note > kNoteCount) {  // 97 and above play as key off
    out[0] = out[1] = out[2] = '=';
  } else {
    const int n = note - 1;
    out[0] = kNoteNames[2 * (n % 12)];
    out[1] = kNoteNames[2 * (n % 12) + 1];
    out[2] = static_cast<char>('0' + n / 12);
  }
}

void VolumeText(std::uint8_t v, char* out) {
  if (v >= 0x10 && v <= 0x50) {
    HexByte(v - 0x10u, out);
  } else if (v >= 0x60) {
    out[0] = kVolumeKinds[(v >> 4) - 6];
    out[1] = kHex[v & 15];
  } else {
    out[0] = out[1] = '.';
  }
}

void EffectText(std::uint8_t effect, std::uint8_t parameter, char* out) {
  if (effect == 0 && parameter == 0) {
    out[0] = out[1] = out[2] = '.';
    return;
  }
  out[0] = effect < 10 ? static_cast<char>('0' + effect) : effect < 36 ? static_cast<char>('A' + effect - 10) : '?';
  HexByte(parameter, out + 1);
}

}  // namespace

void HexByte(std::uint32_t value, char* out) {
  out[0] = kHex[(value >> 4) & 15];
  out[1] = kHex[value & 15];
}

void CellText(const Cell& cell, char* out) {
  NoteText(cell.note, out + kNoteAt);
  out[3] = ' ';
  if (cell.instrument == 0)
    out[kInstrumentAt] = out[kInstrumentAt + 1] = '.';
  else
    HexByte(cell.instrument, out + kInstrumentAt);
  out[6] = ' ';
  VolumeText(cell.volumeColumn, out + kVolumeAt);
  out[9] = ' ';
  EffectText(cell.effect, cell.parameter, out + kEffectAt);
}

std::string CellString(const Cell& cell) {
  std::string text(kCellChars, ' ');
  CellText(cell, text.data());
  return text;
}
