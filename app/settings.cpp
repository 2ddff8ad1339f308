#include "settings.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSettings>
#include <QStandardPaths>
#include <algorithm>
#include <limits>

namespace {

// Far above what the window writes for any list (a hundred thousand
// entries take a few megabytes): a larger file is read whole by QSettings,
// so it is taken for damaged (a sparse or runaway file) and never read.
constexpr qint64 kMaxSettingsBytes = qint64{256} << 20;

const char* EffectKey(RememberedState::Effect effect) {
  switch (effect) {
    case RememberedState::Effect::kEqualizer: return "equalizer";
    case RememberedState::Effect::kGargle: return "gargle";
    case RememberedState::Effect::kOff: break;
  }
  return "off";
}

// The value at key as an integer in [low, high], else `fallback`.
int IntIn(const QSettings& settings, const char* key, int low, int high, int fallback) {
  const QVariant value = settings.value(QLatin1String(key));
  bool ok = false;
  const qlonglong n = value.toLongLong(&ok);
  return ok && n >= low && n <= high ? static_cast<int>(n) : fallback;
}

bool BoolOr(const QSettings& settings, const char* key, bool fallback) {
  const QString text = settings.value(QLatin1String(key)).toString();
  if (text == QLatin1String("true")) return true;
  if (text == QLatin1String("false")) return false;
  return fallback;
}

// What this window writes is text; a file with bytes no text has (zero
// bytes, broken UTF-8) was damaged, however much of it parses.
bool IsText(const QString& file) {
  QFile in(file);
  if (!in.open(QIODevice::ReadOnly)) return true;  // missing, or not for reading: nothing damaged
  const QByteArray bytes = in.read(1 << 24);
  return !bytes.contains('\0') && QString::fromUtf8(bytes).toUtf8() == bytes;
}

// Keeps a damaged file beside it under the first free name of
// FILE.damaged, FILE.damaged.2, ... (an earlier damaged copy is kept too)
// and leaves FILE empty or gone. A link stays a link: the file it names is
// copied aside and emptied. False where no copy could be made.
bool PutAside(const QString& file) {
  QString aside;
  for (int n = 1; n <= 100 && aside.isEmpty(); ++n) {
    const QString name = file + QStringLiteral(".damaged") + (n == 1 ? QString() : QStringLiteral(".%1").arg(n));
    if (!QFileInfo(name).exists() && !QFileInfo(name).isSymLink()) aside = name;
  }
  if (aside.isEmpty()) return false;
  if (!QFileInfo(file).isSymLink() && QFile::rename(file, aside)) return true;
  QFile target(file);
  return QFile::copy(file, aside) && target.open(QIODevice::WriteOnly | QIODevice::Truncate);
}

}  // namespace

Settings::Settings(const QString& file) {
  if (file.isEmpty()) return;
  // Only a plain file (or a link to one) holds settings: reading a pipe
  // waits for a writer that never comes, and a device never ends. Such a
  // name, or a folder, is left alone: nothing is read or written.
  const QFileInfo kind(file);
  if (kind.exists() && !kind.isFile()) return;
  const bool huge = kind.exists() && kind.size() > kMaxSettingsBytes;
  if (!huge) settings_ = std::make_unique<QSettings>(file, QSettings::IniFormat);
  if (huge || settings_->status() == QSettings::FormatError || !IsText(file)) {
    // Whatever could be parsed of a damaged file is not trusted, and the
    // next write would carry its remains on: it is put aside and the
    // settings start again from their defaults.
    damaged_ = true;
    settings_.reset();
    // Without a copy put aside, the file stays as it is and nothing is
    // written over it: the user's list is never lost to a damaged byte.
    if (PutAside(file)) settings_ = std::make_unique<QSettings>(file, QSettings::IniFormat);
    return;
  }
  Read();
}

Settings::~Settings() = default;

QString Settings::DefaultFile() {
  QString folder = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
  // A relative XDG_CONFIG_HOME names no place (the desktop's rules for
  // these folders say to ignore it): taken as it is, the settings would be
  // another file in each folder the window is started from.
  if (QDir::isRelativePath(folder)) folder = QDir::homePath() + QStringLiteral("/.config");
  return folder + QStringLiteral("/zevora/zevora.conf");
}

QString Settings::File() const { return settings_ ? settings_->fileName() : QString(); }

void Settings::Read() {
  QSettings& s = *settings_;
  RememberedState& r = state_;
  r.volume = IntIn(s, "volume", 1, 100000, r.volume);
  r.muted = BoolOr(s, "muted", r.muted);
  const QString effect = s.value(QStringLiteral("effect")).toString();
  for (const auto e :
       {RememberedState::Effect::kOff, RememberedState::Effect::kEqualizer, RememberedState::Effect::kGargle})
    if (effect == QLatin1String(EffectKey(e))) r.effect = e;
  r.equalizerGain = IntIn(s, "equalizerGain", -15, 15, r.equalizerGain);
  r.gargleRate = IntIn(s, "gargleRate", 1, 1000, r.gargleRate);
  if (const auto mode = ParseEndMode(s.value(QStringLiteral("endMode")).toString())) r.endMode = *mode;
  const QVariant folder = s.value(QStringLiteral("lastFolder"));
  if (folder.typeId() == QMetaType::QString) r.lastFolder = folder.toString();
  r.listOpen = BoolOr(s, "listOpen", r.listOpen);
  // The heard entry counts the entries as written: it is found among them
  // before any that are left out, so that it still names the same file.
  const int heard = IntIn(s, "heardEntry", -1, std::numeric_limits<int>::max(), -1);
  const int size = s.beginReadArray(QStringLiteral("list"));
  // The entries the file holds, however many, in order; a count far above
  // them (a damaged or made-up file) is not gone through one by one.
  QList<int> present;
  for (const QString& group : s.childGroups()) {
    bool ok = false;
    const int n = group.toInt(&ok);
    if (ok && n >= 1 && n <= size && group == QString::number(n)) present << n - 1;
  }
  std::sort(present.begin(), present.end());
  for (const int i : present) {
    s.setArrayIndex(i);
    const QVariant path = s.value(QStringLiteral("path"));
    // Only absolute paths: anything else is not a name this window wrote.
    const QByteArray bytes = path.typeId() == QMetaType::QByteArray ? path.toByteArray() : QByteArray();
    if (!bytes.startsWith('/') || bytes.contains('\0')) continue;
    if (i == heard) r.heardEntry = static_cast<int>(r.list.size());
    r.list << bytes;
  }
  s.endArray();
  r.patternOpen = BoolOr(s, "patternOpen", r.patternOpen);
  // A place on any screen the desktop may have, of a size a window can be.
  const QVariant geometry = s.value(QStringLiteral("patternGeometry"));
  const QRect rect = geometry.typeId() == QMetaType::QRect ? geometry.toRect() : QRect();
  // (Compared as they are: std::abs of the least int is that int again.)
  const auto near = [](int at) { return at >= -65536 && at <= 65536; };
  if (rect.width() >= 100 && rect.height() >= 100 && rect.width() <= 32768 && rect.height() <= 32768 &&
      near(rect.x()) && near(rect.y()))
    r.patternGeometry = rect;
}

void Settings::Sync() {
  // Written at once (QSettings writes a new file and renames it over the
  // old one).
  settings_->sync();
}

void Settings::Write(const char* key, const QVariant& value) {
  if (!settings_) return;
  settings_->setValue(QLatin1String(key), value);
  Sync();
}

void Settings::SetVolume(int position) {
  if (state_.volume == position) return;
  state_.volume = position;
  Write("volume", position);
}

void Settings::SetMuted(bool muted) {
  if (state_.muted == muted) return;
  state_.muted = muted;
  Write("muted", muted);
}

void Settings::SetEffect(RememberedState::Effect effect) {
  if (state_.effect == effect) return;
  state_.effect = effect;
  Write("effect", QLatin1String(EffectKey(effect)));
}

void Settings::SetEqualizerGain(int db) {
  if (state_.equalizerGain == db) return;
  state_.equalizerGain = db;
  Write("equalizerGain", db);
}

void Settings::SetGargleRate(int hz) {
  if (state_.gargleRate == hz) return;
  state_.gargleRate = hz;
  Write("gargleRate", hz);
}

void Settings::SetEndMode(EndMode mode) {
  if (state_.endMode == mode) return;
  state_.endMode = mode;
  Write("endMode", EndModeKey(mode));
}

void Settings::SetLastFolder(const QString& folder) {
  if (state_.lastFolder == folder) return;
  state_.lastFolder = folder;
  Write("lastFolder", folder);
}

void Settings::SetListOpen(bool open) {
  if (state_.listOpen == open) return;
  state_.listOpen = open;
  Write("listOpen", open);
}

void Settings::SetList(const QList<QByteArray>& paths, int heardEntry) {
  state_.list = paths;
  state_.heardEntry = heardEntry;
  if (!settings_) return;
  settings_->remove(QStringLiteral("list"));
  settings_->beginWriteArray(QStringLiteral("list"), static_cast<int>(paths.size()));
  for (int i = 0; i < paths.size(); ++i) {
    settings_->setArrayIndex(i);
    settings_->setValue(QStringLiteral("path"), paths[i]);
  }
  settings_->endArray();
  settings_->setValue(QStringLiteral("heardEntry"), heardEntry);
  Sync();
}

void Settings::SetPatternOpen(bool open) {
  if (state_.patternOpen == open) return;
  state_.patternOpen = open;
  Write("patternOpen", open);
}

void Settings::SetPatternGeometry(const QRect& geometry) {
  if (state_.patternGeometry == geometry) return;
  state_.patternGeometry = geometry;
  Write("patternGeometry", geometry);
}

void Settings::SetHeardEntry(int index) {
  if (state_.heardEntry == index) return;
  state_.heardEntry = index;
  Write("heardEntry", index);
}
