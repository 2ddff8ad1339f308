#include "module_json.h"

#include <sstream>

#include "module.h"

namespace {

void Envelope(std::ostringstream& out, const char* name, const EnvelopePoint* points, unsigned count, unsigned flags,
              unsigned sustain, unsigned loopStart, unsigned loopEnd) {
  out << "\"" << name << "\":{\"flags\":" << flags << ",\"on\":" << ((flags & 1) ? "true" : "false")
      << ",\"sustain\":" << sustain << ",\"loopStart\":" << loopStart << ",\"loopEnd\":" << loopEnd << ",\"points\":[";
  for (unsigned i = 0; i < count && i < kEnvelopePoints; ++i)
    out << (i ? "," : "") << "[" << points[i].x << "," << points[i].y << "]";
  out << "]}";
}

}  // namespace

std::string ModuleJson() {
  const ModuleState& m = moduleState;
  std::ostringstream out;
  out << "{\"channels\":" << m.channelCount << ",\"songLength\":" << m.songLength
      << ",\"restartPosition\":" << m.restartPosition << ",\"patternCount\":" << m.patternCount
      << ",\"instrumentCount\":" << m.instrumentCount << ",\"linear\":" << ((m.flags & 1) ? "true" : "false")
      << ",\"tempo\":" << m.defaultTempo << ",\"bpm\":" << m.defaultBpm << ",\"orders\":[";
  for (unsigned o = 0; o < m.songLength; ++o) out << (o ? "," : "") << static_cast<unsigned>(m.orderTable[o]);
  out << "],\"patterns\":[";
  for (unsigned p = 0; p < m.patternCount; ++p)
    out << (p ? "," : "") << "{\"rows\":" << m.patternTable[p].rowCount
        << ",\"packedSize\":" << m.patternTable[p].packedSize << "}";
  out << "],\"instruments\":[";
  for (unsigned i = 0; i < m.instrumentCount; ++i) {
    const Instrument& in = m.instruments[i];
    out << (i ? "," : "") << "{\"sampleCount\":" << in.sampleCount << ",";
    Envelope(out, "volumeEnvelope", in.volumeEnvelope, in.volumePointCount, in.volumeEnvelopeFlags,
             in.volumeSustainPoint, in.volumeLoopStart, in.volumeLoopEnd);
    out << ",";
    Envelope(out, "panningEnvelope", in.panningEnvelope, in.panningPointCount, in.panningEnvelopeFlags,
             in.panningSustainPoint, in.panningLoopStart, in.panningLoopEnd);
    out << ",\"autoVibrato\":{\"type\":" << unsigned{in.autoVibratoType}
        << ",\"sweep\":" << unsigned{in.autoVibratoSweep} << ",\"depth\":" << unsigned{in.autoVibratoDepth}
        << ",\"rate\":" << unsigned{in.autoVibratoRate} << "},\"fadeout\":" << in.fadeout << ",\"samples\":[";
    for (unsigned s = 0; s < in.sampleCount && s < kMaxSamplesPerInstrument; ++s) {
      const Sample& sm = *in.samples[s];
      out << (s ? "," : "") << "{\"length\":" << sm.length << ",\"loopStart\":" << sm.loopStart
          << ",\"loopLength\":" << sm.loopLength << ",\"loopKind\":" << unsigned{sm.loopKind}
          << ",\"volume\":" << unsigned{sm.volume} << ",\"finetune\":" << int{sm.finetune}
          << ",\"panning\":" << unsigned{sm.panning} << ",\"relativeNote\":" << int{sm.relativeNote}
          << ",\"is16Bit\":" << (sm.is16Bit ? "true" : "false") << "}";
    }
    out << "]}";
  }
  out << "]}";
  return out.str();
}
