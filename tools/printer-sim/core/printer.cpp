#include "printer.h"

#include <algorithm>
#include <cmath>

#include "codepages.h"

namespace printersim {

namespace {

constexpr int kDefaultLineSpacing = 30;
constexpr int kBarcodeHeight = 162;
constexpr int kQrHeight = 200;

std::vector<int> DefaultTabs() {
  std::vector<int> t;
  for (int i = 1; i <= 32; ++i) t.push_back(i * 8);
  return t;
}

std::string Byte(uint8_t b) {
  return std::string(1, static_cast<char>(b));
}

bool AsbDiffers(int mask, const std::array<uint8_t, 4>& a, const std::array<uint8_t, 4>& b) {
  if ((mask & 1) && ((a[0] ^ b[0]) & 0x04)) return true;
  if ((mask & 2) && ((a[0] ^ b[0]) & 0x68)) return true;
  if ((mask & 4) && a[1] != b[1]) return true;
  if ((mask & 8) && a[2] != b[2]) return true;
  return false;
}

const char* BarcodeSystem(int m) {
  static constexpr const char* kNames[] = {"UPC-A", "UPC-E",   "EAN13",  "EAN8",    "CODE39",
                                           "ITF",   "CODABAR", "CODE93", "CODE128", "GS1-128"};
  int i = m >= 65 ? m - 65 : m;
  if (i >= 0 && i < static_cast<int>(std::size(kNames))) return kNames[i];
  return "barcode";
}

std::string Printable(std::string_view data) {
  std::string out;
  for (char c : data) {
    auto b = static_cast<uint8_t>(c);
    if (b >= 0x20 && b < 0x7F) {
      out.push_back(c);
    } else {
      static constexpr char kDigits[] = "0123456789abcdef";
      out += "\\x";
      out.push_back(kDigits[b >> 4]);
      out.push_back(kDigits[b & 15]);
    }
  }
  return out;
}

// Magnification selected by the m of FS p, GS v 0 and GS /.
void Scale(int m, int& sx, int& sy) {
  int k = m >= 48 ? m - 48 : m;
  sx = (k & 1) ? 2 : 1;
  sy = (k & 2) ? 2 : 1;
}

}  // namespace

const char* PaperName(Paper p) {
  switch (p) {
    case Paper::kOk:
      return "ok";
    case Paper::kNearEnd:
      return "near-end";
    case Paper::kOut:
      return "out";
  }
  return "?";
}

const char* CutName(Cut c) {
  switch (c) {
    case Cut::kNone:
      return "none";
    case Cut::kFull:
      return "full";
    case Cut::kPartial:
      return "partial";
  }
  return "?";
}

int Receipt::Height() const {
  int h = 0;
  for (const Block& b : blocks) h += b.height;
  return h;
}

Printer::Printer(Options options) : options_(options) {
  options_.paper_width = std::clamp(options_.paper_width, 96, 4096);
  if (options_.receive_buffer == 0) options_.receive_buffer = 1;
  ResetModes();
}

JsonLine Printer::Ev(const char* ev) const {
  JsonLine j;
  j.Add("t", static_cast<int64_t>(now_.count() / 1000));
  j.Add("ev", ev);
  return j;
}

void Printer::Log(const JsonLine& line) const {
  if (log_) log_(line.Str());
}

std::string Printer::Feed(std::string_view bytes) {
  Receive(0, bytes);
  return TakeReplyBytes();
}

void Printer::Receive(int source, std::string_view bytes) {
  for (size_t at = 0; at < bytes.size(); at += 4096) {
    std::string_view chunk = bytes.substr(at, 4096);
    Log(Ev("rx").Add("src", source).Add("n", chunk.size()).Add("hex", Hex(chunk)));
  }
  auto [it, added] =
      sources_.try_emplace(source, Source{Parser(ParserLimits{options_.nv_capacity})});
  Source& src = it->second;
  std::vector<Token> tokens;
  src.parser.Feed(bytes, tokens);
  for (Token& t : tokens) {
    if (t.op == Op::kBad || t.op == Op::kUnknown) {
      LogToken(source, t);
      QueueMark(source, t);
    } else if (t.Realtime()) {
      ExecuteRealtime(source, t);
    } else if (queued_bytes_ + t.wire > options_.hard_limit) {
      Log(Ev("overflow").Add("src", source).Add("cmd", t.name).Add("bytes", t.wire));
    } else {
      queued_bytes_ += t.wire;
      queue_.push_back(Queued{source, std::move(t)});
      Process();
    }
  }
}

// What the parser could not use is logged when it arrives and marked on the paper where it
// stood, so that nothing a host sends disappears without a trace. The mark holds no data of its
// own and takes no room in the receive buffer.
void Printer::QueueMark(int source, const Token& t) {
  Token mark;
  mark.op = t.op;
  mark.name = t.name;
  mark.data = t.data.substr(0, 16);
  queue_.push_back(Queued{source, std::move(mark)});
  Process();
}

void Printer::EndSource(int source) {
  auto it = sources_.find(source);
  if (it == sources_.end()) return;
  std::vector<Token> tokens;
  it->second.parser.Abort(tokens);
  for (const Token& t : tokens) {
    if (t.op == Op::kText) {
      queued_bytes_ += t.wire;
      queue_.push_back(Queued{source, t});
    } else {
      LogToken(source, t);
      QueueMark(source, t);
    }
  }
  sources_.erase(it);
  Process();
}

size_t Printer::Pending() const {
  size_t n = queued_bytes_;
  if (!Processing() || !queue_.empty()) {
    for (const auto& [id, src] : sources_) n += src.parser.Partial();
  }
  return n;
}

size_t Printer::Room() const {
  size_t p = Pending();
  return p >= options_.receive_buffer ? 0 : options_.receive_buffer - p;
}

void Printer::Tick(Micros now) {
  if (now > now_) now_ = now;
  if (drawer_close_at_ && now_ >= *drawer_close_at_) {
    drawer_close_at_.reset();
    if (status_.drawer_open) {
      status_.drawer_open = false;
      StateChanged("drawer");
    }
  }
  Process();
}

std::optional<Micros> Printer::NextWake() const {
  std::optional<Micros> wake = drawer_close_at_;
  if (!queue_.empty() && Processing() && options_.lines_per_second > 0) {
    if (!wake || mech_free_ < *wake) wake = mech_free_;
  }
  return wake;
}

std::vector<Reply> Printer::TakeReplies() {
  std::vector<Reply> out;
  out.swap(replies_);
  return out;
}

std::string Printer::TakeReplyBytes() {
  std::string out;
  for (const Reply& r : replies_) out += r.bytes;
  replies_.clear();
  return out;
}

bool Printer::Online() const {
  return !(status_.offline || status_.cover_open || status_.paper == Paper::kOut || status_.error);
}

uint8_t Printer::RealtimeStatus(int n) const {
  const bool pin3 = status_.drawer_open == options_.drawer_open_is_high;
  const bool near = status_.paper != Paper::kOk;
  const bool out = status_.paper == Paper::kOut;
  uint8_t b = 0x12;
  switch (n) {
    case 1:
      if (pin3) b |= 0x04;
      if (!Online()) b |= 0x08;
      break;
    case 2:
      if (status_.cover_open) b |= 0x04;
      if (out) b |= 0x20;
      if (status_.error) b |= 0x40;
      break;
    case 3:
      if (status_.error) b |= 0x08;
      break;
    case 4:
      if (near) b |= 0x0C;
      if (out) b |= 0x60;
      break;
    default:
      break;
  }
  return b;
}

uint8_t Printer::SensorStatus(int n) const {
  if (n == 1) {
    uint8_t b = 0;
    if (status_.paper != Paper::kOk) b |= 0x03;
    if (status_.paper == Paper::kOut) b |= 0x0C;
    return b;
  }
  return status_.drawer_open == options_.drawer_open_is_high ? 0x01 : 0x00;
}

std::array<uint8_t, 4> Printer::AsbStatus() const {
  std::array<uint8_t, 4> s{0x10, 0x00, 0x00, 0x00};
  if (status_.drawer_open == options_.drawer_open_is_high) s[0] |= 0x04;
  if (!Online()) s[0] |= 0x08;
  if (status_.cover_open) s[0] |= 0x20;
  if (status_.error) s[1] |= 0x08;
  if (status_.paper != Paper::kOk) s[2] |= 0x03;
  if (status_.paper == Paper::kOut) s[2] |= 0x0C;
  return s;
}

void Printer::SetPaper(Paper p) {
  if (status_.paper == p) return;
  status_.paper = p;
  StateChanged("paper");
}

void Printer::SetCover(bool open) {
  if (status_.cover_open == open) return;
  status_.cover_open = open;
  StateChanged("cover");
}

void Printer::SetDrawer(bool open) {
  drawer_close_at_.reset();
  if (status_.drawer_open == open) return;
  status_.drawer_open = open;
  StateChanged("drawer");
}

void Printer::SetOffline(bool offline) {
  if (status_.offline == offline) return;
  status_.offline = offline;
  StateChanged("offline");
}

void Printer::SetError(bool error) {
  if (status_.error == error) return;
  status_.error = error;
  StateChanged("error");
}

void Printer::SetBusy(bool busy) {
  if (status_.busy == busy) return;
  status_.busy = busy;
  StateChanged("busy");
}

void Printer::SetMute(bool mute) {
  if (status_.mute == mute) return;
  status_.mute = mute;
  StateChanged("mute");
}

void Printer::StateChanged(const char* what) {
  Log(Ev("state")
          .Add("changed", what)
          .Add("paper", PaperName(status_.paper))
          .Add("cover", status_.cover_open ? "open" : "closed")
          .Add("drawer", status_.drawer_open ? "open" : "closed")
          .Add("online", Online())
          .Add("error", status_.error)
          .Add("busy", status_.busy)
          .Add("mute", status_.mute));
  std::array<uint8_t, 4> now = AsbStatus();
  if (asb_mask_ != 0 && AsbDiffers(asb_mask_, asb_last_, now)) {
    Answer(Reply::kAll, std::string(reinterpret_cast<const char*>(now.data()), now.size()),
           "automatic status back");
  }
  asb_last_ = now;
  Process();
}

void Printer::Answer(int source, std::string bytes, const std::string& cause) {
  if (status_.mute) {
    Log(Ev("muted").Add("src", source).Add("to", cause).Add("hex", Hex(bytes)));
    return;
  }
  Log(Ev("reply").Add("src", source).Add("to", cause).Add("hex", Hex(bytes)));
  replies_.push_back(Reply{source, std::move(bytes), cause});
}

void Printer::Process() {
  const bool paced = options_.lines_per_second > 0;
  while (!queue_.empty() && Processing()) {
    if (paced && now_ < mech_free_) {
      backlog_ = true;
      break;
    }
    Queued q = std::move(queue_.front());
    queue_.pop_front();
    queued_bytes_ -= q.token.wire;
    const int64_t before = dots_printed_;
    Execute(q.source, q.token);
    if (paced && dots_printed_ > before) {
      // A line is about thirty dots of paper; a thermal head's pace is set in lines per second.
      double us = static_cast<double>(dots_printed_ - before) * 1e6 /
                  (options_.lines_per_second * kDefaultLineSpacing);
      // Lines waiting for the head follow each other without a gap, whenever Tick() comes.
      const Micros start = backlog_ ? mech_free_ : std::max(mech_free_, now_);
      mech_free_ = start + Micros(static_cast<int64_t>(std::ceil(us)));
    }
  }
  if (queue_.empty() || !Processing()) backlog_ = false;
}

void Printer::LogToken(int source, const Token& t) const {
  if (!log_) return;
  if (t.op == Op::kText) {
    std::string text;
    for (char c : t.data) AppendUtf8(text, DecodeByte(code_page_, static_cast<uint8_t>(c)));
    Log(Ev("text").Add("src", source).Add("text", text));
    return;
  }
  const char* ev = t.op == Op::kBad ? "bad" : t.op == Op::kUnknown ? "unknown" : "cmd";
  JsonLine j = Ev(ev);
  j.Add("src", source);
  j.Add(t.op == Op::kBad ? "what" : "cmd", t.name);
  if (t.nargs > 0) {
    std::string args = "[";
    for (int i = 0; i < t.nargs; ++i) {
      if (i > 0) args += ",";
      args += std::to_string(t.arg[i]);
    }
    j.AddRaw("args", args + "]");
  }
  if (!t.image.Empty()) j.Add("width", t.image.width).Add("height", t.image.height);
  if (!t.images.empty()) j.Add("images", static_cast<int>(t.images.size()));
  if (!t.data.empty() && t.op != Op::kText) j.Add("hex", Hex(t.data.substr(0, 64)));
  j.Add("bytes", t.wire);
  Log(j);
}

void Printer::ResetModes() {
  style_ = Style{};
  justify_ = Justify::kLeft;
  code_page_ = options_.code_page;
  line_spacing_ = kDefaultLineSpacing;
  tabs_ = DefaultTabs();
  downloaded_.reset();
  symbol_data_.clear();
  graphics_.reset();
}

void Printer::PutChar(uint8_t byte) {
  const int w = CharWidth(style_);
  if (line_width_ + w > options_.paper_width && !line_.cells.empty()) PrintLine();
  if (line_.cells.empty()) line_.justify = justify_;
  line_.cells.push_back(Cell{DecodeByte(code_page_, byte), style_, -1});
  line_width_ += w;
}

void Printer::PutImageCell(PlacedImage img) {
  const int w = img.Width();
  if (line_width_ + w > options_.paper_width && !line_.cells.empty()) PrintLine();
  if (line_.cells.empty()) line_.justify = justify_;
  line_.images.push_back(std::move(img));
  Cell c;
  c.image = static_cast<int>(line_.images.size()) - 1;
  line_.cells.push_back(c);
  line_width_ += w;
}

void Printer::PutMark(std::string mark) {
  if (line_.cells.empty()) line_.justify = justify_;
  line_.marks.push_back(std::move(mark));
  Cell c;
  c.mark = static_cast<int>(line_.marks.size()) - 1;
  line_.cells.push_back(c);
}

void Printer::PutImageBlock(PlacedImage img) {
  if (!line_.cells.empty()) PrintLine();
  Block b;
  b.kind = Block::Kind::kImage;
  b.justify = justify_;
  b.height = img.Height();
  b.images.push_back(std::move(img));
  AddBlock(std::move(b));
}

void Printer::PutSymbol(const char* kind, int height, const std::string& data) {
  if (!line_.cells.empty()) PrintLine();
  Block b;
  b.kind = Block::Kind::kPlaceholder;
  b.justify = justify_;
  b.height = height;
  b.text = std::string(kind) + ": " + Printable(data);
  AddBlock(std::move(b));
}

void Printer::PrintLine(int advance) {
  Block b = std::move(line_);
  line_ = Block{};
  line_width_ = 0;
  b.kind = Block::Kind::kText;
  int h = 0;
  for (const Cell& c : b.cells) {
    if (c.mark >= 0) continue;
    h = std::max(h, c.image >= 0 ? b.images[c.image].Height() : CharHeight(c.style));
  }
  b.height = std::max(advance > 0 ? advance : line_spacing_, h);
  AddBlock(std::move(b));
}

void Printer::FeedDots(int dots) {
  if (dots <= 0) return;
  Block b;
  b.kind = Block::Kind::kFeed;
  b.height = dots;
  AddBlock(std::move(b));
}

void Printer::AddBlock(Block b) {
  dots_printed_ += b.height;
  current_height_ += b.height;
  if (b.kind == Block::Kind::kFeed && !current_.blocks.empty() &&
      current_.blocks.back().kind == Block::Kind::kFeed) {
    current_.blocks.back().height += b.height;
  } else {
    current_.blocks.push_back(std::move(b));
  }
  if (current_height_ > options_.max_receipt_dots) {
    EndReceipt(Cut::kNone,
               "torn off: longer than " + std::to_string(options_.max_receipt_dots) + " dots");
  }
}

void Printer::EndReceipt(Cut cut, std::string note) {
  if (!line_.cells.empty()) PrintLine();
  if (current_.blocks.empty()) {
    Log(Ev("cut").Add("kind", CutName(cut)).Add("note", "nothing printed since the last cut"));
    return;
  }
  current_.cut = cut;
  current_.note = std::move(note);
  current_.number = next_receipt_++;
  Log(Ev("receipt")
          .Add("n", current_.number)
          .Add("cut", CutName(cut))
          .Add("blocks", current_.blocks.size())
          .Add("dots", current_height_)
          .Add("note", current_.note));
  receipts_.push_back(std::move(current_));
  current_ = Receipt{};
  current_height_ = 0;
}

bool Printer::TearOff(std::string note) {
  if (!line_.cells.empty()) PrintLine();
  if (current_.blocks.empty()) return false;
  EndReceipt(Cut::kNone, std::move(note));
  return true;
}

std::vector<Receipt> Printer::TakeReceipts() {
  std::vector<Receipt> out;
  out.swap(receipts_);
  return out;
}

void Printer::CutCommand(Cut cut, int feed_dots) {
  if (!line_.cells.empty()) PrintLine();
  FeedDots(feed_dots);
  EndReceipt(cut, "");
}

void Printer::Kick() {
  if (options_.drawer_close_after.count() > 0) {
    drawer_close_at_ = now_ + options_.drawer_close_after;
  }
  if (!status_.drawer_open) {
    status_.drawer_open = true;
    StateChanged("drawer");
  }
}

void Printer::ClearBuffers() {
  size_t dropped = queued_bytes_;
  queue_.clear();
  queued_bytes_ = 0;
  size_t cells = line_.cells.size();
  line_ = Block{};
  line_width_ = 0;
  Log(Ev("clear").Add("queued_bytes", dropped).Add("line_cells", cells));
}

std::string Printer::IdReply(int n) const {
  auto text = [](std::string_view s) { return "_" + std::string(s) + std::string(1, '\0'); };
  switch (n) {
    case 1:
    case 49:
      return Byte(0x20);  // model
    case 2:
    case 50:
      return Byte(0x02);  // type: autocutter fitted, no multi-byte characters
    case 3:
    case 51:
      return Byte(0x01);  // version
    case 65:
      return text("1.00");
    case 66:
      return text("VTLDLLXT");
    case 67:
      return text("PRINTER-SIM");
    case 68:
      return text("SIM00001");
    case 69:
      return text("ANK");
    default:
      return {};
  }
}

void Printer::ExecuteRealtime(int source, const Token& t) {
  LogToken(source, t);
  const int n = t.arg[0];
  switch (t.op) {
    case Op::kRtStatus:
      if (n >= 1 && n <= 4) {
        Answer(source, Byte(RealtimeStatus(n)), "DLE EOT " + std::to_string(n));
      } else {
        Log(Ev("bad")
                .Add("src", source)
                .Add("what", "DLE EOT: unknown status " + std::to_string(n)));
      }
      break;
    case Op::kRtRecover:
      if ((n == 1 || n == 2) && status_.error) {
        if (n == 2) ClearBuffers();
        SetError(false);
      }
      break;
    case Op::kRtPulse:
      Kick();
      break;
    case Op::kRtClear:
      ClearBuffers();
      Answer(source, std::string("\x37\x25\x00", 3), "DLE DC4 8");
      break;
    default:
      break;
  }
}

void Printer::Execute(int source, const Token& t) {
  if (t.op == Op::kUnknown || t.op == Op::kBad) {  // logged when they arrived
    if (t.op == Op::kBad) {
      PutMark("bad: " + t.name);
    } else {
      std::string hex;
      for (char c : t.data) hex += " " + Hex(std::string(1, c));
      PutMark("unknown" + hex);
    }
    return;
  }
  LogToken(source, t);
  const int n = t.arg[0];
  auto bad = [&](const std::string& why) {
    Log(Ev("bad").Add("src", source).Add("what", t.name + ": " + why));
  };
  switch (t.op) {
    case Op::kText:
      for (char c : t.data) PutChar(static_cast<uint8_t>(c));
      break;
    case Op::kLf:
      if (!line_.cells.empty()) {
        PrintLine();
      } else {
        FeedDots(line_spacing_);
      }
      break;
    case Op::kFf:
      if (!line_.cells.empty()) PrintLine();
      break;
    case Op::kHt: {
      const int unit = CharWidth(style_);
      for (int stop : tabs_) {
        const int x = stop * unit;
        if (x <= line_width_) continue;
        if (x > options_.paper_width) break;
        while (line_width_ < x) PutChar(' ');
        break;
      }
      break;
    }
    case Op::kCr:
    case Op::kNul:
    case Op::kIgnored:
      break;
    case Op::kInit:
      if (!line_.cells.empty()) {
        Log(Ev("discard")
                .Add("src", source)
                .Add("cells", line_.cells.size())
                .Add("why", "ESC @ clears a line not yet printed"));
        line_ = Block{};
        line_width_ = 0;
      }
      ResetModes();
      break;
    case Op::kPrintMode:
      style_.font_b = n & 0x01;
      style_.bold = n & 0x08;
      style_.height = (n & 0x10) ? 2 : 1;
      style_.width = (n & 0x20) ? 2 : 1;
      style_.underline = (n & 0x80) ? 1 : 0;
      break;
    case Op::kEmphasis:
      style_.bold = n & 1;
      break;
    case Op::kUnderline:
      if (n == 0 || n == 48) {
        style_.underline = 0;
      } else if (n == 1 || n == 49) {
        style_.underline = 1;
      } else if (n == 2 || n == 50) {
        style_.underline = 2;
      } else {
        bad("unknown underline mode " + std::to_string(n));
      }
      break;
    case Op::kJustify:
      if (n == 0 || n == 48) {
        justify_ = Justify::kLeft;
      } else if (n == 1 || n == 49) {
        justify_ = Justify::kCenter;
      } else if (n == 2 || n == 50) {
        justify_ = Justify::kRight;
      } else {
        bad("unknown justification " + std::to_string(n));
      }
      break;
    case Op::kCodePage:
      code_page_ = static_cast<uint8_t>(n);
      if (!CodePageKnown(code_page_)) bad("code page " + std::to_string(n) + " not fitted");
      break;
    case Op::kFont:
      if (n == 0 || n == 48) {
        style_.font_b = false;
      } else if (n == 1 || n == 49) {
        style_.font_b = true;
      } else {
        bad("unknown font " + std::to_string(n));
      }
      break;
    case Op::kFeedLines:
      if (!line_.cells.empty()) {
        PrintLine();
        if (n > 1) FeedDots((n - 1) * line_spacing_);
      } else {
        FeedDots(n * line_spacing_);
      }
      break;
    case Op::kFeedDots:
      if (!line_.cells.empty()) {
        PrintLine(n);
      } else {
        FeedDots(n);
      }
      break;
    case Op::kLineSpacing:
      line_spacing_ = n;
      break;
    case Op::kDefaultLineSpacing:
      line_spacing_ = kDefaultLineSpacing;
      break;
    case Op::kCharSize: {
      int w = (n >> 4) & 0x0F;
      int h = n & 0x0F;
      if (w > 7 || h > 7) {
        bad("character size out of range");
      } else {
        style_.width = static_cast<uint8_t>(w + 1);
        style_.height = static_cast<uint8_t>(h + 1);
      }
      break;
    }
    case Op::kReverse:
      style_.reverse = n & 1;
      break;
    case Op::kCutPartialOnePoint:
    case Op::kCutPartialThreePoints:
      CutCommand(Cut::kPartial, 0);
      break;
    case Op::kCut: {
      const bool partial = n == 1 || n == 49 || n == 66 || n == 98 || n == 104;
      CutCommand(partial ? Cut::kPartial : Cut::kFull, n >= 65 ? t.arg[1] : 0);
      break;
    }
    case Op::kDrawerKick:
      if (n == 0 || n == 1 || n == 48 || n == 49) {
        Kick();
      } else {
        bad("unknown connector pin " + std::to_string(n));
      }
      break;
    case Op::kNvDefine: {
      nv_.clear();
      int id = 1;
      for (const Bitmap& bm : t.images) nv_[id++] = bm;
      ++nv_generation_;
      Log(Ev("nv").Add("src", source).Add("defined", static_cast<int>(nv_.size())));
      break;
    }
    case Op::kNvPrint: {
      auto it = nv_.find(n);
      if (it == nv_.end()) {
        bad("NV image " + std::to_string(n) + " not defined");
        break;
      }
      if (!line_.cells.empty()) PrintLine();
      PlacedImage img{it->second, 1, 1, "NV image " + std::to_string(n)};
      Scale(t.arg[1], img.scale_x, img.scale_y);
      Block b;
      b.kind = Block::Kind::kImage;
      b.justify = justify_;
      b.height = img.Height();
      b.images.push_back(std::move(img));
      AddBlock(std::move(b));
      break;
    }
    case Op::kRaster:
    case Op::kDownloadPrint: {
      PlacedImage img;
      if (t.op == Op::kRaster) {
        img.bitmap = t.image;
        img.label = "raster image";
      } else if (downloaded_) {
        img = *downloaded_;
      } else {
        bad("no downloaded image");
        break;
      }
      Scale(n, img.scale_x, img.scale_y);
      if (!line_.cells.empty()) PrintLine();
      Block b;
      b.kind = Block::Kind::kImage;
      b.justify = justify_;
      b.height = img.Height();
      b.images.push_back(std::move(img));
      AddBlock(std::move(b));
      break;
    }
    case Op::kBitImage: {
      // Eight-dot modes are a third of the vertical density, single density half the horizontal.
      PlacedImage img{t.image, (n == 0 || n == 32) ? 2 : 1, n < 32 ? 3 : 1, "bit image"};
      if (!img.bitmap.Empty()) PutImageCell(std::move(img));
      break;
    }
    case Op::kDownloadDefine:
      downloaded_ = PlacedImage{t.image, 1, 1, "downloaded image"};
      break;
    case Op::kAsb:
      asb_mask_ = n & 0x0F;
      asb_last_ = AsbStatus();
      if (asb_mask_ != 0) {
        Answer(source, std::string(reinterpret_cast<const char*>(asb_last_.data()), 4), "GS a");
      }
      break;
    case Op::kTransmitStatus:
      if (n == 1 || n == 49) {
        Answer(source, Byte(SensorStatus(1)), "GS r 1");
      } else if (n == 2 || n == 50) {
        Answer(source, Byte(SensorStatus(2)), "GS r 2");
      } else {
        bad("unknown status " + std::to_string(n));
      }
      break;
    case Op::kLegacyPaperStatus:
      Answer(source, Byte(SensorStatus(1)), "ESC v");
      break;
    case Op::kLegacyDrawerStatus:
      if (n == 0 || n == 48) {
        Answer(source, Byte(SensorStatus(2)), "ESC u");
      } else {
        bad("unknown peripheral " + std::to_string(n));
      }
      break;
    case Op::kPrinterId: {
      std::string id = IdReply(n);
      if (id.empty()) {
        bad("unknown information " + std::to_string(n));
      } else {
        Answer(source, id, "GS I " + std::to_string(n));
      }
      break;
    }
    case Op::kTabs: {
      tabs_.clear();
      int last = 0;
      for (char c : t.data) {
        int v = static_cast<uint8_t>(c);
        if (v <= last) break;
        tabs_.push_back(v);
        last = v;
      }
      break;
    }
    case Op::kBarcode:
      PutSymbol((std::string("barcode ") + BarcodeSystem(n)).c_str(), kBarcodeHeight, t.data);
      break;
    case Op::kQrLegacy:
      PutSymbol("QR code", kQrHeight, t.data);
      break;
    case Op::kUpsideDown:
      style_.upside_down = n & 1;
      break;
    case Op::kSmoothing:
      style_.smoothing = n & 1;
      break;
    case Op::kBuzzer:
      PutMark("buzzer: " + std::to_string(n) + " beeps, time " + std::to_string(t.arg[1]));
      break;
    case Op::kExtended:
      if (t.name == "GS ( k") {
        Symbol2d(t);
      } else if (t.name == "GS ( L" || t.name == "GS 8 L") {
        Graphics(source, t);
      }
      break;
    default:
      break;
  }
}

// GS ( k: two-dimensional symbols. Data is stored per symbol type (function 80) and printed as
// a placeholder (function 81); the other functions set sizes and levels, which the placeholder
// does not show.
void Printer::Symbol2d(const Token& t) {
  if (t.data.size() < 2) return;
  const int cn = static_cast<uint8_t>(t.data[0]);
  const int fn = static_cast<uint8_t>(t.data[1]);
  static constexpr const char* kNames[] = {"PDF417",    "QR code",    "MaxiCode",  "GS1 DataBar",
                                           "composite", "Aztec code", "DataMatrix"};
  const char* name = cn >= 48 && cn <= 54 ? kNames[cn - 48] : nullptr;
  if (name == nullptr) {
    PutMark("GS ( k: unknown symbol " + std::to_string(cn));
    return;
  }
  if (fn == 80) {
    symbol_data_[cn] = t.data.size() >= 3 ? t.data.substr(3) : std::string();
  } else if (fn == 81) {
    PutSymbol(name, cn == 48 ? kBarcodeHeight : kQrHeight, symbol_data_[cn]);
  }
}

// GS ( L and GS 8 L: graphics stored in the print buffer (functions 112, raster, and 113,
// columns) and printed by function 50. The payload is m fn a bx by c xL xH yL yH data.
void Printer::Graphics(int source, const Token& t) {
  auto u8 = [&](size_t i) { return i < t.data.size() ? static_cast<uint8_t>(t.data[i]) : 0; };
  const int fn = u8(1);
  auto unsupported = [&](const std::string& why) {
    Log(Ev("unsupported").Add("src", source).Add("cmd", t.name).Add("what", why));
    PutMark(t.name + ": " + why);
  };
  switch (fn) {
    case 49:  // dot density
      return;
    case 2:
    case 50:
      if (graphics_) {
        PutImageBlock(*graphics_);
      } else {
        unsupported("no graphics in the print buffer");
      }
      return;
    case 112:
    case 113: {
      if (t.data.size() < 10) {
        unsupported("graphics header cut short");
        return;
      }
      if (u8(2) != 48) {
        unsupported("multiple-tone graphics are not supported");
        return;
      }
      const int width = u8(6) | (u8(7) << 8);
      const int height = u8(8) | (u8(9) << 8);
      if (width < 1 || height < 1 || width > 4096 || height > 4096) {
        unsupported("graphics of " + std::to_string(width) + "x" + std::to_string(height) +
                    " dots");
        return;
      }
      PlacedImage img{FromGraphics(width, height, fn == 113, std::string_view(t.data).substr(10)),
                      u8(3) == 2 ? 2 : 1, u8(4) == 2 ? 2 : 1, "graphics"};
      graphics_ = std::move(img);
      return;
    }
    default:
      unsupported("function " + std::to_string(fn) + " is not supported");
      return;
  }
}

std::string Printer::SaveNv() const {
  std::string out = "PSNV1";
  out.push_back(static_cast<char>(nv_.size()));
  for (const auto& [id, bm] : nv_) {
    out.push_back(static_cast<char>(id));
    for (int v : {bm.width, bm.height}) {
      out.push_back(static_cast<char>(v & 0xFF));
      out.push_back(static_cast<char>((v >> 8) & 0xFF));
    }
    out.append(reinterpret_cast<const char*>(bm.bits.data()), bm.bits.size());
  }
  return out;
}

bool Printer::LoadNv(std::string_view blob, std::string* error) {
  auto fail = [&](const char* why) {
    if (error != nullptr) *error = why;
    return false;
  };
  if (blob.size() < 6 || blob.substr(0, 5) != "PSNV1") return fail("not an NV image file");
  std::map<int, Bitmap> images;
  size_t count = static_cast<uint8_t>(blob[5]);
  size_t at = 6;
  size_t total = 0;
  for (size_t i = 0; i < count; ++i) {
    if (blob.size() - at < 5) return fail("truncated NV image file");
    auto u8 = [&](size_t k) { return static_cast<int>(static_cast<uint8_t>(blob[at + k])); };
    int id = u8(0);
    int w = u8(1) | (u8(2) << 8);
    int h = u8(3) | (u8(4) << 8);
    at += 5;
    if (w <= 0 || h <= 0 || w > 1023 * 8 || h > 288 * 8) return fail("bad NV image size");
    Bitmap bm(w, h);
    if (blob.size() - at < bm.bits.size()) return fail("truncated NV image file");
    std::copy_n(reinterpret_cast<const uint8_t*>(blob.data() + at), bm.bits.size(),
                bm.bits.begin());
    at += bm.bits.size();
    total += bm.bits.size();
    if (total > options_.nv_capacity) return fail("NV images exceed the capacity");
    images[id] = std::move(bm);
  }
  nv_ = std::move(images);
  ++nv_generation_;
  return true;
}

}  // namespace printersim
