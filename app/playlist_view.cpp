#include "playlist_view.h"

#include <QContextMenuEvent>
#include <QDrag>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QHeaderView>
#include <QHelpEvent>
#include <QItemSelection>
#include <QKeyEvent>
#include <QMenu>
#include <QMimeData>
#include <QTextDocument>
#include <QToolTip>

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
  setDragDropMode(QAbstractItemView::DragDrop);
  setDefaultDropAction(Qt::MoveAction);
  setTextElideMode(Qt::ElideRight);
  setIconSize(QSize(16, 15));
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setFocusPolicy(Qt::StrongFocus);  // Tab reaches it too
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

// An entry's tooltip is its file name and why it cannot be played, shown
// as the text it is: a name such as "<h1>x.xm" is not taken for markup.
bool PlaylistView::viewportEvent(QEvent* event) {
  if (event->type() != QEvent::ToolTip) return QTreeView::viewportEvent(event);
  const auto* help = static_cast<QHelpEvent*>(event);
  const QModelIndex index = indexAt(help->pos());
  const QString tip = index.isValid() ? model()->data(index, Qt::ToolTipRole).toString() : QString();
  if (tip.isEmpty()) {
    QToolTip::hideText();
    event->ignore();
    return true;
  }
  QToolTip::showText(help->globalPos(), Qt::convertFromPlainText(tip, Qt::WhiteSpacePre), viewport(),
                     visualRect(index));
  return true;
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
  if (!list_.DraggedRows(*event->mimeData())) {
    event->ignore();
    return;
  }
  QTreeView::dragEnterEvent(event);
  event->setDropAction(Qt::MoveAction);
  event->accept();
}

void PlaylistView::dragMoveEvent(QDragMoveEvent* event) {
  if (!list_.DraggedRows(*event->mimeData())) {
    event->ignore();
    return;
  }
  QTreeView::dragMoveEvent(event);
  event->setDropAction(Qt::MoveAction);
  event->accept();
}

void PlaylistView::dropEvent(QDropEvent* event) {
  const std::optional<QList<int>> rows = list_.DraggedRows(*event->mimeData());
  if (!rows) {
    event->ignore();
    return;
  }
  const int first = list_.Move(*rows, DropRow(event->position().toPoint()));
  event->setDropAction(Qt::MoveAction);
  event->accept();
  stopAutoScroll();
  setState(NoState);
  // The moved entries stay selected where they went.
  clearSelection();
  if (first >= 0) {
    const QItemSelection moved(model()->index(first, 0),
                               model()->index(first + static_cast<int>(rows->size()) - 1, Playlist::kColumns - 1));
    selectionModel()->select(moved, QItemSelectionModel::Select);
    selectionModel()->setCurrentIndex(model()->index(first, 0), QItemSelectionModel::NoUpdate);
  }
  viewport()->update();
}

// The drop moves the rows; the drag itself removes nothing where it ends
// (as a view's own drag would for a move).
void PlaylistView::startDrag(Qt::DropActions) {
  QModelIndexList indexes;
  for (const int row : SelectedRows()) indexes << model()->index(row, 0);
  if (indexes.isEmpty()) return;
  auto* drag = new QDrag(this);
  drag->setMimeData(list_.mimeData(indexes));
  drag->setPixmap(viewport()->grab(visualRect(indexes.first())));
  drag->exec(Qt::MoveAction, Qt::MoveAction);
}
