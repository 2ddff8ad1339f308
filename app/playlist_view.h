// The list panel: the entries with their durations, the heard one marked.
// Double-click or Enter plays an entry, Delete removes the selected ones,
// dragging moves them, and the context menu plays, shows the info of, or
// removes an entry.
#pragma once

#include <QTreeView>
#include <cstdint>

class Playlist;

class PlaylistView : public QTreeView {
  Q_OBJECT

 public:
  PlaylistView(Playlist& list, QWidget* parent);

  // The selected rows, in order.
  QList<int> SelectedRows() const;
  // Where rows dropped at this point of the view go (before that row).
  int DropRow(const QPoint& position) const;

 signals:
  void playRequested(std::uint32_t id);
  void infoRequested(std::uint32_t id);

 protected:
  bool event(QEvent* event) override;
  bool viewportEvent(QEvent* event) override;
  void keyPressEvent(QKeyEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;
  void startDrag(Qt::DropActions supportedActions) override;

 private:
  void PlayRow(int row);

  Playlist& list_;
};
