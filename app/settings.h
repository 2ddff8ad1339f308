// What the window remembers between runs: volume, mute, the effect and its
// setting, the song end mode, the open dialog's folder, whether the list is
// open, the list and its heard entry, whether the pattern view is open and
// where. Kept in the desktop's configuration
// folder and written the moment something changes; every write goes to a
// new file that then takes the old one's name, so a crash leaves either the
// old settings or the new ones, never half of them.
#pragma once

#include <QByteArray>
#include <QList>
#include <QRect>
#include <QString>
#include <memory>

#include "end_mode.h"

class QSettings;

struct RememberedState {
  int volume = 100000;  // the volume slider's position, 1..100,000
  bool muted = false;
  enum class Effect { kOff, kEqualizer, kGargle } effect = Effect::kOff;
  int equalizerGain = 0;  // dB, -15..15
  int gargleRate = 20;    // Hz, 1..1000
  EndMode endMode = EndMode::kRepeatSong;
  QString lastFolder;
  bool listOpen = false;
  QList<QByteArray> list;  // file-system paths
  int heardEntry = -1;     // index into list; -1: none
  bool patternOpen = false;
  QRect patternGeometry;  // null: not placed yet
};

class Settings {
 public:
  // file empty, or a name that is no plain file (a folder, a pipe, a
  // device): nothing is read or written.
  explicit Settings(const QString& file);
  ~Settings();
  Settings(const Settings&) = delete;
  Settings& operator=(const Settings&) = delete;

  // zevora/zevora.conf in the desktop's configuration folder.
  static QString DefaultFile();

  // What was read: every value that was missing, of the wrong kind or out
  // of range is its default; a file that could not be parsed gives all
  // defaults (and is kept beside as FILE.damaged, or FILE.damaged.2 and on
  // where an earlier one is kept; where no copy can be made, the file is
  // left as it is and nothing is written).
  const RememberedState& State() const { return state_; }
  bool WasDamaged() const { return damaged_; }
  QString File() const;

  // Each writes at once, when the value is another than it was.
  void SetVolume(int position);
  void SetMuted(bool muted);
  void SetEffect(RememberedState::Effect effect);
  void SetEqualizerGain(int db);
  void SetGargleRate(int hz);
  void SetEndMode(EndMode mode);
  void SetLastFolder(const QString& folder);
  void SetListOpen(bool open);
  void SetList(const QList<QByteArray>& paths, int heardEntry);
  void SetHeardEntry(int index);
  void SetPatternOpen(bool open);
  void SetPatternGeometry(const QRect& geometry);

 private:
  void Read();
  void Write(const char* key, const QVariant& value);
  void Sync();

  std::unique_ptr<QSettings> settings_;
  RememberedState state_;
  bool damaged_ = false;
};
