#include "info_panel.h"

#include <QPlainTextEdit>
#include <QVBoxLayout>

#include "main_window.h"
#include "module_json.h"

InfoPanel::InfoPanel(QWidget* owner) : QWidget(owner, Qt::Tool) {
  setObjectName(QStringLiteral("infoPanel"));
  setWindowTitle(QStringLiteral("Module info"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(4, 4, 4, 4);
  text_ = new QPlainTextEdit(this);
  text_->setObjectName(QStringLiteral("infoText"));
  text_->setReadOnly(true);
  text_->setLineWrapMode(QPlainTextEdit::NoWrap);
  text_->setFont(MainWindow::FixedFont());
  layout->addWidget(text_);
  resize(360, 420);
}

QString InfoPanel::Describe(const QByteArray& path, const SongInfo& info) {
  QString text;
  auto line = [&](const char* label, const QString& value) {
    text += QString::fromLatin1(label).leftJustified(13) + value + QLatin1Char('\n');
  };
  line("File:", FileNameText(path));
  if (!info.loaded) {
    line("Error:", info.failure);
    return text;
  }
  line("Title:", info.title);
  line("Tracker:", info.tracker);
  line("Channels:", QString::number(info.channels));
  line("Patterns:", QString::number(info.patterns));
  if (info.hasEnd)
    line("Duration:", QString::fromStdString(FormatDuration(info.duration)) +
                          QStringLiteral(", then loops to order %1, row %2").arg(info.loopOrder).arg(info.loopRow));
  else
    line("Duration:", QStringLiteral("no end found"));
  line("Instruments:", QString::number(info.instruments));
  for (std::size_t i = 0; i < info.names.size(); ++i) {
    text += QStringLiteral("%1 %2\n").arg(i + 1, 3).arg(info.names[i].name);
    for (int k = 0; k < info.names[i].samples.size(); ++k)
      text += QStringLiteral("    %1.%2 %3\n").arg(i + 1).arg(k + 1).arg(info.names[i].samples[k]);
  }
  return text;
}

void InfoPanel::ShowFile(const QByteArray& path) {
  path_ = path;
  const SongInfo info = ReadSongInfo(path, true);
  text_->setPlainText(Describe(path, info));
  const QString title = info.title.isEmpty() ? FileNameText(path) : info.title;
  setWindowTitle(QStringLiteral("Info: %1").arg(title));
}

QString InfoPanel::Text() const { return text_->toPlainText(); }
