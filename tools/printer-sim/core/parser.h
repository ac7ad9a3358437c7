#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "bitmap.h"

namespace printersim {

enum class Op : uint8_t {
  kText,
  kLf,
  kCr,
  kHt,
  kFf,
  kNul,
  kInit,
  kPrintMode,
  kEmphasis,
  kUnderline,
  kJustify,
  kCodePage,
  kFont,
  kFeedLines,
  kFeedDots,
  kLineSpacing,
  kDefaultLineSpacing,
  kCharSize,
  kReverse,
  kCutPartialOnePoint,     // ESC i
  kCutPartialThreePoints,  // ESC m
  kCut,                    // GS V m [n]
  kDrawerKick,
  kNvDefine,
  kNvPrint,
  kRaster,
  kBitImage,
  kDownloadDefine,
  kDownloadPrint,
  kAsb,
  kTransmitStatus,      // GS r n
  kLegacyPaperStatus,   // ESC v
  kLegacyDrawerStatus,  // ESC u n
  kPrinterId,
  kTabs,
  kBarcode,
  kExtended,    // GS ( x pL pH ..., and the like: length-prefixed functions
  kRtStatus,    // DLE EOT n
  kRtRecover,   // DLE ENQ n
  kRtPulse,     // DLE DC4 1 m t
  kRtClear,     // DLE DC4 8 ...
  kUpsideDown,  // ESC {
  kSmoothing,   // GS b
  kBuzzer,      // ESC B n t
  kQrLegacy,    // ESC Z m n k dL dH d...: a QR code in the older form
  kIgnored,     // understood, framed and without effect on this printer
  kBad,         // malformed or truncated: `name` says why, `data` holds (the start of) the bytes
  kUnknown,     // not a command this printer knows: `data` holds the bytes skipped
};

struct Token {
  Op op = Op::kIgnored;
  std::string name;          // as written in the log ("ESC !", "GS v 0")
  std::array<int, 4> arg{};  // the command's first parameters
  int nargs = 0;
  std::string data;            // text, barcode data, tab stops, function payload
  Bitmap image;                // raster, bit and downloaded images
  std::vector<Bitmap> images;  // NV images of one definition
  size_t wire = 0;             // bytes the command took on the wire
  bool Realtime() const {
    return op == Op::kRtStatus || op == Op::kRtRecover || op == Op::kRtPulse || op == Op::kRtClear;
  }
};

struct CommandDef;

struct ParserLimits {
  size_t nv_capacity = 256 * 1024;  // bytes of NV image data one FS q may define
  size_t max_image = 4 * 1024 * 1024;
  size_t max_text_run = 256;
};

// Streaming ESC/POS framer: bytes go in as they arrive, split anywhere; complete commands come out.
// Memory is bounded: payloads beyond the limits are skipped by their declared length, never kept.
class Parser {
 public:
  explicit Parser(ParserLimits limits = {}) : limits_(limits) {}

  void Feed(std::string_view in, std::vector<Token>& out);
  // The sender went away: a half-received command is reported and dropped.
  void Abort(std::vector<Token>& out);
  // Bytes of the command in progress (0 between commands).
  size_t Partial() const { return state_ == State::kIdle ? 0 : wire_; }
  bool InCommand() const { return state_ != State::kIdle; }

 private:
  enum class State : uint8_t { kIdle, kHead, kData, kNvHead, kNvData, kTerminated };

  // Returns false when the byte must be looked at again from the idle state.
  bool Step(uint8_t b, std::vector<Token>& out);
  void Head(std::vector<Token>& out);
  void FlushText(std::vector<Token>& out);
  void Emit(Token t, std::vector<Token>& out);
  void EmitFixed(Op op, std::vector<Token>& out);
  void Bad(std::string why, std::vector<Token>& out);
  void StartData(size_t count, bool store, Op op, std::vector<Token>& out);
  void FinishData(std::vector<Token>& out);
  void FinishNvImage(std::vector<Token>& out);
  void Reset();

  ParserLimits limits_;
  State state_ = State::kIdle;
  const CommandDef* def_ = nullptr;
  std::string head_;
  std::string data_;
  size_t remaining_ = 0;
  bool store_ = false;
  Op data_op_ = Op::kIgnored;
  std::string why_;                 // reason reported when a skipped payload ends
  std::array<int, 4> data_args_{};  // parameters of the command whose payload is coming
  size_t wire_ = 0;
  std::string text_;
  // FS q in progress
  int nv_left_ = 0;
  int nv_index_ = 0;
  size_t nv_total_ = 0;
  bool nv_failed_ = false;
  std::vector<Bitmap> nv_images_;
  int nv_x_ = 0;
  int nv_y_ = 0;
};

}  // namespace printersim
