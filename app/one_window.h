// One window for every file opened: the first window owns
// io.github.zevora.Zevora on the session bus and takes files through
// org.freedesktop.Application at /io/github/zevora/Zevora (the interface a
// desktop hands files to a running application with). `zevora FILE...`
// started while it is open hands its files over and ends.
#pragma once

#include <QByteArray>
#include <QDBusConnection>
#include <QDBusContext>
#include <QList>
#include <QObject>
#include <QVariantMap>
#include <optional>

#include "end_mode.h"

class MainWindow;
class QWidget;

class WindowService : public QObject, public QDBusContext {
  Q_OBJECT

 public:
  static constexpr const char* kService = "io.github.zevora.Zevora";
  static constexpr const char* kPath = "/io/github/zevora/Zevora";
  // The platform-data key that carries --repeat's mode ("song", "list" or
  // "none") with the files.
  static constexpr const char* kEndModeKey = "io.github.zevora.Zevora.end-mode";
  // The key that carries --view's view ("pattern"), shown in the window.
  static constexpr const char* kViewKey = "io.github.zevora.Zevora.view";
  // The key that carries when the caller stops waiting for the answer (ms
  // of the system's monotonic clock): a call that comes later than that
  // (this window was busy or stopped meanwhile) is refused, since its
  // caller has opened a window of its own by then.
  static constexpr const char* kDeadlineKey = "io.github.zevora.Zevora.deadline";

  // Serves the interface on `bus` (nothing without a bus). Calls are
  // answered once the window is attached; any that come before get an
  // error, and their caller opens a window of its own.
  explicit WindowService(QDBusConnection bus);
  ~WindowService() override;

  // Takes the window's name: false without a bus, or when another window
  // (or program) has it; then this window takes it once that one lets it
  // go.
  bool TakeName();
  void Attach(MainWindow& window);

  // org.freedesktop.Application's side.
  void Activate(const QVariantMap& platformData);
  void Open(const QStringList& uris, const QVariantMap& platformData);

 private:
  bool Ready();
  // False, with an error for the caller, for a call that came too late.
  bool InTime(const QVariantMap& platformData);
  // --repeat's mode and --view's view, when they came with the call.
  void ApplyOptions(const QVariantMap& platformData);

  QDBusConnection bus_;
  bool registered_ = false;
  bool named_ = false;
  bool queued_ = false;  // waiting for the name behind another window
  MainWindow* window_ = nullptr;
};

// Hands the files (the window's end mode too, when given, and the pattern
// view to open) to the window that owns the name, and brings it to the
// front; without files it is only brought to the front. False when no
// window took them (no bus, no window, the name's owner is not one, or it
// did not answer within `timeout` ms: long enough for a window busy
// starting a song; one that does not answer by then gets a window beside it).
bool HandOver(QDBusConnection bus, const QList<QByteArray>& paths, std::optional<EndMode> mode,
              bool patternView = false, int timeout = 10000);
// The system's monotonic clock in ms (the same in every process).
qint64 MonotonicMs();

// A path as given on the command line, made absolute against the current
// folder (its bytes kept as they are): the window that takes it has a
// folder of its own.
QByteArray AbsolutePath(const QByteArray& path);
// A file's URL, its bytes percent-encoded (any bytes a name may hold).
QString FileUrl(const QByteArray& path);
// Shows the window in front, as the desktop allows.
void RaiseWindow(QWidget& window);
