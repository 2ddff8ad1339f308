#include "song_info.h"

#include <fcntl.h>
#include <locale.h>
#include <string.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QFile>
#include <cerrno>
#include <cstring>
#include <new>

#include "module.h"
#include "module_json.h"
#include "sources.h"

namespace {

// Beside the control characters, what would make a name show as other
// text in the window: line and paragraph separators (a new line in the
// info panel) and the bidirectional embeddings, overrides and isolates
// (the rest of the name shown backwards).
bool Hidden(QChar c) {
  switch (c.category()) {
    case QChar::Separator_Line:
    case QChar::Separator_Paragraph: return true;
    default: break;
  }
  switch (c.direction()) {
    case QChar::DirLRE:
    case QChar::DirRLE:
    case QChar::DirLRO:
    case QChar::DirRLO:
    case QChar::DirPDF:
    case QChar::DirLRI:
    case QChar::DirRLI:
    case QChar::DirFSI:
    case QChar::DirPDI: return true;
    default: return false;
  }
}

QString Safe(const std::string& bytes, NameEncoding meant = NameEncoding::kLatin1) {
  QString text = QString::fromStdString(TerminalText(bytes, meant));
  for (QChar& c : text)
    if (Hidden(c)) c = QLatin1Char('?');
  return text;
}

}  // namespace

QString ModuleText(const char* bytes, std::size_t size) {
  std::string text(bytes, ::strnlen(bytes, size));
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return Safe(text);
}

QString FileNameText(const QByteArray& path) {
  const int slash = path.lastIndexOf('/');
  return Safe((slash < 0 ? path : path.mid(slash + 1)).toStdString(), NameEncoding::kUtf8);
}

QString FormatMinutes(std::uint64_t frames) {
  const std::uint64_t s = frames / kSampleRate;
  return QString::asprintf("%llu:%02llu", static_cast<unsigned long long>(s / 60),
                           static_cast<unsigned long long>(s % 60));
}

SongHandle LoadSongFile(const QByteArray& path) {
  SongHandle handle;
  handle.song.reset(CreateSong());
  if (handle.song == nullptr) {
    handle.error = LoadError::kOutOfMemory;
  } else if (!LoadSong(*handle.song, path.constData(), 0, kSourceFile)) {
    handle.error = handle.song->loadError;
    handle.song.reset();
  }
  return handle;
}

QString LoadFailureReason(const QByteArray& path, LoadError error) {
  // Opened without blocking, as the loader opens it: a FIFO never holds the
  // scan.
  const int fd = ::open(path.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) {
    // The system's words for it in English, as the rest of the window's
    // texts and as zevora-cli gives them, whatever language the user's
    // locale (or LANGUAGE) asks for.
    const int error = errno;
    static const locale_t c = ::newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(nullptr));
    const char* text = c != static_cast<locale_t>(nullptr) ? ::strerror_l(error, c) : std::strerror(error);
    return QStringLiteral("cannot open (%1)").arg(QString::fromUtf8(text));
  }
  struct stat info {};
  QString reason;
  if (::fstat(fd, &info) == 0 && S_ISDIR(info.st_mode))
    reason = QStringLiteral("cannot open (is a directory)");
  else if (!S_ISREG(info.st_mode))
    reason = QStringLiteral("cannot open (not a regular file)");
  else
    reason = QString::fromLatin1(LoadErrorText(error));
  ::close(fd);
  return reason;
}

namespace {

SongInfo FactsOfSong(const Song& song, bool withNames) {
  SongInfo info;
  info.loaded = true;
  const ModuleState& m = song.module;
  info.title = ModuleText(song.title, sizeof song.title);
  info.tracker = ModuleText(song.tracker, sizeof song.tracker);
  info.channels = m.channelCount;
  info.patterns = m.patternCount;
  info.instruments = static_cast<int>(m.instrumentCount);
  const SongScan first = ScanSong(song, 1);
  info.hasEnd = first.Ended();
  if (info.hasEnd) {
    info.duration = first.passEnds[0];
    info.loopOrder = first.loopOrder;
    info.loopRow = first.loopRow;
    // The second pass and where the loop row starts: what the seek row
    // shows of a song that loops on.
    const SongScan two = ScanSong(song, 2, first.loopOrder, first.loopRow);
    if (two.rowFound) info.loopFrame = two.rowFrame;
    if (two.passEnds.size() >= 2) info.secondPass = two.passEnds[1] - two.passEnds[0];
  }
  if (withNames) {
    const ModuleNames names = NamesOf(song);
    for (std::size_t i = 0; i < m.instrumentCount; ++i) {
      SongInfo::Instrument instrument;
      if (i < names.instruments.size()) instrument.name = Safe(names.instruments[i]);
      const std::uint32_t samples = m.instruments[i].sampleCount;
      for (std::uint32_t k = 0; k < samples && k < kMaxSamplesPerInstrument; ++k)
        instrument.samples << (i < names.samples.size() && k < names.samples[i].size() ? Safe(names.samples[i][k])
                                                                                       : QString());
      info.names.push_back(std::move(instrument));
    }
  }
  return info;
}

}  // namespace

SongInfo InfoOfSong(const Song& song, bool withNames) {
  // The scan keeps every row start of a pass (tens of MB for a long one):
  // memory that runs short makes the file one that cannot be played, as
  // for a load, rather than ending the program.
  try {
    return FactsOfSong(song, withNames);
  } catch (const std::bad_alloc&) {
    SongInfo info;
    info.failure = QString::fromLatin1(LoadErrorText(LoadError::kOutOfMemory));
    return info;
  }
}

FileStamp StampOf(const QByteArray& path) {
  struct stat info {};
  if (::stat(path.constData(), &info) != 0) return {};
  return {static_cast<std::int64_t>(info.st_ino), static_cast<std::int64_t>(info.st_size),
          static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 + info.st_ctim.tv_nsec};
}

SongInfo ReadSongInfo(const QByteArray& path, bool withNames) {
  // Taken before the file is read: a change while it is read shows later.
  const FileStamp stamp = StampOf(path);
  const SongHandle song = LoadSongFile(path);
  SongInfo info;
  if (song.song == nullptr)
    info.failure = LoadFailureReason(path, song.error);
  else
    info = InfoOfSong(*song.song, withNames);
  info.stamp = stamp;
  return info;
}

std::uint64_t PassPosition(const SongInfo& info, std::uint64_t frame) {
  if (!info.hasEnd) return frame < kNoEndFrames ? frame : kNoEndFrames;
  if (frame < info.duration) return frame;
  if (info.secondPass == 0 || info.loopFrame >= info.duration) return info.duration;
  const std::uint64_t at = info.loopFrame + (frame - info.duration) % info.secondPass;
  return at < info.duration ? at : info.duration - 1;
}

std::uint64_t EndOfPassAfter(const Song& song, const SongInfo& info, std::uint64_t frame) {
  if (!info.hasEnd) return (frame / kNoEndFrames + 1) * kNoEndFrames;
  if (frame < info.duration) return info.duration;
  // Passes after the first may differ in length (tempo changes carry
  // over): scan as many as reach past the frame.
  const std::uint64_t period = info.secondPass != 0 ? info.secondPass : info.duration;
  std::uint32_t passes = static_cast<std::uint32_t>((frame - info.duration) / period + 3);
  for (int attempt = 0; attempt < 4; ++attempt, passes *= 2) {
    const std::optional<SongScan> scan = TryScanSong(song, passes);
    if (!scan) break;  // memory ran short: as for passes not found
    for (const std::uint64_t end : scan->passEnds)
      if (end > frame) return end;
    if (scan->passEnds.size() < passes) break;
  }
  return frame + period;
}
