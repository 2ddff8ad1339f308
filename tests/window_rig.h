// What the window tests share: modules written to a folder, renders to
// compare captures with, and the sound card's side of a memory buffer.
#pragma once

#include <QByteArray>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <initializer_list>
#include <thread>
#include <vector>

#include "main_window.h"
#include "memory_sound_buffer.h"
#include "player.h"
#include "playlist.h"
#include "song_scan.h"
#include "xm_writer.h"

namespace window_rig {

using Pcm = std::vector<std::int16_t>;

// Writes the module into the folder; its path, or empty on failure.
inline QByteArray Write(const QTemporaryDir& dir, const QByteArray& name, const XmModule& module) {
  const QByteArray path = QFile::encodeName(dir.path()) + "/" + name;
  const std::vector<std::uint8_t> bytes = module.Build();
  QFile file(QFile::decodeName(path));
  if (!file.open(QIODevice::WriteOnly)) return {};
  file.write(reinterpret_cast<const char*>(bytes.data()), static_cast<qint64>(bytes.size()));
  return path;
}

inline Song* LoadPath(const QByteArray& path) {
  Song* song = CreateSong();
  if (!LoadSong(*song, path.constData(), 0, kSourceFile)) {
    DestroySong(song);
    return nullptr;
  }
  return song;
}

// `frames` frames of the song from `from` on, with the channels of `muted`
// muted: what playing it through from its start gives there.
inline Pcm Render(const QByteArray& path, std::uint64_t from, std::uint64_t frames, std::uint32_t muted = 0) {
  Song* song = LoadPath(path);
  if (song == nullptr) return {};
  song->mutedChannels = muted;
  SeekSong(*song, from);
  Pcm out(2 * frames);
  for (std::uint64_t done = 0; done < frames;) {
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(frames - done, 1u << 20));
    ReadSongFrames(*song, out.data() + 2 * done, n);
    done += n;
  }
  DestroySong(song);
  return out;
}

// The frames of one pass (0: the song has no end).
inline std::uint64_t OnePass(const QByteArray& path) {
  Song* song = LoadPath(path);
  if (song == nullptr) return 0;
  const SongScan scan = ScanSong(*song, 1);
  DestroySong(song);
  return scan.Ended() ? scan.passEnds[0] : 0;
}

inline Pcm Cat(std::initializer_list<Pcm> parts) {
  Pcm out;
  for (const Pcm& part : parts) out.insert(out.end(), part.begin(), part.end());
  return out;
}

// The first frame where two captures differ (their shorter length when
// none does), for messages.
inline QByteArray FirstDifference(const Pcm& got, const Pcm& want) {
  std::size_t i = 0;
  while (i < got.size() && i < want.size() && got[i] == want[i]) ++i;
  return QByteArray::number(static_cast<qulonglong>(i / 2)) + " of " +
         QByteArray::number(static_cast<qulonglong>(want.size() / 2)) + " frames (" +
         QByteArray::number(static_cast<qulonglong>(got.size() / 2)) + " taken)";
}

// Waits until the streaming thread has written `unlocks` blocks in all.
inline void WaitForBlocks(MemorySoundBuffer& buffer, int unlocks) {
  for (int i = 0; i < 2000 && buffer.UnlockCount() < unlocks; ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
}

// The sound card's side: takes frames at the play cursor, block by block
// (`step` is told the frames of each piece); every ten blocks it waits for
// the streaming thread to render the blocks taken again, and lets the
// window follow (as its timer does ten times a second). Stops early when
// the buffer stops.
template <typename Step>
Pcm Take(MemorySoundBuffer& buffer, MainWindow& window, std::uint64_t frames, Step step) {
  Pcm out;
  out.reserve(2 * frames);
  const auto* ring = reinterpret_cast<const std::int16_t*>(buffer.Ring());
  int crossed = 0;
  int base = buffer.UnlockCount();
  while (frames > 0 && buffer.Playing()) {
    const std::uint32_t at = buffer.PlayCursor() / kBytesPerFrame;
    const std::uint32_t toBoundary = kBlockFrames - at % kBlockFrames;
    const auto n = static_cast<std::uint32_t>(std::min<std::uint64_t>(toBoundary, frames));
    out.insert(out.end(), ring + 2 * at, ring + 2 * (at + n));
    buffer.AdvancePlayCursorWhilePlaying(n * kBytesPerFrame);
    frames -= n;
    step(n);
    if (n == toBoundary && ++crossed == 10) {
      WaitForBlocks(buffer, base + crossed);
      crossed = 0;
      window.OnFollowTimer();
      base = buffer.UnlockCount();
    }
  }
  WaitForBlocks(buffer, base + crossed);
  return out;
}

// Waits until the list's background readers have read every entry.
// Waits as long as the background reading takes, up to a minute: a song
// without an end is read through a million rows, which takes seconds under
// the thread sanitizer on a busy machine.
inline void WaitForScans(MainWindow& window) {
  QElapsedTimer waited;
  waited.start();
  while (window.List().Pending() > 0 && waited.elapsed() < 60000) QTest::qWait(5);
  QCoreApplication::processEvents();
}

inline Pcm Take(MemorySoundBuffer& buffer, MainWindow& window, std::uint64_t frames) {
  return Take(buffer, window, frames, [](std::uint32_t) {});
}

}  // namespace window_rig
