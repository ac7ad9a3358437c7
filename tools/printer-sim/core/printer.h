#pragma once

#include <array>
#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "bitmap.h"
#include "json.h"
#include "parser.h"

namespace printersim {

using Micros = std::chrono::microseconds;

enum class Paper : uint8_t { kOk, kNearEnd, kOut };
enum class Justify : uint8_t { kLeft, kCenter, kRight };
enum class Cut : uint8_t { kNone, kFull, kPartial };

const char* PaperName(Paper p);
const char* CutName(Cut c);

struct Style {
  bool bold = false;
  uint8_t underline = 0;  // dots: 0, 1 or 2
  bool font_b = false;
  bool reverse = false;
  uint8_t width = 1;   // character width multiplier, 1..8
  uint8_t height = 1;  // character height multiplier, 1..8
  bool upside_down = false;
  bool smoothing = false;
  bool operator==(const Style&) const = default;
};

// One position of a printed line: a character, a bit image (ESC *) placed in the line, or a mark
// of something that left nothing on the paper (an unknown command, the buzzer), which takes no
// room and shows in the text rendering only.
struct Cell {
  char32_t ch = U' ';
  Style style;
  int image = -1;  // index into Block::images
  int mark = -1;   // index into Block::marks
};

struct PlacedImage {
  Bitmap bitmap;
  int scale_x = 1;
  int scale_y = 1;
  std::string label;  // "NV image 1", "raster image", ...
  int Width() const { return bitmap.width * scale_x; }
  int Height() const { return bitmap.height * scale_y; }
};

struct Block {
  enum class Kind : uint8_t { kText, kImage, kFeed, kPlaceholder };
  Kind kind = Kind::kText;
  Justify justify = Justify::kLeft;
  int height = 0;                   // dots of paper this block advances
  std::vector<Cell> cells;          // kText
  std::vector<PlacedImage> images;  // kImage: one; kText: bit images placed in the line
  std::vector<std::string> marks;   // kText: marks placed in the line, e.g. "buzzer: 2 beeps"
  std::string text;                 // kPlaceholder (UTF-8), e.g. "barcode CODE39: 1234"
};

struct Receipt {
  int number = 0;
  std::vector<Block> blocks;
  Cut cut = Cut::kNone;
  std::string note;  // why it ended without a cut
  int Height() const;
  bool Empty() const { return blocks.empty(); }
};

struct Reply {
  static constexpr int kAll = -1;  // unsolicited (automatic status back): to every connection
  int source = kAll;
  std::string bytes;
  std::string cause;  // the command answered, for the log
};

struct Options {
  int paper_width = 576;  // printable dots per line (80 mm paper; 384 for 58 mm)
  uint8_t code_page = 0;  // table selected at power-on and by ESC @
  Micros drawer_close_after{std::chrono::milliseconds(2000)};  // 0: stays open until told
  double lines_per_second = 0;                                 // 0: prints at once
  size_t receive_buffer = 4096;
  size_t nv_capacity = 256 * 1024;
  bool drawer_open_is_high = false;  // level of connector pin 3 while the drawer is open
  int max_receipt_dots = 40000;      // about 5 m of paper; a longer receipt is torn off there
  size_t hard_limit = 256 * 1024;    // bytes held beyond this are dropped (reported)
};

struct Status {
  Paper paper = Paper::kOk;
  bool cover_open = false;
  bool drawer_open = false;
  bool offline = false;  // forced off line by the operator
  bool error = false;    // a recoverable (cutter) error
  bool busy = false;
  bool mute = false;  // sends nothing back: real-time requests are read and never answered
};

// The printer: feed it what a host sends, get back what the printer answers, look at the paper.
// Not thread-safe; one owner drives it. Time only moves when Tick() is called.
class Printer {
 public:
  explicit Printer(Options options = {});

  // Receives bytes from source 0 and returns every reply due now (to any source).
  std::string Feed(std::string_view bytes);
  // Receives bytes from one connection. Real-time commands are answered at once; the rest is
  // executed in order while the printer is on line and not busy.
  void Receive(int source, std::string_view bytes);
  // The connection went away: a command it left half-sent is dropped, what it sent completely
  // stays queued.
  void EndSource(int source);
  // Bytes the receive buffer can take now; transports read no more than this.
  size_t Room() const;
  size_t Pending() const;

  void Tick(Micros now);
  Micros Now() const { return now_; }
  // When Tick() next has something to do, if anything.
  std::optional<Micros> NextWake() const;

  std::vector<Reply> TakeReplies();
  std::string TakeReplyBytes();

  void SetPaper(Paper p);
  void SetCover(bool open);
  void SetDrawer(bool open);
  void SetOffline(bool offline);
  void SetError(bool error);
  void SetBusy(bool busy);
  void SetMute(bool mute);
  const Status& GetStatus() const { return status_; }
  bool Online() const;
  bool Processing() const { return Online() && !status_.busy; }
  int AsbMask() const { return asb_mask_; }

  // Status bytes as the printer would send them now.
  uint8_t RealtimeStatus(int n) const;  // DLE EOT n, n = 1..4
  uint8_t SensorStatus(int n) const;    // GS r n, n = 1 (paper) or 2 (drawer)
  std::array<uint8_t, 4> AsbStatus() const;

  const std::vector<Receipt>& Receipts() const { return receipts_; }
  std::vector<Receipt> TakeReceipts();
  const Receipt& Current() const { return current_; }
  // Ends the receipt in progress without a cut (what is on the paper, including a line not yet
  // fed); returns false when there was nothing.
  bool TearOff(std::string note);

  const std::map<int, Bitmap>& NvImages() const { return nv_; }
  // Changes whenever the NV images are defined or loaded.
  int NvGeneration() const { return nv_generation_; }
  std::string SaveNv() const;
  bool LoadNv(std::string_view blob, std::string* error);

  // Every event (received, parsed, answered, state) as one JSON object per call.
  void SetLog(std::function<void(const std::string&)> sink) { log_ = std::move(sink); }
  const Options& options() const { return options_; }

 private:
  struct Source {
    Parser parser;
  };
  struct Queued {
    int source;
    Token token;
  };

  JsonLine Ev(const char* ev) const;
  void Log(const JsonLine& line) const;
  void Process();
  void Execute(int source, const Token& t);
  void ExecuteRealtime(int source, const Token& t);
  void LogToken(int source, const Token& t) const;
  void QueueMark(int source, const Token& t);
  void Answer(int source, std::string bytes, const std::string& cause);
  void StateChanged(const char* what);
  void PutChar(uint8_t byte);
  void PutImageCell(PlacedImage img);
  void PutMark(std::string mark);
  void PutSymbol(const char* kind, int height, const std::string& data);
  void PutImageBlock(PlacedImage img);
  void Graphics(int source, const Token& t);
  void Symbol2d(const Token& t);
  void PrintLine(int advance = 0);
  void FeedDots(int dots);
  void AddBlock(Block b);
  void EndReceipt(Cut cut, std::string note);
  void CutCommand(Cut cut, int feed_dots);
  void Kick();
  void ClearBuffers();
  void ResetModes();
  int CharWidth(const Style& s) const { return (s.font_b ? 9 : 12) * s.width; }
  int CharHeight(const Style& s) const { return (s.font_b ? 17 : 24) * s.height; }
  std::string IdReply(int n) const;

  Options options_;
  Micros now_{0};
  std::map<int, Source> sources_;
  std::deque<Queued> queue_;
  size_t queued_bytes_ = 0;
  Micros mech_free_{0};
  bool backlog_ = false;  // work has been waiting for the print head
  std::vector<Reply> replies_;
  std::function<void(const std::string&)> log_;

  Status status_;
  std::optional<Micros> drawer_close_at_;
  int asb_mask_ = 0;
  std::array<uint8_t, 4> asb_last_{};

  Style style_;
  Justify justify_ = Justify::kLeft;
  uint8_t code_page_ = 0;
  int line_spacing_ = 30;
  std::vector<int> tabs_;  // in character widths
  Block line_;
  int line_width_ = 0;
  int current_height_ = 0;
  int64_t dots_printed_ = 0;
  std::optional<PlacedImage> downloaded_;
  std::map<int, std::string> symbol_data_;  // GS ( k: data stored per symbol type (cn)
  std::optional<PlacedImage> graphics_;     // GS ( L / GS 8 L: graphics in the print buffer

  std::map<int, Bitmap> nv_;
  int nv_generation_ = 0;
  Receipt current_;
  int next_receipt_ = 1;
  std::vector<Receipt> receipts_;
};

}  // namespace printersim
