#include "one_window.h"

#include <unistd.h>

#include <QDBusAbstractAdaptor>
#include <QDBusConnectionInterface>
#include <QDBusError>
#include <QDBusMessage>
#include <QTimer>
#include <QUrl>
#include <QWidget>
#include <cerrno>
#include <ctime>
#include <vector>

#include "main_window.h"

namespace {

constexpr const char* kApplicationInterface = "org.freedesktop.Application";
// A call answered this close to its caller's deadline may be answered too
// late for it: it is refused as well.
constexpr qint64 kAnswerMargin = 250;  // ms

}  // namespace

class ApplicationAdaptor : public QDBusAbstractAdaptor {
  Q_OBJECT
  Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Application")

 public:
  explicit ApplicationAdaptor(WindowService* service) : QDBusAbstractAdaptor(service), service_(*service) {}

 public slots:
  void Activate(const QVariantMap& platform_data) { service_.Activate(platform_data); }
  void Open(const QStringList& uris, const QVariantMap& platform_data) { service_.Open(uris, platform_data); }
  // The window has no actions.
  void ActivateAction(const QString& action_name, const QVariantList& parameter, const QVariantMap& platform_data) {
    (void)parameter;
    (void)platform_data;
    if (service_.calledFromDBus())
      service_.sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("no action %1").arg(action_name));
  }

 private:
  WindowService& service_;
};

WindowService::WindowService(QDBusConnection bus) : bus_(std::move(bus)) {
  if (!bus_.isConnected()) return;
  new ApplicationAdaptor(this);
  registered_ = bus_.registerObject(QString::fromLatin1(kPath), this);
}

WindowService::~WindowService() {
  if (named_ || queued_) bus_.unregisterService(QString::fromLatin1(kService));
  if (registered_) bus_.unregisterObject(QString::fromLatin1(kPath));
}

bool WindowService::TakeName() {
  if (!registered_ || named_ || queued_) return named_;
  QDBusConnectionInterface* daemon = bus_.interface();
  if (daemon == nullptr) return false;
  // Where another window has the name, this one waits in the bus's queue
  // for it: should this one open beside it (that window did not answer in
  // time, or was closing), it is the window later starts find once that
  // one is gone. (A start that hands its files over leaves the queue as it
  // ends.)
  const QDBusReply<QDBusConnectionInterface::RegisterServiceReply> reply =
      daemon->registerService(QString::fromLatin1(kService), QDBusConnectionInterface::QueueService,
                              QDBusConnectionInterface::DontAllowReplacement);
  named_ = reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceRegistered;
  queued_ = reply.isValid() && reply.value() == QDBusConnectionInterface::ServiceQueued;
  return named_;
}

void WindowService::Attach(MainWindow& window) { window_ = &window; }

bool WindowService::Ready() {
  if (window_ != nullptr) return true;
  if (calledFromDBus()) sendErrorReply(QDBusError::Failed, QStringLiteral("the window is not open yet"));
  return false;
}

void WindowService::ApplyOptions(const QVariantMap& platformData) {
  const QVariant value = platformData.value(QString::fromLatin1(kEndModeKey));
  if (const std::optional<EndMode> mode = ParseEndMode(value.toString()); value.isValid() && mode)
    window_->SetEndMode(*mode);
  if (platformData.value(QString::fromLatin1(kViewKey)).toString() == QLatin1String("pattern"))
    window_->SetPatternOpen(true);
}

bool WindowService::InTime(const QVariantMap& platformData) {
  const QVariant deadline = platformData.value(QString::fromLatin1(kDeadlineKey));
  if (!deadline.isValid()) return true;  // (the desktop's calls have none)
  bool ok = false;
  const qint64 by = deadline.toLongLong(&ok);
  if (!ok || MonotonicMs() + kAnswerMargin < by) return true;
  if (calledFromDBus()) sendErrorReply(QDBusError::TimedOut, QStringLiteral("the caller has stopped waiting"));
  return false;
}

void WindowService::Activate(const QVariantMap& platformData) {
  if (!Ready() || !InTime(platformData)) return;
  ApplyOptions(platformData);
  RaiseWindow(*window_);
}

void WindowService::Open(const QStringList& uris, const QVariantMap& platformData) {
  if (!Ready() || !InTime(platformData)) return;
  QList<QByteArray> paths;
  for (const QString& uri : uris) {
    const QUrl url(uri, QUrl::StrictMode);
    if (MainWindow::IsLocalFileUrl(url)) paths << MainWindow::UrlPathBytes(url);
  }
  if (paths.isEmpty() && !uris.isEmpty()) {
    sendErrorReply(QDBusError::InvalidArgs, QStringLiteral("only local files (file: URLs) can be opened"));
    return;
  }
  ApplyOptions(platformData);
  RaiseWindow(*window_);
  // As a drop: into the list after the heard entry, the first plays; after
  // the answer, so that a file that cannot be played shows its message box
  // without keeping the caller (and its desktop) waiting for it.
  QTimer::singleShot(0, window_, [window = window_, paths] { window->OpenFiles(paths); });
}

bool HandOver(QDBusConnection bus, const QList<QByteArray>& paths, std::optional<EndMode> mode, bool patternView,
              int timeout) {
  if (!bus.isConnected()) return false;
  QVariantMap platform;
  platform.insert(QString::fromLatin1(WindowService::kDeadlineKey), MonotonicMs() + timeout);
  if (mode) platform.insert(QString::fromLatin1(WindowService::kEndModeKey), EndModeKey(*mode));
  if (patternView) platform.insert(QString::fromLatin1(WindowService::kViewKey), QStringLiteral("pattern"));
  // What the desktop gave this start to bring a window to the front with.
  for (const char* variable : {"DESKTOP_STARTUP_ID", "XDG_ACTIVATION_TOKEN"}) {
    const QByteArray value = qgetenv(variable);
    if (!value.isEmpty())
      platform.insert(QString::fromLatin1(variable[0] == 'D' ? "desktop-startup-id" : "activation-token"),
                      QString::fromUtf8(value));
  }
  QDBusMessage call = QDBusMessage::createMethodCall(
      QString::fromLatin1(WindowService::kService), QString::fromLatin1(WindowService::kPath),
      QString::fromLatin1(kApplicationInterface),
      paths.isEmpty() ? QStringLiteral("Activate") : QStringLiteral("Open"));
  if (!paths.isEmpty()) {
    QStringList uris;
    for (const QByteArray& path : paths) uris << FileUrl(AbsolutePath(path));
    call << uris;
  }
  call << platform;
  // (Events are handled while waiting: the window may be in this process.)
  const QDBusMessage reply = bus.call(call, QDBus::BlockWithGui, timeout);
  return reply.type() == QDBusMessage::ReplyMessage;
}

qint64 MonotonicMs() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<qint64>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

QByteArray AbsolutePath(const QByteArray& path) {
  QByteArray joined = path;
  if (!path.startsWith('/')) {
    std::vector<char> folder(4096);
    while (::getcwd(folder.data(), folder.size()) == nullptr) {
      if (errno != ERANGE) return path;  // the window tries it as it is
      folder.resize(folder.size() * 2);
    }
    joined = QByteArray(folder.data()) + '/' + path;
  }
  // "." and doubled slashes name nothing: the list and the desktop's URL go
  // without them ("..", which a link may make mean another folder, stays).
  QByteArray clean;
  for (const QByteArray& part : joined.split('/'))
    if (!part.isEmpty() && part != ".") clean += '/' + part;
  return clean.isEmpty() ? QByteArray("/") : clean;
}

QString FileUrl(const QByteArray& path) {
  return QStringLiteral("file://") + QString::fromLatin1(path.toPercentEncoding("/"));
}

void RaiseWindow(QWidget& window) {
  if (window.isMinimized()) window.showNormal();
  window.show();
  window.raise();
  window.activateWindow();
}

#include "one_window.moc"
