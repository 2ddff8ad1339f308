#include "xm_writer.h"

#include <cstring>

namespace {

void Put16(std::vector<std::uint8_t>& out, std::uint32_t v) {
  out.push_back(static_cast<std::uint8_t>(v));
  out.push_back(static_cast<std::uint8_t>(v >> 8));
}
void Put32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  Put16(out, v & 0xFFFF);
  Put16(out, v >> 16);
}
void PutText(std::vector<std::uint8_t>& out, const std::string& text, std::size_t size) {
  for (std::size_t i = 0; i < size; ++i) out.push_back(i < text.size() ? static_cast<std::uint8_t>(text[i]) : 0);
}

std::vector<std::uint8_t> Pack(const XmPattern& p, std::uint16_t channels) {
  if (p.packed) return *p.packed;
  std::vector<std::uint8_t> out;
  for (std::size_t i = 0; i < static_cast<std::size_t>(p.rows) * channels; ++i) {
    const Cell c = i < p.cells.size() ? p.cells[i] : Cell{};
    const std::uint8_t fields[5] = {c.note, c.instrument, c.volumeColumn, c.effect, c.parameter};
    std::uint8_t flags = 0x80;
    for (int b = 0; b < 5; ++b)
      if (fields[b]) flags = static_cast<std::uint8_t>(flags | (1 << b));
    out.push_back(flags);
    for (int b = 0; b < 5; ++b)
      if (fields[b]) out.push_back(fields[b]);
  }
  return out;
}

void PutEnvelope(std::vector<std::uint8_t>& out, const std::vector<std::pair<std::uint16_t, std::uint16_t>>& points) {
  for (std::size_t i = 0; i < 12; ++i) {
    Put16(out, i < points.size() ? points[i].first : 0);
    Put16(out, i < points.size() ? points[i].second : 0);
  }
}

}  // namespace

Cell& XmModule::At(std::size_t pattern, std::uint16_t row, std::uint16_t channel) {
  XmPattern& p = patterns.at(pattern);
  p.cells.resize(static_cast<std::size_t>(p.rows) * channels);
  return p.cells.at(static_cast<std::size_t>(row) * channels + channel);
}

std::vector<std::uint8_t> XmModule::Build() const {
  std::vector<std::uint8_t> out;
  PutText(out, id, 17);
  PutText(out, title, 20);
  out.push_back(0x1A);
  PutText(out, tracker, 20);
  Put16(out, 0x0104);
  Put32(out, headerSize);
  Put16(out, songLength.value_or(static_cast<std::uint16_t>(orders.size())));
  Put16(out, restart);
  Put16(out, channels);
  Put16(out, patternCount.value_or(static_cast<std::uint16_t>(patterns.size())));
  Put16(out, static_cast<std::uint16_t>(instruments.size()));
  Put16(out, flags);
  Put16(out, tempo);
  Put16(out, bpm);
  for (std::size_t i = 0; i < 256; ++i) out.push_back(i < orders.size() ? orders[i] : 0);
  out.resize(60 + headerSize, 0);

  const std::uint16_t usedChannels = channels;
  for (const XmPattern& p : patterns) {
    const std::vector<std::uint8_t> data = Pack(p, usedChannels);
    Put32(out, p.headerLength);
    out.push_back(0);
    Put16(out, p.rows);
    Put16(out, p.packedSize.value_or(static_cast<std::uint16_t>(data.size())));
    if (p.headerLength > 9 && p.headerLength < 65536) out.resize(out.size() + p.headerLength - 9, 0xEE);  // extra header bytes
    out.insert(out.end(), data.begin(), data.end());
  }

  for (const XmInstrument& in : instruments) {
    const std::size_t start = out.size();
    Put32(out, in.headerSize);
    PutText(out, in.name, 22);
    out.push_back(0);
    Put16(out, in.sampleCount.value_or(static_cast<std::uint16_t>(in.samples.size())));
    Put32(out, 40);
    out.insert(out.end(), in.noteSampleMap, in.noteSampleMap + 96);
    PutEnvelope(out, in.volumeEnvelope);
    PutEnvelope(out, in.panningEnvelope);
    out.push_back(in.volumePoints.value_or(static_cast<std::uint8_t>(in.volumeEnvelope.size())));
    out.push_back(in.panningPoints.value_or(static_cast<std::uint8_t>(in.panningEnvelope.size())));
    out.push_back(in.volumeSustain);
    out.push_back(in.volumeLoopStart);
    out.push_back(in.volumeLoopEnd);
    out.push_back(in.panningSustain);
    out.push_back(in.panningLoopStart);
    out.push_back(in.panningLoopEnd);
    out.push_back(in.volumeFlags);
    out.push_back(in.panningFlags);
    out.push_back(in.vibratoType);
    out.push_back(in.vibratoSweep);
    out.push_back(in.vibratoDepth);
    out.push_back(in.vibratoRate);
    Put16(out, in.fadeout);
    out.resize(start + in.headerSize, 0);

    std::vector<std::uint8_t> data;
    for (const XmSample& s : in.samples) {
      const std::uint32_t unit = s.is16Bit ? 2 : 1;
      Put32(out, s.byteLength.value_or(static_cast<std::uint32_t>(s.frames.size()) * unit));
      Put32(out, s.byteLoopStart.value_or(s.loopStart * unit));
      Put32(out, s.byteLoopLength.value_or(s.loopLength * unit));
      out.push_back(s.volume);
      out.push_back(static_cast<std::uint8_t>(s.finetune));
      out.push_back(static_cast<std::uint8_t>(s.loopKind | (s.is16Bit ? 0x10 : 0)));
      out.push_back(s.panning);
      out.push_back(static_cast<std::uint8_t>(s.relativeNote));
      out.push_back(0);
      PutText(out, s.name, 22);
      std::vector<std::uint8_t> bytes;
      int previous = 0;
      for (int f : s.frames) {
        const int delta = f - previous;
        previous = f;
        if (s.is16Bit)
          Put16(bytes, static_cast<std::uint16_t>(delta));
        else
          bytes.push_back(static_cast<std::uint8_t>(delta));
      }
      if (s.dataBytes) bytes.resize(*s.dataBytes, 0);
      data.insert(data.end(), bytes.begin(), bytes.end());
    }
    out.insert(out.end(), data.begin(), data.end());
  }
  return out;
}

XmSample LoopedSample(std::uint32_t length) {
  XmSample s;
  for (std::uint32_t i = 0; i < length; ++i) s.frames.push_back(i < length / 2 ? 64 : -64);
  s.loopKind = 1;
  s.loopStart = 0;
  s.loopLength = length;
  return s;
}

XmModule OneInstrumentModule(const XmSample& sample, std::uint16_t channels) {
  XmModule m;
  m.channels = channels;
  m.patterns.resize(1);
  XmInstrument in;
  in.samples.push_back(sample);
  m.instruments.push_back(in);
  return m;
}
