#include "pattern_view.h"

#include <QCloseEvent>
#include <QFontMetrics>
#include <QMouseEvent>
#include <QPainter>
#include <QScrollBar>
#include <QVBoxLayout>
#include <QWindow>
#include <QWheelEvent>
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>

#include "pattern_notation.h"

namespace {

// What the glyph images hold; anything else is drawn as '?'.
constexpr char kCharset[] = " 0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz.-#=+?:,()/";
constexpr int kGlyphs = sizeof kCharset - 1;

int GlyphIndex(char c) {
  static const auto table = [] {
    std::array<std::uint8_t, 128> t{};
    t.fill(static_cast<std::uint8_t>(std::strchr(kCharset, '?') - kCharset));
    for (int i = 0; i < kGlyphs; ++i) t[static_cast<unsigned char>(kCharset[i])] = static_cast<std::uint8_t>(i);
    return t;
  }();
  return table[static_cast<unsigned char>(c) & 127];
}

// Backgrounds and inks: the glyph images hold every ink on every
// background, bright and dimmed (rows of the patterns before and after the
// heard one, and muted channels).
enum Background { kPlain, kBeat, kHeard, kHead, kBackgrounds };
enum Ink { kGutter, kNote, kInstrument, kVolume, kEffect, kDot, kTitle, kMutedTitle, kInks };
constexpr int kStyles = kBackgrounds * 2 * kInks;

int Style(Background background, bool dim, Ink ink) { return (background * 2 + (dim ? 1 : 0)) * kInks + ink; }

constexpr QRgb kBackgroundColours[kBackgrounds] = {0xff14171c, 0xff1e232b, 0xff2b4170, 0xff0f1114};
constexpr QRgb kInkColours[kInks] = {0xff808a99, 0xffeeeeee, 0xff6cc2ff, 0xff7cde88,
                                     0xffffb255, 0xff3e4550, 0xffc9d0da, 0xffff6a5e};
constexpr QRgb kScopeBackground = 0xff080a0c;
constexpr QRgb kScopeMidline = 0xff1c2129;
constexpr QRgb kScopeWave = 0xff74e48e;
constexpr QRgb kScopeMuted = 0xff3a414b;
constexpr QRgb kLevelBackground = 0xff1a1e24;

QRgb Blend(QRgb a, QRgb b, int bWeight256) {
  const auto mix = [&](int shift) {
    const int x = (a >> shift) & 255, y = (b >> shift) & 255;
    return static_cast<QRgb>((x * (256 - bWeight256) + y * bWeight256) >> 8) << shift;
  };
  return 0xff000000u | mix(16) | mix(8) | mix(0);
}

QRgb InkColour(Background background, bool dim, Ink ink) {
  QRgb colour = kInkColours[ink];
  if (background == kHeard && ink == kDot) colour = 0xff6a7ea6;
  if (background == kHeard && ink == kGutter) colour = 0xffffffff;
  return dim ? Blend(colour, kBackgroundColours[background], 150) : colour;
}

QRgb SeparatorColour(Background background) { return Blend(kBackgroundColours[background], 0xff8090a8, 40); }

void Fill(QImage& image, int x, int y, int w, int h, QRgb colour) {
  x = std::max(x, 0);
  y = std::max(y, 0);
  w = std::min(w, image.width() - x);
  h = std::min(h, image.height() - y);
  if (w <= 0 || h <= 0) return;
  const qsizetype stride = image.bytesPerLine();
  uchar* bits = image.bits();
  for (int line = y; line < y + h; ++line) {
    auto* row = reinterpret_cast<QRgb*>(bits + line * stride) + x;
    std::fill(row, row + w, colour);
  }
}

constexpr char kEmptyCell[] = "... .. .. ...";
constexpr int kGutterChars = 11;  // " OO  PP  RR"
// Patterns are kept as text up to this much; a larger module's cells are
// turned into text as they are drawn.
constexpr std::size_t kMaxTextCache = std::size_t{64} << 20;
constexpr int kFontPixels = 13;
// How far a level bar falls a frame (of its length).
constexpr float kLevelFall = 0.025f;

}  // namespace

PatternCanvas::PatternCanvas(QWidget* parent) : QWidget(parent) {
  setObjectName(QStringLiteral("patternCanvas"));
  // Every pixel is painted from the two images.
  setAttribute(Qt::WA_OpaquePaintEvent);
  setAttribute(Qt::WA_NoSystemBackground);
  setToolTip(QStringLiteral("Click a channel's header to mute or unmute it"));
  Relayout();
}

void PatternCanvas::SetSong(const Song* song) {
  song_ = song;
  order_ = row_ = 0;
  scopesShown_ = false;
  BuildTextCache();
  const int channels = song_ != nullptr ? song_->module.channelCount : 0;
  first_ = std::clamp(first_, 0, std::max(0, channels - 1));
  std::fill(std::begin(levels_), std::end(levels_), 0.0f);
  Relayout();
}

void PatternCanvas::SetMuted(std::uint32_t mask) {
  if (mask == muted_) return;
  muted_ = mask;
  DrawHeader();
  DrawAllRows();
}

void PatternCanvas::SetFirstChannel(int channel) {
  if (channel == first_) return;
  first_ = std::max(channel, 0);
  Relayout();
}

int PatternCanvas::RowsAt(int order) const {
  if (song_ == nullptr || order < 0 || order >= song_->module.songLength) return 0;
  const ModuleState& m = song_->module;
  const int pattern = m.orderTable[order];
  if (pattern >= m.patternCount) return 0;
  // A pattern of no rows plays as one empty row.
  return std::max<int>(m.patternTable[pattern].rowCount, 1);
}

PatternCanvas::RowPosition PatternCanvas::Step(RowPosition from, int offset) const {
  const int orders = song_ != nullptr ? song_->module.songLength : 0;
  for (; offset > 0 && from.valid; --offset) {
    if (from.row + 1 < RowsAt(from.order)) {
      ++from.row;
      continue;
    }
    int next = from.order + 1;
    while (next < orders && RowsAt(next) == 0) ++next;
    from = next < orders ? RowPosition{next, 0, true} : RowPosition{0, 0, false};
  }
  for (; offset < 0 && from.valid; ++offset) {
    if (from.row > 0) {
      --from.row;
      continue;
    }
    int previous = std::min(from.order, orders) - 1;
    while (previous >= 0 && RowsAt(previous) == 0) --previous;
    from = previous >= 0 ? RowPosition{previous, RowsAt(previous) - 1, true} : RowPosition{0, 0, false};
  }
  return from;
}

void PatternCanvas::BuildTextCache() {
  text_.clear();
  if (song_ == nullptr) return;
  const ModuleState& m = song_->module;
  std::size_t total = 0;
  for (int p = 0; p < m.patternCount; ++p)
    if (m.patternTable[p].cells != nullptr) total += std::size_t{m.patternTable[p].rowCount} * m.channelCount;
  if (total * kCellChars > kMaxTextCache) return;
  text_.resize(m.patternCount);
  for (int p = 0; p < m.patternCount; ++p) {
    const Pattern& pattern = m.patternTable[p];
    if (pattern.cells == nullptr) continue;
    const std::size_t cells = std::size_t{pattern.rowCount} * m.channelCount;
    text_[p].resize(cells * kCellChars);
    for (std::size_t i = 0; i < cells; ++i) CellText(pattern.cells[i], text_[p].data() + i * kCellChars);
  }
}

const char* PatternCanvas::CellChars(int pattern, int row, int channel, char* scratch) const {
  const ModuleState& m = song_->module;
  if (pattern < 0 || pattern >= m.patternCount) return kEmptyCell;
  const Pattern& p = m.patternTable[pattern];
  if (p.cells == nullptr || row < 0 || row >= p.rowCount || channel < 0 || channel >= m.channelCount) return kEmptyCell;
  const std::size_t index = std::size_t{static_cast<unsigned>(row)} * m.channelCount + static_cast<unsigned>(channel);
  if (!text_.empty()) return text_[pattern].data() + index * kCellChars;
  CellText(p.cells[index], scratch);
  return scratch;
}

void PatternCanvas::BuildAtlas() {
  QFont font(QStringLiteral("DejaVu Sans Mono"));
  font.setStyleHint(QFont::TypeWriter);
  font.setFixedPitch(true);
  font.setPixelSize(qRound(kFontPixels * ratio_));
  const QFontMetrics metrics(font);
  charWidth_ = std::max(1, metrics.horizontalAdvance(QLatin1Char('0')));
  lineHeight_ = std::max(1, metrics.height());
  atlas_ = QImage(kGlyphs * charWidth_, kStyles * lineHeight_, QImage::Format_RGB32);
  QPainter painter(&atlas_);
  painter.setFont(font);
  for (int b = 0; b < kBackgrounds; ++b) {
    for (int dim = 0; dim < 2; ++dim) {
      for (int ink = 0; ink < kInks; ++ink) {
        const auto background = static_cast<Background>(b);
        const int y = Style(background, dim != 0, static_cast<Ink>(ink)) * lineHeight_;
        painter.fillRect(0, y, atlas_.width(), lineHeight_, QColor::fromRgb(kBackgroundColours[b]));
        painter.setPen(QColor::fromRgb(InkColour(background, dim != 0, static_cast<Ink>(ink))));
        for (int g = 0; g < kGlyphs; ++g)
          painter.drawText(QRect(g * charWidth_, y, charWidth_, lineHeight_), Qt::AlignCenter,
                           QString(QLatin1Char(kCharset[g])));
      }
    }
  }
}

void PatternCanvas::Relayout() {
  const qreal ratio = devicePixelRatioF();
  if (atlas_.isNull() || ratio != ratio_) {
    ratio_ = ratio;
    BuildAtlas();
  }
  const int pad = std::max(2, lineHeight_ / 4);
  gutterWidth_ = (kGutterChars + 1) * charWidth_;
  columnWidth_ = (kCellChars + 1) * charWidth_;
  scopeTop_ = pad + lineHeight_ + pad / 2;
  scopeHeight_ = 3 * lineHeight_;
  levelTop_ = scopeTop_ + scopeHeight_ + pad / 2 + 1;
  levelHeight_ = std::max(3, lineHeight_ / 4);
  headerHeight_ = levelTop_ + levelHeight_ + pad + 1;
  width_ = std::max(1, static_cast<int>(std::ceil(width() * ratio_)));
  height_ = std::max(1, static_cast<int>(std::ceil(height() * ratio_)));

  const int channels = song_ != nullptr ? song_->module.channelCount : 0;
  const int room = std::max(0, width_ - gutterWidth_);
  visible_ = std::clamp((room + columnWidth_ - 1) / columnWidth_, 0, std::max(0, channels - first_));

  // The heard row in the middle of the space below the headers, as many
  // rows above and below it as reach the edges.
  const int area = height_ - headerHeight_;
  const int above = std::max(0, (area - lineHeight_ + 2 * lineHeight_ - 1) / (2 * lineHeight_));
  const int rows = 2 * above + 1;
  rowsTop_ = headerHeight_ + (area - lineHeight_) / 2 - above * lineHeight_;
  if (rows_.width() != width_ || rows_.height() != rows * lineHeight_)
    rows_ = QImage(width_, rows * lineHeight_, QImage::Format_RGB32);
  if (header_.width() != width_ || header_.height() != headerHeight_)
    header_ = QImage(width_, headerHeight_, QImage::Format_RGB32);
  rows_.setDevicePixelRatio(ratio_);
  header_.setDevicePixelRatio(ratio_);
  positions_.resize(static_cast<std::size_t>(rows));

  const int scopeWidth = columnWidth_ - charWidth_;
  scopePoint_.resize(static_cast<std::size_t>(scopeWidth));
  levelColours_.resize(static_cast<std::size_t>(scopeWidth));
  for (int x = 0; x < scopeWidth; ++x) {
    scopePoint_[x] = static_cast<std::uint8_t>(x * kScopePoints / scopeWidth);
    // Green, then yellow, then red towards full scale.
    const int at = x * 512 / std::max(1, scopeWidth - 1);
    levelColours_[x] = at < 320 ? Blend(0xff3fbf5f, 0xffe3d244, at * 256 / 320)
                                : Blend(0xffe3d244, 0xffe5533f, std::min(256, (at - 320) * 256 / 192));
  }
  DrawHeader();
  DrawAllRows();
  update();
  emit layoutChanged();
}

int PatternCanvas::FullyVisibleChannels() const {
  return columnWidth_ > 0 ? std::max(0, width_ - gutterWidth_) / columnWidth_ : 0;
}

QRect PatternCanvas::Logical(const QRect& device) const {
  const auto floor = [&](int v) { return static_cast<int>(std::floor(v / ratio_)); };
  const auto ceil = [&](int v) { return static_cast<int>(std::ceil(v / ratio_)); };
  return QRect(QPoint(floor(device.left()), floor(device.top())),
               QPoint(ceil(device.left() + device.width()) - 1, ceil(device.top() + device.height()) - 1));
}

QRect PatternCanvas::HeaderRect(int channel) const {
  const int slot = channel - first_;
  if (song_ == nullptr || slot < 0 || slot >= visible_) return {};
  const QRect device(ChannelX(slot), 0, std::min(columnWidth_, width_ - ChannelX(slot)), headerHeight_);
  return Logical(device);
}

QRect PatternCanvas::RowRect(int offset) const {
  const int index = static_cast<int>(positions_.size()) / 2 + offset;
  if (index < 0 || index >= static_cast<int>(positions_.size())) return {};
  const QRect device = QRect(0, rowsTop_ + index * lineHeight_, width_, lineHeight_) &
                       QRect(0, headerHeight_, width_, height_ - headerHeight_);
  return device.isEmpty() ? QRect() : Logical(device);
}

void PatternCanvas::DrawText(QImage& image, int x, int y, const char* text, int count, int style) {
  if (y < 0 || y >= image.height()) return;
  const int height = std::min(lineHeight_, image.height() - y);
  const qsizetype stride = image.bytesPerLine();
  const qsizetype atlasStride = atlas_.bytesPerLine();
  uchar* bits = image.bits();
  const uchar* glyphs = atlas_.constBits() + style * lineHeight_ * atlasStride;
  for (int i = 0; i < count; ++i, x += charWidth_) {
    if (text[i] == ' ') continue;
    const int width = std::min(charWidth_, image.width() - x);
    if (width <= 0) return;
    const uchar* from = glyphs + GlyphIndex(text[i]) * charWidth_ * 4;
    uchar* to = bits + y * stride + x * 4;
    for (int line = 0; line < height; ++line) std::memcpy(to + line * stride, from + line * atlasStride, width * 4);
  }
}

void PatternCanvas::DrawRow(int index) {
  const int count = static_cast<int>(positions_.size());
  const int y = (ringTop_ + index) % count * lineHeight_;
  const int middle = count / 2;
  const RowPosition at = positions_[index];
  const Background background = index == middle ? kHeard : at.valid && at.row % 4 == 0 ? kBeat : kPlain;
  Fill(rows_, 0, y, width_, lineHeight_, kBackgroundColours[at.valid || index == middle ? background : kPlain]);
  if (song_ == nullptr) {
    if (index == middle) {
      static constexpr char kNothing[] = "Nothing plays";
      DrawText(rows_, charWidth_, y, kNothing, sizeof kNothing - 1, Style(background, false, kGutter));
    }
    return;
  }
  if (!at.valid) return;
  const ModuleState& m = song_->module;
  const bool otherPattern = at.order != order_;
  const int pattern = at.order < m.songLength ? m.orderTable[at.order] : -1;
  char gutter[kGutterChars + 1] = " OO  PP  RR";
  HexByte(static_cast<std::uint32_t>(at.order), gutter + 1);
  if (pattern >= 0)
    HexByte(static_cast<std::uint32_t>(pattern), gutter + 5);
  else
    gutter[5] = gutter[6] = '-';
  HexByte(static_cast<std::uint32_t>(at.row), gutter + 9);
  DrawText(rows_, charWidth_ / 2, y, gutter, kGutterChars,
           Style(background, otherPattern, index == middle ? kTitle : kGutter));
  const QRgb separator = SeparatorColour(background);
  char scratch[kCellChars];
  for (int slot = 0; slot < visible_; ++slot) {
    const int channel = first_ + slot;
    const int x = ChannelX(slot);
    Fill(rows_, x, y, 1, lineHeight_, separator);
    const char* cell = CellChars(pattern, at.row, channel, scratch);
    const bool dim = otherPattern || (muted_ >> channel & 1u) != 0;
    const int textX = x + charWidth_ / 2;
    static constexpr struct {
      int at, count;
      Ink ink;
    } kParts[] = {
        {kNoteAt, 3, kNote}, {kInstrumentAt, 2, kInstrument}, {kVolumeAt, 2, kVolume}, {kEffectAt, 3, kEffect}};
    for (const auto& part : kParts)
      DrawText(rows_, textX + part.at * charWidth_, y, cell + part.at, part.count,
               Style(background, dim, cell[part.at] == '.' ? kDot : part.ink));
  }
}

void PatternCanvas::DrawAllRows() {
  const int middle = static_cast<int>(positions_.size()) / 2;
  const RowPosition heard{order_, row_, song_ != nullptr};
  ringTop_ = 0;
  for (int i = 0; i < static_cast<int>(positions_.size()); ++i) positions_[i] = Step(heard, i - middle);
  for (int i = 0; i < static_cast<int>(positions_.size()); ++i) DrawRow(i);
  rowsDirty_ = false;
  update(Logical(QRect(0, headerHeight_, width_, height_ - headerHeight_)));
}

void PatternCanvas::ShowPosition(int order, int row) {
  if (song_ == nullptr || (!rowsDirty_ && order == order_ && row == row_)) return;
  const int count = static_cast<int>(positions_.size());
  const int middle = count / 2;
  const int ahead = row - row_;
  const bool onward = !rowsDirty_ && order == order_ && ahead > 0 && ahead <= middle;
  order_ = order;
  row_ = row;
  if (!onward) {
    DrawAllRows();
    return;
  }
  // On in the same pattern: the rows move up (the image is a ring whose
  // first row moves on), and only the rows that come in at the bottom and
  // the heard row before and now are drawn.
  ringTop_ = (ringTop_ + ahead) % count;
  std::rotate(positions_.begin(), positions_.begin() + ahead, positions_.end());
  for (int i = count - ahead; i < count; ++i) positions_[i] = Step(positions_[i - 1], 1);
  for (int i = count - ahead; i < count; ++i) DrawRow(i);
  DrawRow(middle - ahead);
  DrawRow(middle);
  update(Logical(QRect(0, headerHeight_, width_, height_ - headerHeight_)));
}

void PatternCanvas::DrawHeader() {
  for (Drawn& drawn : drawn_) drawn.valid = false;
  Fill(header_, 0, 0, width_, headerHeight_, kBackgroundColours[kHead]);
  const int pad = std::max(2, lineHeight_ / 4);
  static constexpr char kGutterTitle[] = "Ord Pat Row";
  DrawText(header_, charWidth_ / 2, pad, kGutterTitle, kGutterChars, Style(kHead, false, kGutter));
  const QRgb separator = SeparatorColour(kHead);
  Fill(header_, 0, headerHeight_ - 1, width_, 1, separator);
  for (int slot = 0; slot < visible_; ++slot) {
    const int channel = first_ + slot;
    const bool muted = (muted_ >> channel & 1u) != 0;
    Fill(header_, ChannelX(slot), 0, 1, headerHeight_, separator);
    char title[kCellChars + 1] = "             ";
    const int number = channel + 1;  // 1..32
    title[0] = static_cast<char>(number < 10 ? '0' + number : '0' + number / 10);
    if (number >= 10) title[1] = static_cast<char>('0' + number % 10);
    if (muted) std::memcpy(title + 8, "muted", 5);
    DrawText(header_, ChannelX(slot) + charWidth_ / 2, pad, title, kCellChars,
             Style(kHead, false, muted ? kMutedTitle : kTitle));
    // Drawn anew (a mute, a resize), the scopes show what they showed: a
    // paused song's stay as they were.
    DrawChannelScope(slot, channel, scopesShown_ ? &shownScopes_ : nullptr);
  }
  // Shown anew whole: a mute's title changes above the scopes.
  update(Logical(QRect(0, 0, width_, headerHeight_)));
}

bool PatternCanvas::DrawChannelScope(int slot, int channel, const ChannelScopes* scopes) {
  const int x = ChannelX(slot) + charWidth_ / 2;
  const int width = std::min(static_cast<int>(scopePoint_.size()), width_ - x);
  if (width <= 0) return false;
  const bool muted = (muted_ >> channel & 1u) != 0;
  // What the scope shows: the channel's points, flat when it is muted or
  // nothing is known.
  static constexpr std::int8_t kFlat[kScopePoints] = {};
  const std::int8_t* points = scopes != nullptr && !muted ? scopes->points[channel] : kFlat;
  const bool live = scopes != nullptr && !muted;
  const int lit = std::min(static_cast<int>(levels_[channel] * static_cast<float>(scopePoint_.size()) + 0.5f), width);

  // Only what differs from what is drawn is drawn again (a silent channel
  // costs nothing a frame).
  Drawn& drawn = drawn_[channel];
  const bool wave = !drawn.valid || drawn.live != live || std::memcmp(drawn.points, points, kScopePoints) != 0;
  const bool level = !drawn.valid || drawn.lit != lit;
  if (!wave && !level) return false;
  const qsizetype stride = header_.bytesPerLine();
  uchar* bits = header_.bits();
  if (wave) {
    Fill(header_, x, scopeTop_, width, scopeHeight_, kScopeBackground);
    const int middle = scopeTop_ + scopeHeight_ / 2;
    Fill(header_, x, middle, width, 1, live ? kScopeMidline : kScopeMuted);
    if (live) {
      // Twice the part's size: a channel is seldom more than half the mix.
      const int half = scopeHeight_ / 2 - 1;
      const auto yOf = [&](int point) {
        return std::clamp(middle - points[point] * 2 * half / 127, scopeTop_, scopeTop_ + scopeHeight_ - 1);
      };
      int previous = yOf(scopePoint_[0]);
      for (int i = 0; i < width; ++i) {
        const int y = yOf(scopePoint_[i]);
        const int from = std::min(previous, y), to = std::max(previous, y);
        for (int line = from; line <= to; ++line) reinterpret_cast<QRgb*>(bits + line * stride)[x + i] = kScopeWave;
        previous = y;
      }
    }
    std::memcpy(drawn.points, points, kScopePoints);
    drawn.live = live;
  }
  if (level) {
    Fill(header_, x, levelTop_, width, levelHeight_, kLevelBackground);
    for (int line = levelTop_; line < levelTop_ + levelHeight_; ++line) {
      auto* row = reinterpret_cast<QRgb*>(bits + line * stride) + x;
      std::copy_n(levelColours_.begin(), lit, row);
    }
    drawn.lit = lit;
  }
  drawn.valid = true;
  return true;
}

void PatternCanvas::ShowScopes(const ChannelScopes* scopes) {
  if (song_ == nullptr || visible_ == 0) return;
  if (scopes == nullptr) {
    // Not known for the heard block: the waves go flat and the levels fall.
    static const ChannelScopes kSilence{};
    scopes = &kSilence;
  }
  shownScopes_ = *scopes;
  scopesShown_ = true;
  for (int slot = 0; slot < visible_; ++slot) {
    const int channel = first_ + slot;
    float target = 0;
    if ((muted_ >> channel & 1u) == 0 && scopes->peaks[channel] > 0)
      target = std::clamp((20.0f * std::log10(scopes->peaks[channel] / 32767.0f) + 48.0f) / 48.0f, 0.0f, 1.0f);
    levels_[channel] = std::max(target, levels_[channel] - kLevelFall);
  }
  int firstChanged = visible_, lastChanged = -1;
  for (int slot = 0; slot < visible_; ++slot) {
    if (!DrawChannelScope(slot, first_ + slot, &shownScopes_)) continue;
    firstChanged = std::min(firstChanged, slot);
    lastChanged = slot;
  }
  ++scopeFrames_;
  if (lastChanged < 0) return;
  const int left = ChannelX(firstChanged);
  const int right = std::min(width_, ChannelX(lastChanged + 1));
  update(Logical(QRect(left, scopeTop_, right - left, levelTop_ + levelHeight_ - scopeTop_)));
}

QString PatternCanvas::RowText(int offset) const {
  if (song_ == nullptr) return {};
  const RowPosition at = Step({order_, row_, true}, offset);
  if (!at.valid) return {};
  const ModuleState& m = song_->module;
  const int pattern = at.order < m.songLength ? m.orderTable[at.order] : -1;
  QString text = QString::asprintf(" %02X  %02X  %02X", at.order, pattern & 255, at.row & 255);
  char scratch[kCellChars];
  for (int channel = 0; channel < m.channelCount; ++channel)
    text += QLatin1Char(' ') + QLatin1String(CellChars(pattern, at.row, channel, scratch), kCellChars);
  return text;
}

void PatternCanvas::paintEvent(QPaintEvent* event) {
  // Moved to a screen of another pixel ratio: drawn again at that ratio.
  if (devicePixelRatioF() != ratio_) Relayout();
  QPainter painter(this);
  const QRect rowsArea = Logical(QRect(0, headerHeight_, width_, height_ - headerHeight_));
  if (event->rect().intersects(rowsArea)) {
    painter.save();
    painter.setClipRect(rowsArea, Qt::IntersectClip);
    // The ring's first row at the top.
    const int split = ringTop_ * lineHeight_;
    const int height = rows_.height();
    const auto part = [&](int top, int from, int lines) {
      if (lines > 0)
        painter.drawImage(QRectF(0, top / ratio_, width_ / ratio_, lines / ratio_), rows_,
                          QRectF(0, from, width_, lines));
    };
    part(rowsTop_, split, height - split);
    part(rowsTop_ + height - split, 0, split);
    painter.restore();
  }
  if (event->rect().top() < headerHeight_ / ratio_) painter.drawImage(QPointF(0, 0), header_);
}

void PatternCanvas::resizeEvent(QResizeEvent*) { Relayout(); }

void PatternCanvas::mousePressEvent(QMouseEvent* event) {
  if (event->button() != Qt::LeftButton || song_ == nullptr) return;
  const QPointF at = event->position() * ratio_;
  if (at.y() >= headerHeight_ || at.x() < gutterWidth_) return;
  const int slot = static_cast<int>(at.x() - gutterWidth_) / columnWidth_;
  if (slot < visible_) emit headerClicked(first_ + slot);
}

void PatternCanvas::wheelEvent(QWheelEvent* event) {
  // A wheel notch (120) scrolls a channel; a touchpad's small steps add up
  // to one.
  const QPoint delta = event->angleDelta();
  wheelRest_ += delta.x() != 0 ? -delta.x() : -delta.y();
  const int steps = wheelRest_ / 120;
  wheelRest_ -= steps * 120;
  if (steps != 0) emit scrollRequested(steps);
  event->accept();
}

PatternView::PatternView(Player& player, std::function<QByteArray(std::uint32_t)> pathOf, QWidget* owner,
                         std::function<void()> refresh)
    : QWidget(owner, Qt::Window), player_(player), pathOf_(std::move(pathOf)), refresh_(std::move(refresh)) {
  if (!refresh_) refresh_ = [this] { PlayerRefresh(player_); };
  exposed_ = [this] { return windowHandle() == nullptr || windowHandle()->isExposed(); };
  setObjectName(QStringLiteral("patternView"));
  setWindowTitle(QStringLiteral("Pattern view"));
  auto* layout = new QVBoxLayout(this);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  canvas_ = new PatternCanvas(this);
  layout->addWidget(canvas_, 1);
  scroll_ = new QScrollBar(Qt::Horizontal, this);
  scroll_->setObjectName(QStringLiteral("channelScroll"));
  scroll_->setFocusPolicy(Qt::NoFocus);
  scroll_->hide();
  layout->addWidget(scroll_);
  setMinimumSize(320, 200);
  resize(1000, 640);

  timer_.setTimerType(Qt::PreciseTimer);
  timer_.setInterval(kFrameInterval);
  connect(&timer_, &QTimer::timeout, this, &PatternView::Follow);
  connect(canvas_, &PatternCanvas::headerClicked, this, &PatternView::ToggleMute);
  connect(canvas_, &PatternCanvas::scrollRequested, this,
          [this](int channels) { scroll_->setValue(scroll_->value() + channels); });
  connect(canvas_, &PatternCanvas::layoutChanged, this, &PatternView::UpdateScrollRange);
  connect(scroll_, &QScrollBar::valueChanged, canvas_, &PatternCanvas::SetFirstChannel);
}

PatternView::~PatternView() {
  timer_.stop();
  if (isVisible()) {
    PlayerWatchChannels(player_, false);
    PlayerMuteChannels(player_, 0);
  }
  canvas_->SetSong(nullptr);
}

void PatternView::Load(std::uint32_t tag) {
  tag_ = tag;
  loaded_ = true;
  const QByteArray path = pathOf_ ? pathOf_(tag) : QByteArray();
  SongHandle handle = path.isEmpty() ? SongHandle{} : LoadSongFile(path);
  canvas_->SetSong(handle.song.get());  // before the song it showed goes
  song_ = std::move(handle.song);
  canvas_->SetMuted(Muted());
  QString title;
  if (song_ != nullptr) {
    title = ModuleText(song_->title, std::strlen(song_->title));
    if (title.isEmpty()) title = FileNameText(path);
  }
  setWindowTitle(title.isEmpty() ? QStringLiteral("Pattern view") : QStringLiteral("Pattern: %1").arg(title));
}

void PatternView::Unload() {
  canvas_->SetSong(nullptr);
  song_.reset();
  tag_ = 0;
  loaded_ = false;
  setWindowTitle(QStringLiteral("Pattern view"));
}

void PatternView::Follow() {
  if (!isVisible() || !playing_) return;
  HeardFrame heard{};
  if (PlayerHeard(player_, heard) && (!loaded_ || heard.tag != tag_)) Load(heard.tag);
  if (song_ == nullptr) return;
  PositionLogEntry entry{};
  if (PlayerHeardPosition(player_, entry)) canvas_->ShowPosition(entry.songPosition & 255, entry.songPosition >> 8);
  canvas_->ShowScopes(PlayerHeardScopes(player_, scopes_) ? &scopes_ : nullptr);
}

void PatternView::SetPlaying(bool playing, bool paused) {
  playing_ = playing;
  paused_ = paused;
  if (!playing_ && loaded_) Unload();
  UpdateTimer();
  Follow();
}

void PatternView::UpdateTimer() {
  const bool run = isVisible() && !isMinimized() && !unexposed_ && playing_ && !paused_;
  if (run && !timer_.isActive()) timer_.start();
  if (!run) timer_.stop();
}

void PatternView::ToggleMute(int channel) {
  if (song_ == nullptr || channel < 0 || channel >= song_->module.channelCount) return;
  const std::uint32_t mask = Muted() ^ (1u << channel);
  PlayerMuteChannels(player_, mask);
  refresh_();
  canvas_->SetMuted(mask);
}

void PatternView::UpdateScrollRange() {
  // The canvas's song: the one being shown may still be on its way in.
  const int channels = canvas_->Channels();
  const int whole = canvas_->FullyVisibleChannels();
  const int most = std::max(0, channels - std::max(whole, 1));
  scroll_->setRange(0, most);
  scroll_->setPageStep(std::max(whole, 1));
  scroll_->setVisible(most > 0);
}

void PatternView::Quit() {
  timer_.stop();
  PlayerWatchChannels(player_, false);
  // A mute is part of the view: closed, every channel is heard again.
  if (Muted() != 0) {
    PlayerMuteChannels(player_, 0);
    refresh_();
  }
  Unload();
}

void PatternView::Dismiss() {
  dismissing_ = true;
  hide();
  dismissing_ = false;
}

void PatternView::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (!event->spontaneous()) {
    // Shown anew: seen until the window system says otherwise.
    unexposed_ = false;
    if (QWindow* window = windowHandle()) window->installEventFilter(this);
    // The scopes are kept from the next block rendered on; the ring is
    // rendered again from a few blocks ahead so that they show at once.
    PlayerWatchChannels(player_, true);
    if (playing_) PlayerRefresh(player_);
  }
  UpdateTimer();
  Follow();
}

void PatternView::hideEvent(QHideEvent* event) {
  QWidget::hideEvent(event);
  if (event->spontaneous()) {
    UpdateTimer();  // minimized
    return;
  }
  Quit();
}

bool PatternView::eventFilter(QObject* watched, QEvent* event) {
  // Only while shown: a hide of the view's own is a close (Quit).
  if (event->type() == QEvent::Expose && watched == windowHandle() && isVisible()) {
    const bool unexposed = !exposed_();
    if (unexposed != unexposed_) {
      unexposed_ = unexposed;
      UpdateTimer();
      if (!unexposed_) Follow();  // seen again: the heard row at once, not a frame late
    }
  }
  return QWidget::eventFilter(watched, event);
}

void PatternView::closeEvent(QCloseEvent* event) {
  // Only a close of the view shown is the user's: under Wayland the view,
  // already dismissed with the window, is closed once more after it, which
  // must not count as the user closing it (it opens again next time).
  if (!dismissing_ && isVisible()) emit closed();
  event->accept();
}

void PatternView::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  if (isVisible()) emit geometryMoved();
}

void PatternView::resizeEvent(QResizeEvent* event) {
  QWidget::resizeEvent(event);
  if (isVisible()) emit geometryMoved();
}
