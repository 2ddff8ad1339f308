#include "playlist_view.h"

#include <QContextMenuEvent>
#include <QDataStream>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QIODevice>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>

#include "main_window.h"
#include "playlist.h"

namespace {

bool IsListKey(int key) {
  switch (key) {
    case Qt::Key_Up:
    case Qt::Key_Down:
    case Qt::Key_PageUp:
    case Qt::Key_PageDown:
    case Qt::Key_Home:
    case Qt::Key_End:
    case Qt::Key_Return:
    case Qt::Key_Enter:
    case Qt::Key_Delete: return true;
    default: return false;
  }
}

}  // namespace

PlaylistView::PlaylistView(Playlist& list, QWidget* parent) : QTreeView(parent), list_(list) {
  setObjectName(QStringLiteral("playlist"));
  setModel(&list);
  setRootIsDecorated(false);
  setItemsExpandable(false);
  setUniformRowHeights(true);  // a long list lays out without asking every row
  setAllColumnsShowFocus(true);
  setHeaderHidden(true);
  setSelectionMode(QAbstractItemView::ExtendedSelection);
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  setDragEnabled(true);
  setAcceptDrops(true);
  setDropIndicatorShown(true);
  setDragDropMode(QAbstractItemView::InternalMove);
  setDefaultDropAction(Qt::MoveAction);
  setTextElideMode(Qt::ElideRight);
  setIconSize(QSize(16, 15));
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFocusPolicy(Qt::ClickFocus);
  header()->setStretchLastSection(false);
  header()->setSectionResizeMode(Playlist::kTitleColumn, QHeaderView::Stretch);
  header()->setSectionResizeMode(Playlist::kDurationColumn, QHeaderView::Fixed);
  header()->resizeSection(Playlist::kDurationColumn, fontMetrics().horizontalAdvance(QStringLiteral("no end")) + 10);
  connect(this, &QAbstractItemView::doubleClicked, this, [this](const QModelIndex& index) { PlayRow(index.row()); });
}

QList<int> PlaylistView::SelectedRows() const {
  QList<int> rows;
  for (const QModelIndex& index : selectionModel()->selectedRows()) rows << index.row();
  std::sort(rows.begin(), rows.end());
  return rows;
}

void PlaylistView::PlayRow(int row) {
  if (row >= 0 && row < list_.Count()) emit playRequested(list_.At(row).id);
}

bool PlaylistView::event(QEvent* event) {
  // The window's keys work everywhere, but the list keeps its own: moving
  // through it, Enter and Delete.
  if (event->type() == QEvent::ShortcutOverride) {
    auto* key = static_cast<QKeyEvent*>(event);
    if (IsListKey(key->key()) && (key->modifiers() & ~(Qt::ShiftModifier | Qt::KeypadModifier)) == 0) {
      event->accept();
      return true;
    }
  }
  return QTreeView::event(event);
}

void PlaylistView::keyPressEvent(QKeyEvent* event) {
  switch (event->key()) {
    case Qt::Key_Return:
    case Qt::Key_Enter: PlayRow(currentIndex().row()); return;
    case Qt::Key_Delete: {
      const QList<int> rows = SelectedRows();
      const int first = rows.isEmpty() ? -1 : rows.first();
      list_.Remove(rows);
      // The entry after the removed ones takes the selection.
      if (first >= 0 && list_.Count() > 0) setCurrentIndex(model()->index(std::min(first, list_.Count() - 1), 0));
      return;
    }
    default: QTreeView::keyPressEvent(event);
  }
}

void PlaylistView::contextMenuEvent(QContextMenuEvent* event) {
  const QModelIndex index = indexAt(event->pos());
  if (!index.isValid()) return;
  if (!selectionModel()->isRowSelected(index.row(), {})) setCurrentIndex(index);
  const std::uint32_t id = list_.At(index.row()).id;
  QMenu menu(this);
  menu.addAction(QStringLiteral("Play"), this, [this, id] { emit playRequested(id); });
  menu.addAction(QStringLiteral("Info"), this, [this, id] { emit infoRequested(id); });
  menu.addSeparator();
  menu.addAction(QStringLiteral("Remove"), this, [this] { list_.Remove(SelectedRows()); });
  menu.exec(event->globalPos());
}

int PlaylistView::DropRow(const QPoint& position) const {
  const QModelIndex index = indexAt(position);
  if (!index.isValid()) return list_.Count();
  const QRect rect = visualRect(index);
  return position.y() < rect.center().y() ? index.row() : index.row() + 1;
}

// Rows dragged inside the list move; files dragged in are the window's
// (the event goes on to it).
void PlaylistView::dragEnterEvent(QDragEnterEvent* event) {
  if (event->source() == this && event->mimeData()->hasFormat(QString::fromLatin1(Playlist::kRowsMime)))
    QTreeView::dragEnterEvent(event);
  else
    event->ignore();
}

void PlaylistView::dragMoveEvent(QDragMoveEvent* event) {
  if (event->source() == this && event->mimeData()->hasFormat(QString::fromLatin1(Playlist::kRowsMime)))
    QTreeView::dragMoveEvent(event);
  else
    event->ignore();
}

void PlaylistView::dropEvent(QDropEvent* event) {
  if (event->source() != this || !event->mimeData()->hasFormat(QString::fromLatin1(Playlist::kRowsMime))) {
    event->ignore();
    return;
  }
  QList<int> rows;
  QDataStream in(event->mimeData()->data(QString::fromLatin1(Playlist::kRowsMime)));
  in >> rows;
  list_.Move(rows, DropRow(event->position().toPoint()));
  // Done here: the drag must not remove the rows it started from.
  event->setDropAction(Qt::CopyAction);
  event->accept();
  stopAutoScroll();
  setState(NoState);
  viewport()->update();
}
