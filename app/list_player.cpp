#include "list_player.h"

ListPlayer::ListPlayer(Player& player, SoundBuffer& buffer, Playlist& list, QObject* parent)
    : QObject(parent), player_(player), buffer_(buffer), list_(list) {}

std::uint32_t ListPlayer::QueuedId() const { return chain_.size() >= 2 ? chain_[1].id : 0; }

std::vector<std::uint32_t> ListPlayer::HandedIds() const {
  std::vector<std::uint32_t> ids;
  ids.reserve(chain_.size());
  for (const Handed& handed : chain_) ids.push_back(handed.id);
  return ids;
}

QByteArray ListPlayer::PathOf(std::uint32_t id) const {
  for (const Handed& handed : chain_)
    if (handed.id == id) return handed.path;
  return {};
}

std::uint64_t ListPlayer::EndFor(const SongInfo& info) const {
  return mode_ == EndMode::kRepeatSong ? kNoSongEnd : info.OnePass();
}

ListPlayer::Loaded ListPlayer::Load(std::uint32_t id) {
  const PlaylistEntry* entry = list_.Find(id);
  if (entry == nullptr) return {};
  const FileStamp stamp = StampOf(entry->path);
  SongHandle handle = LoadSongFile(entry->path);
  if (handle.song == nullptr) {
    SongInfo bad;
    bad.failure = LoadFailureReason(entry->path, handle.error);
    bad.stamp = stamp;
    list_.SetInfo(id, bad);
    return {};
  }
  // The scan the list made is used where it is done and the file has not
  // been saved anew since (a module being worked on in a tracker); the
  // file is read now either way, and its facts are this song's.
  const bool scanned = entry->state == PlaylistEntry::State::kReady && entry->info.stamp == stamp;
  SongInfo info = scanned ? entry->info : InfoOfSong(*handle.song, false);
  if (!scanned) {
    info.stamp = stamp;
    list_.SetInfo(id, info);
    if (!info.failure.isEmpty()) return {};
  }
  QString title = info.title.isEmpty() ? entry->fileName : info.title;
  return {std::move(handle.song), std::move(info), std::move(title), entry->path};
}

std::uint32_t ListPlayer::After(std::uint32_t id) const {
  const int count = list_.Count();
  if (count == 0) return 0;
  int row = list_.RowOf(id);
  // An entry that left the list is followed by the one that came after it.
  int next = row >= 0 ? row + 1 : list_.RowAfterRemoved(id);
  if (next < 0) return 0;
  for (int seen = 0; seen < count; ++seen, ++next) {
    if (next >= count) {
      if (mode_ != EndMode::kRepeatList) return 0;
      next = 0;
    }
    const PlaylistEntry& entry = list_.At(next);
    if (entry.state != PlaylistEntry::State::kBad) return entry.id;
  }
  return 0;
}

std::uint32_t ListPlayer::Before(std::uint32_t id) const {
  const int count = list_.Count();
  if (count == 0) return 0;
  const int row = list_.RowOf(id);
  int previous = (row >= 0 ? row : list_.RowAfterRemoved(id)) - 1;
  for (int seen = 0; seen < count; ++seen, --previous) {
    if (previous < 0) {
      if (mode_ != EndMode::kRepeatList) return 0;
      previous = count - 1;
    }
    const PlaylistEntry& entry = list_.At(previous);
    if (entry.state != PlaylistEntry::State::kBad) return entry.id;
  }
  return 0;
}

QueuedSong ListPlayer::MakeNext(std::uint32_t id, Handed& handed) {
  if (mode_ == EndMode::kRepeatSong) return {};
  // Entries that turn out not to load are marked and passed over; each is
  // tried once.
  for (std::uint32_t next = After(id), tries = 0; next != 0 && tries <= static_cast<std::uint32_t>(list_.Count());
       next = After(next), ++tries) {
    Loaded loaded = Load(next);
    if (loaded.song == nullptr) continue;
    const std::uint64_t end = EndFor(loaded.info);
    handed = {next, std::move(loaded.info), end, std::move(loaded.title), std::move(loaded.path)};
    return {loaded.song.release(), end, next};
  }
  if (mode_ != EndMode::kPlayList) return {};
  // After the last entry: an empty song that ends where it begins, so the
  // player goes quiet and tells when the list's last frame has been heard.
  handed = {kEndTag, {}, 0, {}, {}};
  return {CreateSong(), 0, kEndTag};
}

ListPlayer::Start ListPlayer::StartWith(std::uint32_t id, std::uint64_t frame, std::uint64_t end, Loaded loaded,
                                        bool paused) {
  Handed next{};
  QueuedSong queued = MakeNext(id, next);
  chain_.clear();
  queuedWaiting_ = false;
  // Paused, the buffer is never played: a device would take the new song's
  // first block while the window shows it paused.
  HRESULT played = PlayerPrepareSong(player_, loaded.song.release(), &buffer_, frame, end, id, queued);
  if (played >= 0) {
    chain_.push_back({id, std::move(loaded.info), end, std::move(loaded.title), std::move(loaded.path)});
    if (queued.song != nullptr) {
      chain_.push_back(std::move(next));
      queuedWaiting_ = PlayerHasQueuedSong(player_);
    }
    // A song shorter than the ring took the queued one in the prefill: the
    // entry after that is queued now, before anything is heard, so that it
    // follows right at the end of the one before however short.
    Queue(0);
    played = PlayerStart(player_, paused);
  }
  if (played < 0) {
    PlayerStop(player_);  // nothing streams on after a start that failed
    chain_.clear();
    queuedWaiting_ = false;
    return Start::kBufferFailed;
  }
  heardFrame_ = frame;
  list_.SetHeard(id);
  emit heardChanged(id);
  return Start::kPlaying;
}

ListPlayer::Start ListPlayer::Play(std::uint32_t id, std::uint64_t frame, bool paused) {
  Loaded loaded = Load(id);
  if (loaded.song == nullptr) return Start::kCannotLoad;
  const std::uint64_t end = EndFor(loaded.info);
  return StartWith(id, frame, end, std::move(loaded), paused);
}

void ListPlayer::Stop() {
  PlayerStop(player_);
  chain_.clear();
  queuedWaiting_ = false;
  heardFrame_ = 0;
}

bool ListPlayer::Seek(std::uint64_t frame, bool paused) {
  if (chain_.empty() || chain_.front().id == kEndTag) return false;
  const Handed& heard = chain_.front();
  if (frame >= heard.end) return Next(paused) == Start::kPlaying;
  // The player still renders the heard song: it goes on from the frame
  // without loading it again. Once the next song has taken over (in the
  // heard song's last two seconds), the heard one starts anew.
  SeeQueuedTaken();
  const bool rendering = chain_.size() == 1 || (chain_.size() == 2 && queuedWaiting_);
  if (rendering) {
    if (PlayerSeek(player_, frame, paused) < 0) {
      chain_.clear();
      return false;
    }
    heardFrame_ = frame;
    return true;
  }
  const std::uint32_t id = heard.id;
  const std::uint64_t end = heard.end;
  Loaded loaded = LoadAgain(heard);
  if (loaded.song == nullptr) return Next(paused) == Start::kPlaying;
  return StartWith(id, frame, end, std::move(loaded), paused) == Start::kPlaying;
}

ListPlayer::Start ListPlayer::Step(bool forward, bool paused) {
  const std::uint32_t from = HeardId() != 0 && HeardId() != kEndTag ? HeardId() : list_.Heard();
  std::uint32_t id = 0;
  if (from == 0) {
    id = list_.Count() > 0 ? list_.At(0).id : 0;
  } else {
    id = forward ? After(from) : Before(from);
    if (!forward && id == 0) id = from;  // at the first entry: it starts again
    // Stopped, with the entry heard last gone from the list and none after
    // (before) where it stood: the list starts from its first entry, as
    // with nothing heard (Play did nothing at all).
    if (!Active() && list_.RowOf(from) < 0 && (id == 0 || id == from) && list_.Count() > 0) id = list_.At(0).id;
  }
  for (int tries = 0; id != 0 && tries <= list_.Count(); ++tries) {
    const Start started = Play(id, 0, paused);
    if (started != Start::kCannotLoad) return started;
    id = forward ? After(id) : Before(id);
  }
  return Start::kCannotLoad;
}

ListPlayer::Start ListPlayer::Next(bool paused) { return Step(true, paused); }

ListPlayer::Start ListPlayer::Previous(bool paused) { return Step(false, paused); }

bool ListPlayer::SetMode(EndMode mode, bool paused) {
  if (mode == mode_) return true;
  const EndMode before = mode_;
  mode_ = mode;
  if (chain_.empty() || chain_.front().id == kEndTag) return true;
  const bool looping = before == EndMode::kRepeatSong, loops = mode == EndMode::kRepeatSong;
  if (looping == loops) {
    // Between the list modes only what follows the last entry changes.
    ListChanged(paused);
    return true;
  }
  // The heard song gets the end of the new mode: it goes on from the frame
  // heard, to the end of the pass it is in (or for ever).
  std::uint64_t frame = 0;
  Loaded loaded = LoadHeard(frame);
  if (loaded.song == nullptr) {
    // Its file cannot be loaded now (gone): it plays on with the end it
    // has, which is the old mode's, and so the mode stays.
    mode_ = before;
    return false;
  }
  const std::uint64_t end = loops ? kNoSongEnd : EndOfPassAfter(*loaded.song, loaded.info, frame);
  StartWith(chain_.front().id, frame, end, std::move(loaded), paused);
  return true;
}

ListPlayer::Loaded ListPlayer::LoadHeard(std::uint64_t& frame) {
  UpdateHeard();
  frame = heardFrame_;
  return LoadAgain(chain_.front());
}

ListPlayer::Loaded ListPlayer::LoadAgain(const Handed& handed) {
  if (list_.Find(handed.id) != nullptr) return Load(handed.id);
  // Its entry has left the list (it plays on): its file all the same.
  const FileStamp stamp = StampOf(handed.path);
  SongHandle handle = LoadSongFile(handed.path);
  if (handle.song == nullptr) return {};
  // The facts it was handed with, where the file has not been saved anew.
  SongInfo info = handed.info.stamp == stamp ? handed.info : InfoOfSong(*handle.song, false);
  if (!info.failure.isEmpty()) return {};
  info.stamp = stamp;
  return {std::move(handle.song), std::move(info), handed.title, handed.path};
}

void ListPlayer::UpdateHeard() {
  ::HeardFrame heard{};
  if (!chain_.empty() && PlayerHeard(player_, heard) && heard.tag == chain_.front().id) heardFrame_ = heard.songFrame;
}

void ListPlayer::Queue(std::uint32_t lead) {
  // The last entry handed over has been taken: the one after it is queued
  // now, so that it is there well before that entry's end is rendered.
  // An entry shorter than the ring may have ended in it already (with
  // silence after): the ring is then rendered again from its end, where
  // the one queued now follows without a gap, and is taken at once; the
  // entry after that is queued in turn (two songs begin in a block at
  // most: never more than twice the ring's blocks).
  for (int handed = 0; handed < static_cast<int>(2 * kRingBlocks); ++handed) {
    if (chain_.empty() || queuedWaiting_ || mode_ == EndMode::kRepeatSong) return;
    const std::uint32_t last = chain_.back().id;
    if (last == kEndTag) return;
    Handed next{};
    QueuedSong queued = MakeNext(last, next);
    if (queued.song == nullptr) return;
    if (PlayerQueueSongInTime(player_, queued.song, queued.endFrame, queued.tag, lead) < 0) return;
    chain_.push_back(std::move(next));
    queuedWaiting_ = PlayerHasQueuedSong(player_);
  }
}

void ListPlayer::SeeQueuedTaken() {
  if (!queuedWaiting_ || PlayerHasQueuedSong(player_)) return;
  queuedWaiting_ = false;
  Queue();
}

bool ListPlayer::FollowerTaken() {
  if (chain_.empty() || chain_.front().id == kEndTag) return false;
  SeeQueuedTaken();
  if (chain_.size() < 2 || (chain_.size() == 2 && queuedWaiting_)) return false;  // nothing taken yet
  ::HeardFrame heard{};
  return PlayerHeard(player_, heard) && heard.tag == chain_.front().id;  // else the device is in it already
}

bool ListPlayer::TakenFollowerStale() {
  return mode_ != EndMode::kRepeatSong && FollowerTaken() && !Follows(chain_.front().id, chain_[1].id);
}

bool ListPlayer::Refresh(bool paused) {
  if (PlayerRefresh(player_)) return true;
  // The ring holds the switch to the song that follows, which the player
  // has taken: the heard song goes on anew from the frame heard, where what
  // was set is heard at once (else a mute in a song's last two seconds
  // would be heard only in the next song).
  return FollowerTaken() && RestartHeard(paused);
}

bool ListPlayer::RestartHeard(bool paused) {
  std::uint64_t frame = 0;
  Loaded loaded = LoadHeard(frame);
  if (loaded.song == nullptr) return false;
  StartWith(chain_.front().id, frame, chain_.front().end, std::move(loaded), paused);
  return true;
}

bool ListPlayer::Follows(std::uint32_t id, std::uint32_t next) const {
  const std::uint32_t want = After(id);
  return next == (want != 0 ? want : mode_ == EndMode::kPlayList ? kEndTag : 0);
}

void ListPlayer::ListChanged(bool paused) {
  // The player takes the song that follows about two seconds before it is
  // heard (all of a song shorter than that at once), and keeps it. Where
  // another is to follow now (that entry left the list or moved, or the
  // mode changed), the heard song goes on anew from the frame heard, with
  // the end it has, and the right one after it.
  if (TakenFollowerStale() && RestartHeard(paused)) return;
  if (chain_.size() < 2 || !queuedWaiting_) {
    Queue();
    return;
  }
  // The queued entry may no longer be the one that follows.
  const Handed& last = chain_[chain_.size() - 2];
  if (Follows(last.id, chain_.back().id)) return;
  Handed next{};
  QueuedSong replacement = MakeNext(last.id, next);
  if (replacement.song == nullptr) {
    // Nothing is to follow ("Repeat list" with nothing left to play): an
    // empty song that ends at once stands in for the queued one.
    next = {kEndTag, {}, 0, {}, {}};
    replacement = {CreateSong(), 0, kEndTag};
  }
  if (PlayerQueueSong(player_, replacement.song, replacement.endFrame, replacement.tag) < 0) return;
  // Taken meanwhile or not, what the player now holds is this.
  if (PlayerHasQueuedSong(player_)) {
    chain_.back() = std::move(next);
  } else {
    chain_.push_back(std::move(next));
    queuedWaiting_ = false;
  }
}

void ListPlayer::Follow() {
  if (chain_.empty()) return;
  PlayerCollect(player_);
  SeeQueuedTaken();
  // An entry that follows itself ("Repeat list" with one entry to play) is
  // not told from itself by its tag. Once the player has taken the time
  // through after the next, the first is over (in a song longer than the
  // ring; in a shorter one, what is heard is the same song all the same)
  // and leaves the chain, which would otherwise grow with every time
  // through.
  while (chain_.size() >= 3 && chain_[0].id == chain_[1].id && chain_[1].id == chain_[2].id &&
         !(queuedWaiting_ && chain_.size() == 3))
    chain_.pop_front();
  // Songs shorter than the time between two looks each end between them,
  // and a look drops only those before the first entry with the heard tag:
  // with entries that take turns ("Repeat list"), one a look, while more
  // are handed over. The player starts at most two songs in a ring block
  // (one with the block, one within it), so no more than twice the ring's
  // blocks of songs follow the one heard, and one more waits in its queue:
  // the entries before those are over.
  while (chain_.size() > 2 * kRingBlocks + 2) chain_.pop_front();
  ::HeardFrame heard{};
  if (!PlayerHeard(player_, heard)) return;
  if (heard.tag != chain_.front().id) {
    // Songs that ended since: the heard one is further down the chain.
    std::size_t k = 1;
    while (k < chain_.size() && chain_[k].id != heard.tag) ++k;
    if (k == chain_.size()) return;  // not one of ours (a start in between)
    if (queuedWaiting_ && k == chain_.size() - 1) queuedWaiting_ = false;
    chain_.erase(chain_.begin(), chain_.begin() + static_cast<std::ptrdiff_t>(k));
    if (heard.tag == kEndTag) {
      heardFrame_ = 0;
      emit listEnded();
      return;
    }
    list_.SetHeard(heard.tag);
    heardFrame_ = heard.songFrame;
    emit heardChanged(heard.tag);
    Queue();
    return;
  }
  heardFrame_ = heard.songFrame;
  // The song ended with nothing to follow it (it was shorter than the time
  // the queue had): the next entry starts now, after the silence.
  const Handed& front = chain_.front();
  if (chain_.size() == 1 && mode_ != EndMode::kRepeatSong && heard.songFrame >= front.end &&
      Next(false) != Start::kPlaying)
    emit listEnded();
}
