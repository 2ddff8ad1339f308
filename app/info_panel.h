// The info panel: a small window beside the player with what a module
// holds: title, tracker, channels, patterns, duration and loop point, and
// every instrument and sample name (where musicians write their messages),
// made safe and in a fixed font.
#pragma once

#include <QByteArray>
#include <QWidget>

#include "song_info.h"

class QPlainTextEdit;

class InfoPanel : public QWidget {
  Q_OBJECT

 public:
  explicit InfoPanel(QWidget* owner);

  // Reads the file (with every name) and shows it.
  void ShowFile(const QByteArray& path);
  // The text as shown.
  QString Text() const;
  // The text for a file's facts.
  static QString Describe(const QByteArray& path, const SongInfo& info);
  // The file shown.
  const QByteArray& Path() const { return path_; }

 private:
  QPlainTextEdit* text_ = nullptr;
  QByteArray path_;
};
