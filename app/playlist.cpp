#include "playlist.h"

#include <QCoreApplication>
#include <QDataStream>
#include <QFont>
#include <QIODevice>
#include <QMimeData>
#include <QPalette>
#include <algorithm>

#include "icons.h"

const char* const Playlist::kRowsMime = "application/x-zevora-list-rows";

Playlist::Playlist(QObject* parent, int scanThreads)
    : QAbstractTableModel(parent),
      heardIcon_(IconPixmap(Icon::kHeard)),
      badIcon_(IconPixmap(Icon::kBad)),
      blankIcon_(16, 15),
      scanner_([this](std::vector<ListScanner::Result>& results) { Delivered(results); }, scanThreads) {
  blankIcon_.fill(Qt::transparent);
}

Playlist::~Playlist() = default;

void Playlist::RebuildRows() const {
  rows_.clear();
  rows_.reserve(static_cast<qsizetype>(entries_.size()));
  for (std::size_t i = 0; i < entries_.size(); ++i) rows_.insert(entries_[i].id, static_cast<int>(i));
  rowsValid_ = true;
}

int Playlist::RowOf(std::uint32_t id) const {
  if (!rowsValid_) RebuildRows();
  return rows_.value(id, -1);
}

const PlaylistEntry* Playlist::Find(std::uint32_t id) const {
  const int row = RowOf(id);
  return row < 0 ? nullptr : &entries_[static_cast<std::size_t>(row)];
}

QList<QByteArray> Playlist::Paths() const {
  QList<QByteArray> paths;
  paths.reserve(Count());
  for (const PlaylistEntry& entry : entries_) paths << entry.path;
  return paths;
}

QList<std::uint32_t> Playlist::Insert(int row, const QList<QByteArray>& paths) {
  QList<std::uint32_t> ids;
  if (paths.isEmpty()) return ids;
  row = std::clamp(row, 0, Count());
  std::vector<PlaylistEntry> added;
  added.reserve(static_cast<std::size_t>(paths.size()));
  for (const QByteArray& path : paths) {
    PlaylistEntry entry;
    entry.id = nextId_++;
    if (nextId_ == 0 || nextId_ == ~std::uint32_t{0}) nextId_ = 1;  // 0 and the end marker are no entry's
    entry.path = path;
    entry.fileName = FileNameText(path);
    ids << entry.id;
    added.push_back(std::move(entry));
  }
  beginInsertRows({}, row, row + static_cast<int>(added.size()) - 1);
  entries_.insert(entries_.begin() + row, std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
  rowsValid_ = false;
  endInsertRows();
  for (int i = 0; i < ids.size(); ++i) scanner_.Add(ids[i], paths[i]);
  emit entriesChanged();
  return ids;
}

void Playlist::Remove(QList<int> rows) {
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  rows.erase(std::remove_if(rows.begin(), rows.end(), [this](int r) { return r < 0 || r >= Count(); }), rows.end());
  if (rows.isEmpty()) return;
  // Each entry that goes remembers the first entry after it that stays
  // (from the last up: a run of rows that go shares the one after it, so a
  // long list is cleared in one pass); the files of those not read yet are
  // not read at all.
  std::vector<std::uint32_t> goingIds;
  goingIds.reserve(static_cast<std::size_t>(rows.size()));
  std::uint32_t follower = 0;
  for (int i = static_cast<int>(rows.size()) - 1; i >= 0; --i) {
    const int row = rows[i];
    const bool runGoesOn = i + 1 < rows.size() && rows[i + 1] == row + 1;
    if (!runGoesOn) follower = row + 1 < Count() ? entries_[static_cast<std::size_t>(row + 1)].id : 0;
    goingIds.push_back(entries_[static_cast<std::size_t>(row)].id);
    followers_.insert(entries_[static_cast<std::size_t>(row)].id, follower);
  }
  // From the last down, in runs of neighbouring rows.
  for (int i = static_cast<int>(rows.size()) - 1; i >= 0;) {
    int first = i;
    while (first > 0 && rows[first - 1] == rows[first] - 1) --first;
    beginRemoveRows({}, rows[first], rows[i]);
    entries_.erase(entries_.begin() + rows[first], entries_.begin() + rows[i] + 1);
    rowsValid_ = false;
    endRemoveRows();
    i = first - 1;
  }
  scanner_.Forget(goingIds);
  emit entriesChanged();
}

void Playlist::Clear() {
  QList<int> all;
  for (int i = 0; i < Count(); ++i) all << i;
  Remove(all);
}

int Playlist::Move(QList<int> rows, int before) {
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  rows.erase(std::remove_if(rows.begin(), rows.end(), [this](int r) { return r < 0 || r >= Count(); }), rows.end());
  if (rows.isEmpty()) return -1;
  before = std::clamp(before, 0, Count());
  // The new order as old rows: the others, with the moved ones where
  // `before` stood.
  std::vector<int> order;
  order.reserve(entries_.size());
  int target = before;
  for (int i = 0; i < Count(); ++i) {
    if (std::binary_search(rows.begin(), rows.end(), i)) {
      if (i < before) --target;
    } else {
      order.push_back(i);
    }
  }
  order.insert(order.begin() + target, rows.begin(), rows.end());
  // A layout change keeps the view's selection and scrolling with the
  // entries.
  emit layoutAboutToBeChanged();
  std::vector<int> newRow(entries_.size());
  std::vector<PlaylistEntry> moved;
  moved.reserve(entries_.size());
  for (std::size_t k = 0; k < order.size(); ++k) {
    newRow[static_cast<std::size_t>(order[k])] = static_cast<int>(k);
    moved.push_back(std::move(entries_[static_cast<std::size_t>(order[k])]));
  }
  entries_ = std::move(moved);
  rowsValid_ = false;
  const QModelIndexList from = persistentIndexList();
  QModelIndexList to;
  for (const QModelIndex& index : from)
    to << this->index(newRow[static_cast<std::size_t>(index.row())], index.column());
  changePersistentIndexList(from, to);
  emit layoutChanged();
  emit entriesChanged();
  return target;
}

void Playlist::SetInfo(std::uint32_t id, const SongInfo& info) {
  const int row = RowOf(id);
  if (row < 0) return;
  PlaylistEntry& entry = entries_[static_cast<std::size_t>(row)];
  entry.info = info;
  entry.info.names.clear();
  entry.state = info.loaded ? PlaylistEntry::State::kReady : PlaylistEntry::State::kBad;
  EntryChanged(row);
}

void Playlist::Delivered(std::vector<ListScanner::Result>& results) {
  for (ListScanner::Result& result : results) {
    const int row = RowOf(result.id);
    if (row < 0) continue;  // removed while it was read
    PlaylistEntry& entry = entries_[static_cast<std::size_t>(row)];
    // The player may have read it first (and found it bad on loading).
    if (entry.state != PlaylistEntry::State::kPending) continue;
    entry.info = std::move(result.info);
    entry.state = entry.info.loaded ? PlaylistEntry::State::kReady : PlaylistEntry::State::kBad;
    EntryChanged(row);
  }
  emit entriesRead();
}

void Playlist::EntryChanged(int row) { emit dataChanged(index(row, 0), index(row, kColumns - 1)); }

void Playlist::SetHeard(std::uint32_t id) {
  if (heard_ == id) return;
  const int before = RowOf(heard_);
  heard_ = id;
  if (before >= 0) EntryChanged(before);
  if (const int now = RowOf(id); now >= 0) EntryChanged(now);
}

int Playlist::RowAfterRemoved(std::uint32_t id) const {
  if (const int row = RowOf(id); row >= 0) return row;
  // Followed along: the entry that came after it may have gone too.
  for (int steps = 0; followers_.contains(id) && steps <= followers_.size(); ++steps) {
    id = followers_.value(id);
    if (id == 0) return Count();
    if (const int row = RowOf(id); row >= 0) return row;
  }
  return -1;
}

void Playlist::ForgetRemoved(const std::vector<std::uint32_t>& held) {
  if (followers_.isEmpty()) return;
  QHash<std::uint32_t, std::uint32_t> kept;
  std::vector<std::uint32_t> ids = held;
  ids.push_back(heard_);
  for (std::uint32_t id : ids) {
    // Followed along as RowAfterRemoved follows them, up to an entry that
    // is in the list.
    for (auto at = followers_.constFind(id); at != followers_.constEnd() && !kept.contains(id);
         at = followers_.constFind(id)) {
      kept.insert(id, at.value());
      id = at.value();
    }
  }
  followers_.swap(kept);
}

int Playlist::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : Count(); }

int Playlist::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumns; }

QVariant Playlist::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= Count()) return {};
  const PlaylistEntry& entry = entries_[static_cast<std::size_t>(index.row())];
  const bool bad = entry.state == PlaylistEntry::State::kBad;
  switch (role) {
    case Qt::DisplayRole:
      if (index.column() == kTitleColumn) return entry.Title();
      if (entry.state != PlaylistEntry::State::kReady) return QString();
      return entry.info.hasEnd ? FormatMinutes(entry.info.duration) : QStringLiteral("no end");
    case Qt::ToolTipRole: {
      QString tip = entry.fileName;
      if (bad) tip += QStringLiteral("\nCannot be played: ") + entry.info.failure;
      if (entry.state == PlaylistEntry::State::kReady && !entry.info.hasEnd)
        tip += QStringLiteral("\nNo end found: plays 10 minutes in the list");
      return tip;
    }
    case Qt::DecorationRole:
      if (index.column() != kTitleColumn) return {};
      if (entry.id == heard_) return heardIcon_;
      if (bad) return badIcon_;
      return blankIcon_;  // every title starts at the same place
    case Qt::FontRole:
      if (entry.id == heard_) {
        QFont font;
        font.setBold(true);
        return font;
      }
      return {};
    case Qt::ForegroundRole:
      if (bad) return QPalette().brush(QPalette::Disabled, QPalette::Text);
      return {};
    case Qt::TextAlignmentRole:
      if (index.column() == kDurationColumn) return QVariant(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    default: return {};
  }
}

Qt::ItemFlags Playlist::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::ItemIsDropEnabled;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
}

QStringList Playlist::mimeTypes() const { return {QString::fromLatin1(kRowsMime)}; }

// The drag carries the entries' ids, not their rows: the list may change
// while the drag goes on (files handed over by another launch go into it),
// and the entries dragged are the ones that move where it ends.
QMimeData* Playlist::mimeData(const QModelIndexList& indexes) const {
  QList<int> rows;
  for (const QModelIndex& index : indexes)
    if (index.isValid() && index.row() < Count()) rows << index.row();
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  QList<quint32> ids;
  for (const int row : rows) ids << At(row).id;
  QByteArray bytes;
  QDataStream out(&bytes, QIODevice::WriteOnly);
  out << Owner() << ids;
  auto* mime = new QMimeData;
  mime->setData(QString::fromLatin1(kRowsMime), bytes);
  return mime;
}

Qt::DropActions Playlist::supportedDropActions() const { return Qt::MoveAction; }

QByteArray Playlist::Owner() const {
  return QByteArray::number(QCoreApplication::applicationPid()) + ':' +
         QByteArray::number(reinterpret_cast<quintptr>(this));
}

std::optional<QList<int>> Playlist::DraggedRows(const QMimeData& mime) const {
  if (!mime.hasFormat(QString::fromLatin1(kRowsMime))) return std::nullopt;
  QDataStream in(mime.data(QString::fromLatin1(kRowsMime)));
  QByteArray owner;
  QList<quint32> ids;
  in >> owner >> ids;
  if (in.status() != QDataStream::Ok || owner != Owner()) return std::nullopt;
  // Where the dragged entries stand now; those that left the list meanwhile
  // are not moved.
  QList<int> rows;
  for (const quint32 id : ids)
    if (const int row = RowOf(id); row >= 0) rows << row;
  std::sort(rows.begin(), rows.end());
  return rows;
}
