// The list of files the window plays: each entry with its title and
// duration (read in the background), whether it can be played (and why
// not), and which entry is heard. Two columns: title and duration.
#pragma once

#include <QAbstractTableModel>
#include <QByteArray>
#include <QHash>
#include <QList>
#include <QPixmap>
#include <cstdint>
#include <memory>
#include <optional>
#include <vector>

#include "list_scanner.h"
#include "song_info.h"

struct PlaylistEntry {
  enum class State { kPending, kReady, kBad };

  std::uint32_t id = 0;  // unique for the run, never 0: the player's tag for the entry's song
  QByteArray path;       // the file-system bytes
  QString fileName;      // made safe
  State state = State::kPending;
  SongInfo info;  // once read (without the names)

  // The module's title, or the file name where it has none.
  QString Title() const { return info.title.isEmpty() ? fileName : info.title; }
};

class Playlist : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column { kTitleColumn, kDurationColumn, kColumns };
  // The MIME type of rows dragged inside the list.
  static const char* const kRowsMime;

  // scanThreads 0: one per core.
  explicit Playlist(QObject* parent = nullptr, int scanThreads = 0);
  ~Playlist() override;

  int Count() const { return static_cast<int>(entries_.size()); }
  const PlaylistEntry& At(int row) const { return entries_[static_cast<std::size_t>(row)]; }
  // -1 when the entry is not (or no longer) in the list.
  int RowOf(std::uint32_t id) const;
  const PlaylistEntry* Find(std::uint32_t id) const;
  QList<QByteArray> Paths() const;
  // Files waiting to be read.
  int Pending() const { return scanner_.Pending(); }

  // Adds the files at row (clamped to the list) and starts reading them;
  // returns their ids.
  QList<std::uint32_t> Insert(int row, const QList<QByteArray>& paths);
  void Remove(QList<int> rows);
  void Clear();
  // Moves the rows (in their order) to stand before row `before` of the
  // list as it is now; returns the row the first of them went to (-1:
  // none moved).
  int Move(QList<int> rows, int before);

  // What a song object of the player's found: the entry can be played
  // (with these facts), or cannot (and why).
  void SetInfo(std::uint32_t id, const SongInfo& info);

  // The entry heard (marked in the list); 0: none.
  void SetHeard(std::uint32_t id);
  std::uint32_t Heard() const { return heard_; }
  int HeardRow() const { return RowOf(heard_); }

  // The row an entry that left the list would now stand at: the row of
  // the entry that followed it (Count() when none did). -1 for an entry
  // that never was in the list.
  int RowAfterRemoved(std::uint32_t id) const;
  // Forgets where entries that left the list stood, but for those of
  // `held` (songs handed to the player) and the heard entry, and the
  // entries theirs lead through: no other is asked for again, and a list
  // filled and cleared time after time would otherwise keep every one.
  void ForgetRemoved(const std::vector<std::uint32_t>& held);
  // How many entries that left the list are remembered.
  int RemovedKept() const { return static_cast<int>(followers_.size()); }

  // The model's side.
  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;
  QStringList mimeTypes() const override;
  QMimeData* mimeData(const QModelIndexList& indexes) const override;
  // The rows where the entries a drag from this list carries stand now, in
  // order (none for anything else, rows of another list or another
  // program's included).
  std::optional<QList<int>> DraggedRows(const QMimeData& mime) const;
  Qt::DropActions supportedDropActions() const override;

 signals:
  // Entries came, went or moved (not: were read).
  void entriesChanged();
  // Entries were read.
  void entriesRead();

 private:
  void Delivered(std::vector<ListScanner::Result>& results);
  void RebuildRows() const;
  void EntryChanged(int row);
  QByteArray Owner() const;

  std::vector<PlaylistEntry> entries_;
  mutable QHash<std::uint32_t, int> rows_;
  mutable bool rowsValid_ = true;
  // Where entries that left the list stood: the id of the entry that
  // followed each (0: the end of the list).
  QHash<std::uint32_t, std::uint32_t> followers_;
  std::uint32_t nextId_ = 1;
  std::uint32_t heard_ = 0;
  QPixmap heardIcon_, badIcon_, blankIcon_;
  ListScanner scanner_;
};
