// Plays the list's entries through a Player: where a song ends the next
// entry follows without a gap (queued as soon as the entry before it
// starts), by the song end mode; seeks exactly; follows which entry and
// frame is being heard; marks entries that cannot be loaded and skips them.
#pragma once

#include <QObject>
#include <cstdint>
#include <deque>
#include <vector>

#include "end_mode.h"
#include "player.h"
#include "playlist.h"
#include "song_info.h"

class ListPlayer : public QObject {
  Q_OBJECT

 public:
  ListPlayer(Player& player, SoundBuffer& buffer, Playlist& list, QObject* parent = nullptr);

  enum class Start { kPlaying, kCannotLoad, kBufferFailed };

  // Starts the entry at `frame` (what playing through gives there), with
  // the entry after it queued to follow. A file that cannot be loaded is
  // marked in the list. paused: the buffer stays stopped.
  Start Play(std::uint32_t id, std::uint64_t frame = 0, bool paused = false);
  // Goes on from `frame` of the heard entry: exact, and paused stays
  // paused. At or after the song's end (in the list modes) the next entry
  // starts. False when nothing plays or the start failed.
  bool Seek(std::uint64_t frame, bool paused);
  // Stops the device taking frames (before reading the frame heard for a
  // seek relative to it); Seek, Next or Previous starts it again.
  void Hold() { PlayerHold(player_); }
  // The next/previous entry that can be played; at the list's ends only
  // "Repeat list" goes round (the first entry starts again on Previous).
  Start Next(bool paused);
  Start Previous(bool paused);
  // Stops the player and forgets what it played.
  void Stop();

  EndMode Mode() const { return mode_; }
  // Takes effect at once: the song heard goes on from the frame heard with
  // the end the new mode gives it. False (and the mode stays) where that
  // takes the heard song loaded anew and its file cannot be loaded now.
  bool SetMode(EndMode mode, bool paused);

  // Follows the player: which entry and frame is heard, queues the entry
  // after one that has started, and ends the list. Called ten times a
  // second while playing.
  void Follow();
  // The list changed: the entry queued to follow may be another now.
  // paused: a song started anew for it stays paused.
  void ListChanged(bool paused);

  bool Active() const { return !chain_.empty(); }
  std::uint32_t HeardId() const { return chain_.empty() ? 0 : chain_.front().id; }
  // The heard entry's facts (loaded, scanned), or null.
  const SongInfo* HeardInfo() const { return chain_.empty() ? nullptr : &chain_.front().info; }
  // Its title (the file name for a module without one).
  QString HeardTitle() const { return chain_.empty() ? QString() : chain_.front().title; }
  // Its file (empty after the list's end).
  QByteArray HeardPath() const { return chain_.empty() ? QByteArray() : chain_.front().path; }
  // The song frame heard (from the song's start, loops included).
  std::uint64_t HeardFrame() const { return heardFrame_; }
  // The entry that is to follow the heard one (0: none, or not yet known).
  std::uint32_t QueuedId() const;
  // Songs handed to the player that are heard, playing or queued.
  std::size_t HandedCount() const { return chain_.size(); }
  // Their entries' ids.
  std::vector<std::uint32_t> HandedIds() const;
  // The file of the entry `id` handed to the player (heard, playing or
  // queued), kept should the entry have left the list; empty for others.
  QByteArray PathOf(std::uint32_t id) const;
  // What was set in the player since (muted channels) is heard a few blocks
  // after the block being heard, or at once where the heard song has to go
  // on anew for it. Returns whether it is heard before the ring's end.
  bool Refresh(bool paused);

  // The tag of the empty song queued after the last entry of "Play list".
  static constexpr std::uint32_t kEndTag = ~std::uint32_t{0};

 signals:
  // Another entry is heard (also on every start).
  void heardChanged(std::uint32_t id);
  // "Play list" has played its last entry.
  void listEnded();

 private:
  // An entry handed to the player: heard, playing, or queued.
  struct Handed {
    std::uint32_t id;
    SongInfo info;
    std::uint64_t end;
    QString title;    // the entry's, kept should it leave the list
    QByteArray path;  // likewise
  };
  struct Loaded {
    OwnedSong song;
    SongInfo info;
    QString title;
    QByteArray path;
  };
  // The song of an entry in a song object of its own; null when it cannot
  // be loaded (then marked in the list).
  Loaded Load(std::uint32_t id);
  // The entry after `id` (in list order, round for "Repeat list", entries
  // known to be bad skipped); 0 when none.
  std::uint32_t After(std::uint32_t id) const;
  std::uint32_t Before(std::uint32_t id) const;
  // The next entry that loads after `id`, ready to queue; the end marker in
  // "Play list" after the last.
  QueuedSong MakeNext(std::uint32_t id, Handed& handed);
  std::uint64_t EndFor(const SongInfo& info) const;
  Start StartWith(std::uint32_t id, std::uint64_t frame, std::uint64_t end, Loaded loaded, bool paused);
  Start Step(bool forward, bool paused);
  // The frame heard now, where the player can tell.
  void UpdateHeard();
  // lead: as PlayerQueueSongInTime has it (0 before the stream starts,
  // when nothing has been heard yet).
  void Queue(std::uint32_t lead = 8);
  // Whether `next` is what follows entry `id` now: the entry after it, or
  // in "Play list" the end marker after the last.
  bool Follows(std::uint32_t id, std::uint32_t next) const;
  // Where the player has taken the song that waited in its queue, the
  // entry after it is queued: it may have been taken since the list last
  // followed the player (a seek from the desktop or a list edit comes at
  // any time).
  void SeeQueuedTaken();
  // The player has taken a song to follow the heard one (its switch is in
  // the ring), and the heard song is still being heard.
  bool FollowerTaken();
  // The player has taken a song to follow the heard one, and the list (or
  // the mode) now has another follow it.
  bool TakenFollowerStale();
  // The heard song loaded anew, and the frame heard in it; a null song
  // where its file cannot be loaded now.
  Loaded LoadHeard(std::uint64_t& frame);
  // An entry handed to the player loaded anew: from its file also where
  // the entry has left the list (it plays on); null where it cannot be
  // loaded now.
  Loaded LoadAgain(const Handed& handed);
  // The heard song goes on anew from the frame heard, with the end it has
  // and the right one after it; false where it cannot be loaded now (and
  // nothing changed).
  bool RestartHeard(bool paused);

  Player& player_;
  SoundBuffer& buffer_;
  Playlist& list_;
  EndMode mode_ = EndMode::kRepeatSong;
  // Handed to the player, in the order they play: the heard entry first;
  // the last may still wait in the queue (queuedWaiting_).
  std::deque<Handed> chain_;
  bool queuedWaiting_ = false;
  std::uint64_t heardFrame_ = 0;
};
