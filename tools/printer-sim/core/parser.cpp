#include "parser.h"

#include <algorithm>

namespace printersim {

namespace {

constexpr uint8_t kEsc = 0x1B;
constexpr uint8_t kGs = 0x1D;
constexpr uint8_t kFs = 0x1C;
constexpr uint8_t kDle = 0x10;

constexpr size_t kMaxTabs = 32;
constexpr size_t kMaxNulTerminatedBarcode = 255;
constexpr size_t kMaxStoredFunction = 8192;
constexpr size_t kMaxDownloadBytes = 1536;  // x * y of GS *

bool IsText(uint8_t b) {
  return b >= 0x20;
}

}  // namespace

enum class Shape : uint8_t {
  kFixed,     // `len` bytes in all
  kCut,       // GS V m, plus n for the feed-and-cut forms
  kRaster,    // GS v 0 m xL xH yL yH d...
  kBitImage,  // ESC * m nL nH d...
  kNvDefine,  // FS q n [xL xH yL yH d...] x n
  kDownload,  // GS * x y d...
  kLen16,     // prefix code fn pL pH d...
  kLen32,     // GS 8 L p1 p2 p3 p4 d...
  kTabs,      // ESC D n1 ... NUL
  kBarcode,   // GS k m d... NUL  or  GS k m n d1...dn
  kDc4,       // DLE DC4 fn ...
  kEscZ,      // ESC Z m n k dL dH d...
};

struct CommandDef {
  uint8_t prefix;
  uint8_t code;
  Shape shape;
  uint8_t len;
  Op op;
  const char* name;
};

namespace {

// clang-format off
constexpr CommandDef kDefs[] = {
  {kEsc, '@', Shape::kFixed, 2, Op::kInit, "ESC @"},
  {kEsc, '!', Shape::kFixed, 3, Op::kPrintMode, "ESC !"},
  {kEsc, 'E', Shape::kFixed, 3, Op::kEmphasis, "ESC E"},
  {kEsc, 'G', Shape::kFixed, 3, Op::kIgnored, "ESC G"},
  {kEsc, '-', Shape::kFixed, 3, Op::kUnderline, "ESC -"},
  {kEsc, 'a', Shape::kFixed, 3, Op::kJustify, "ESC a"},
  {kEsc, 't', Shape::kFixed, 3, Op::kCodePage, "ESC t"},
  {kEsc, 'M', Shape::kFixed, 3, Op::kFont, "ESC M"},
  {kEsc, 'd', Shape::kFixed, 3, Op::kFeedLines, "ESC d"},
  {kEsc, 'J', Shape::kFixed, 3, Op::kFeedDots, "ESC J"},
  {kEsc, 'e', Shape::kFixed, 3, Op::kIgnored, "ESC e"},
  {kEsc, '2', Shape::kFixed, 2, Op::kDefaultLineSpacing, "ESC 2"},
  {kEsc, '3', Shape::kFixed, 3, Op::kLineSpacing, "ESC 3"},
  {kEsc, 'i', Shape::kFixed, 2, Op::kCutPartialOnePoint, "ESC i"},
  {kEsc, 'm', Shape::kFixed, 2, Op::kCutPartialThreePoints, "ESC m"},
  {kEsc, 'p', Shape::kFixed, 5, Op::kDrawerKick, "ESC p"},
  {kEsc, 'v', Shape::kFixed, 2, Op::kLegacyPaperStatus, "ESC v"},
  {kEsc, 'u', Shape::kFixed, 3, Op::kLegacyDrawerStatus, "ESC u"},
  {kEsc, ' ', Shape::kFixed, 3, Op::kIgnored, "ESC SP"},
  {kEsc, '$', Shape::kFixed, 4, Op::kIgnored, "ESC $"},
  {kEsc, '\\', Shape::kFixed, 4, Op::kIgnored, "ESC \\"},
  {kEsc, '%', Shape::kFixed, 3, Op::kIgnored, "ESC %"},
  {kEsc, '=', Shape::kFixed, 3, Op::kIgnored, "ESC ="},
  {kEsc, '?', Shape::kFixed, 3, Op::kIgnored, "ESC ?"},
  {kEsc, 'R', Shape::kFixed, 3, Op::kIgnored, "ESC R"},
  {kEsc, 'T', Shape::kFixed, 3, Op::kIgnored, "ESC T"},
  {kEsc, 'U', Shape::kFixed, 3, Op::kIgnored, "ESC U"},
  {kEsc, 'V', Shape::kFixed, 3, Op::kIgnored, "ESC V"},
  {kEsc, 'r', Shape::kFixed, 3, Op::kIgnored, "ESC r"},
  {kEsc, '{', Shape::kFixed, 3, Op::kUpsideDown, "ESC {"},
  {kEsc, 'B', Shape::kFixed, 4, Op::kBuzzer, "ESC B"},
  {kEsc, 'Z', Shape::kEscZ, 7, Op::kQrLegacy, "ESC Z"},
  {kEsc, 'L', Shape::kFixed, 2, Op::kIgnored, "ESC L"},
  {kEsc, 'S', Shape::kFixed, 2, Op::kIgnored, "ESC S"},
  {kEsc, 'W', Shape::kFixed, 10, Op::kIgnored, "ESC W"},
  {kEsc, '<', Shape::kFixed, 2, Op::kIgnored, "ESC <"},
  {kEsc, 'c', Shape::kFixed, 4, Op::kIgnored, "ESC c"},
  {kEsc, '*', Shape::kBitImage, 5, Op::kBitImage, "ESC *"},
  {kEsc, 'D', Shape::kTabs, 2, Op::kTabs, "ESC D"},
  {kEsc, '(', Shape::kLen16, 5, Op::kExtended, "ESC ("},
  {kGs, '!', Shape::kFixed, 3, Op::kCharSize, "GS !"},
  {kGs, 'B', Shape::kFixed, 3, Op::kReverse, "GS B"},
  {kGs, 'V', Shape::kCut, 3, Op::kCut, "GS V"},
  {kGs, 'v', Shape::kRaster, 8, Op::kRaster, "GS v 0"},
  {kGs, '*', Shape::kDownload, 4, Op::kDownloadDefine, "GS *"},
  {kGs, '/', Shape::kFixed, 3, Op::kDownloadPrint, "GS /"},
  {kGs, 'a', Shape::kFixed, 3, Op::kAsb, "GS a"},
  {kGs, 'r', Shape::kFixed, 3, Op::kTransmitStatus, "GS r"},
  {kGs, 'I', Shape::kFixed, 3, Op::kPrinterId, "GS I"},
  {kGs, 'k', Shape::kBarcode, 3, Op::kBarcode, "GS k"},
  {kGs, '(', Shape::kLen16, 5, Op::kExtended, "GS ("},
  {kGs, '8', Shape::kLen32, 7, Op::kExtended, "GS 8 L"},
  {kGs, '$', Shape::kFixed, 4, Op::kIgnored, "GS $"},
  {kGs, 'H', Shape::kFixed, 3, Op::kIgnored, "GS H"},
  {kGs, 'L', Shape::kFixed, 4, Op::kIgnored, "GS L"},
  {kGs, 'P', Shape::kFixed, 4, Op::kIgnored, "GS P"},
  {kGs, 'W', Shape::kFixed, 4, Op::kIgnored, "GS W"},
  {kGs, '\\', Shape::kFixed, 4, Op::kIgnored, "GS \\"},
  {kGs, '^', Shape::kFixed, 5, Op::kIgnored, "GS ^"},
  {kGs, 'b', Shape::kFixed, 3, Op::kSmoothing, "GS b"},
  {kGs, 'f', Shape::kFixed, 3, Op::kIgnored, "GS f"},
  {kGs, 'h', Shape::kFixed, 3, Op::kIgnored, "GS h"},
  {kGs, 'w', Shape::kFixed, 3, Op::kIgnored, "GS w"},
  {kGs, 'T', Shape::kFixed, 3, Op::kIgnored, "GS T"},
  {kGs, ':', Shape::kFixed, 2, Op::kIgnored, "GS :"},
  {kFs, 'p', Shape::kFixed, 4, Op::kNvPrint, "FS p"},
  {kFs, 'q', Shape::kNvDefine, 3, Op::kNvDefine, "FS q"},
  {kFs, '!', Shape::kFixed, 3, Op::kIgnored, "FS !"},
  {kFs, '&', Shape::kFixed, 2, Op::kIgnored, "FS &"},
  {kFs, '.', Shape::kFixed, 2, Op::kIgnored, "FS ."},
  {kFs, '-', Shape::kFixed, 3, Op::kIgnored, "FS -"},
  {kFs, 'C', Shape::kFixed, 3, Op::kIgnored, "FS C"},
  {kFs, 'S', Shape::kFixed, 4, Op::kIgnored, "FS S"},
  {kFs, 'W', Shape::kFixed, 3, Op::kIgnored, "FS W"},
  {kFs, '(', Shape::kLen16, 5, Op::kExtended, "FS ("},
  {kDle, 0x04, Shape::kFixed, 3, Op::kRtStatus, "DLE EOT"},
  {kDle, 0x05, Shape::kFixed, 3, Op::kRtRecover, "DLE ENQ"},
  {kDle, 0x14, Shape::kDc4, 3, Op::kRtPulse, "DLE DC4"},
};
// clang-format on

const CommandDef* Lookup(uint8_t prefix, uint8_t code) {
  for (const CommandDef& d : kDefs) {
    if (d.prefix == prefix && d.code == code) return &d;
  }
  return nullptr;
}

int U8(const std::string& s, size_t i) {
  return static_cast<uint8_t>(s[i]);
}
int U16(const std::string& s, size_t i) {
  return U8(s, i) | (U8(s, i + 1) << 8);
}

}  // namespace

void Parser::Reset() {
  state_ = State::kIdle;
  def_ = nullptr;
  head_.clear();
  if (data_.capacity() > 65536) {
    std::string().swap(data_);
  } else {
    data_.clear();
  }
  remaining_ = 0;
  store_ = false;
  wire_ = 0;
  why_.clear();
  data_args_ = {};
  nv_images_.clear();
  nv_left_ = 0;
  nv_index_ = 0;
  nv_total_ = 0;
  nv_failed_ = false;
}

void Parser::FlushText(std::vector<Token>& out) {
  if (text_.empty()) return;
  Token t;
  t.op = Op::kText;
  t.name = "text";
  t.wire = text_.size();
  t.data.swap(text_);
  out.push_back(std::move(t));
  text_.clear();
}

void Parser::Emit(Token t, std::vector<Token>& out) {
  t.wire = wire_;
  out.push_back(std::move(t));
  Reset();
}

void Parser::EmitFixed(Op op, std::vector<Token>& out) {
  Token t;
  t.op = op;
  t.name = def_->name;
  for (size_t i = 2; i < head_.size() && t.nargs < 4; ++i) t.arg[t.nargs++] = U8(head_, i);
  Emit(std::move(t), out);
}

void Parser::Bad(std::string why, std::vector<Token>& out) {
  Token t;
  t.op = Op::kBad;
  t.name = std::move(why);
  t.data = head_;
  Emit(std::move(t), out);
}

void Parser::StartData(size_t count, bool store, Op op, std::vector<Token>& out) {
  data_op_ = op;
  store_ = store;
  remaining_ = count;
  data_.clear();
  if (store) data_.reserve(count);
  state_ = State::kData;
  if (count == 0) FinishData(out);
}

void Parser::FinishData(std::vector<Token>& out) {
  Token t;
  t.op = data_op_;
  t.name = def_->name;
  t.arg = data_args_;
  t.nargs = 4;
  switch (data_op_) {
    case Op::kRaster:
      t.image = FromRaster(data_args_[1], data_args_[2], data_);
      break;
    case Op::kBitImage:
      t.image = FromBitImage(data_args_[1], data_args_[0] >= 32 ? 3 : 1, data_);
      break;
    case Op::kDownloadDefine:
      t.image = FromColumns(data_args_[0], data_args_[1], data_);
      break;
    case Op::kBad:
      t.name = why_;
      t.data = head_;
      break;
    case Op::kExtended:
      if (def_->shape == Shape::kLen32) {
        t.data.swap(data_);  // graphics, named as the table names it
        break;
      }
      if (def_->prefix == kGs) t.name = "GS (";
      if (data_args_[0] >= 0x20 && data_args_[0] < 0x7F) {
        t.name += ' ';
        t.name += static_cast<char>(data_args_[0]);
      }
      t.data.swap(data_);
      break;
    default:
      t.data.swap(data_);
      break;
  }
  Emit(std::move(t), out);
}

void Parser::FinishNvImage(std::vector<Token>& out) {
  if (store_) {
    nv_images_.push_back(FromColumns(nv_x_, nv_y_, data_));
    nv_total_ += data_.size();
  }
  data_.clear();
  ++nv_index_;
  if (--nv_left_ > 0) {
    head_.resize(3);  // keep "FS q n" for a report of a later failure
    state_ = State::kNvHead;
    return;
  }
  if (nv_failed_) {
    Bad(why_, out);
    return;
  }
  Token t;
  t.op = Op::kNvDefine;
  t.name = "FS q";
  t.arg[0] = static_cast<int>(nv_images_.size());
  t.nargs = 1;
  t.images = std::move(nv_images_);
  Emit(std::move(t), out);
}

void Parser::Head(std::vector<Token>& out) {
  const size_t n = head_.size();
  switch (def_->shape) {
    case Shape::kFixed:
      if (n == def_->len) EmitFixed(def_->op, out);
      return;
    case Shape::kCut: {
      if (n == 3) {
        int m = U8(head_, 2);
        if (m == 0 || m == 1 || m == 48 || m == 49) {
          EmitFixed(Op::kCut, out);
        } else if (!(m == 65 || m == 66 || m == 97 || m == 98 || m == 103 || m == 104)) {
          Bad("GS V: unknown cut mode " + std::to_string(m), out);
        }
      } else if (n == 4) {
        EmitFixed(Op::kCut, out);
      }
      return;
    }
    case Shape::kRaster: {
      if (n == 3 && head_[2] != '0') {
        Bad("GS v: unknown function " + std::to_string(U8(head_, 2)), out);
        return;
      }
      if (n < 8) return;
      int m = U8(head_, 3);
      int x = U16(head_, 4);
      int y = U16(head_, 6);
      size_t count = static_cast<size_t>(x) * static_cast<size_t>(y);
      if (x == 0 || y == 0 || count > limits_.max_image) {
        Bad("GS v 0: image size " + std::to_string(x * 8) + "x" + std::to_string(y) +
                " dots out of range",
            out);
        return;
      }
      data_args_ = {m, x, y, 0};
      if ((m & 0x0F) > 3 || (m > 3 && m < 48) || m > 51) {
        why_ = "GS v 0: unknown mode " + std::to_string(m);
        StartData(count, false, Op::kBad, out);
      } else {
        StartData(count, true, Op::kRaster, out);
      }
      return;
    }
    case Shape::kBitImage: {
      if (n < 5) return;
      int m = U8(head_, 2);
      if (m != 0 && m != 1 && m != 32 && m != 33) {
        Bad("ESC *: unknown mode " + std::to_string(m), out);
        return;
      }
      int cols = U16(head_, 3);
      data_args_ = {m, cols, 0, 0};
      StartData(static_cast<size_t>(cols) * (m >= 32 ? 3 : 1), true, Op::kBitImage, out);
      return;
    }
    case Shape::kNvDefine: {
      if (n < 3) return;
      nv_left_ = U8(head_, 2);
      if (nv_left_ == 0) {
        Bad("FS q: no images", out);
        return;
      }
      nv_index_ = 0;
      nv_total_ = 0;
      nv_failed_ = false;
      nv_images_.clear();
      state_ = State::kNvHead;
      return;
    }
    case Shape::kDownload: {
      if (n < 4) return;
      int x = U8(head_, 2);
      int y = U8(head_, 3);
      if (x == 0 || y == 0) {
        Bad("GS *: empty image", out);
        return;
      }
      data_args_ = {x, y, 0, 0};
      size_t count = static_cast<size_t>(x) * y * 8;
      if (static_cast<size_t>(x) * y > kMaxDownloadBytes) {
        why_ = "GS *: image larger than the download area";
        StartData(count, false, Op::kBad, out);
      } else {
        StartData(count, true, Op::kDownloadDefine, out);
      }
      return;
    }
    case Shape::kLen16: {
      if (n < 5) return;
      size_t len = static_cast<size_t>(U16(head_, 3));
      data_args_ = {U8(head_, 2), static_cast<int>(len), 0, 0};
      // Graphics (GS ( L) are kept whatever their size: at most 64 KB.
      const bool graphics = def_->prefix == kGs && head_[2] == 'L';
      StartData(len, graphics || len <= kMaxStoredFunction, Op::kExtended, out);
      return;
    }
    case Shape::kLen32: {
      if (n == 3 && head_[2] != 'L') {
        Bad("GS 8: unknown function " + std::to_string(U8(head_, 2)), out);
        return;
      }
      if (n < 7) return;
      size_t len = static_cast<size_t>(U16(head_, 3)) | (static_cast<size_t>(U16(head_, 5)) << 16);
      if (len > limits_.max_image * 4) {
        Bad("GS 8 L: data length " + std::to_string(len) + " out of range", out);
        return;
      }
      data_args_ = {static_cast<int>(len & 0x7FFFFFFF), 0, 0, 0};
      if (len > limits_.max_image) {
        why_ =
            "GS 8 L: " + std::to_string(len) + " bytes of graphics, more than this printer keeps";
        StartData(len, false, Op::kBad, out);
      } else {
        StartData(len, true, Op::kExtended, out);
      }
      return;
    }
    case Shape::kTabs:
      data_.clear();
      state_ = State::kTerminated;
      return;
    case Shape::kBarcode: {
      if (n == 3) {
        int m = U8(head_, 2);
        if (m <= 6) {
          data_.clear();
          state_ = State::kTerminated;
        } else if (m < 65 || m > 79) {
          Bad("GS k: unknown barcode system " + std::to_string(m), out);
        }
      } else if (n == 4) {
        data_args_ = {U8(head_, 2), U8(head_, 3), 0, 0};
        StartData(static_cast<size_t>(U8(head_, 3)), true, Op::kBarcode, out);
      }
      return;
    }
    case Shape::kEscZ: {
      if (n < 7) return;
      const size_t len = static_cast<size_t>(U16(head_, 5));
      data_args_ = {U8(head_, 2), U8(head_, 3), U8(head_, 4), static_cast<int>(len)};
      StartData(len, len <= kMaxStoredFunction, Op::kQrLegacy, out);
      return;
    }
    case Shape::kDc4: {
      if (n < 3) return;
      int fn = U8(head_, 2);
      if (fn == 1 || fn == 2) {
        if (n == 5) EmitFixed(fn == 1 ? Op::kRtPulse : Op::kIgnored, out);
      } else if (fn == 8) {
        if (n == 10) {
          static constexpr uint8_t kKey[] = {1, 3, 20, 1, 6, 2, 8};
          bool ok = std::equal(std::begin(kKey), std::end(kKey), head_.begin() + 3,
                               [](uint8_t a, char b) { return a == static_cast<uint8_t>(b); });
          if (ok) {
            EmitFixed(Op::kRtClear, out);
          } else {
            Bad("DLE DC4 8: wrong confirmation bytes", out);
          }
        }
      } else {
        Bad("DLE DC4: unknown function " + std::to_string(fn), out);
      }
      return;
    }
  }
}

bool Parser::Step(uint8_t b, std::vector<Token>& out) {
  switch (state_) {
    case State::kIdle: {
      auto single = [&](Op op, const char* name) {
        Token t;
        t.op = op;
        t.name = name;
        t.wire = 1;
        out.push_back(std::move(t));
      };
      switch (b) {
        case 0x0A:
          single(Op::kLf, "LF");
          return true;
        case 0x0D:
          single(Op::kCr, "CR");
          return true;
        case 0x09:
          single(Op::kHt, "HT");
          return true;
        case 0x0C:
          single(Op::kFf, "FF");
          return true;
        case 0x00:
          single(Op::kNul, "NUL");
          return true;
        case 0x18:
          single(Op::kIgnored, "CAN");
          return true;
        case kEsc:
        case kGs:
        case kFs:
        case kDle:
          head_.assign(1, static_cast<char>(b));
          wire_ = 1;
          state_ = State::kHead;
          return true;
        default: {
          Token t;
          t.op = Op::kUnknown;
          t.name = "control byte";
          t.data.assign(1, static_cast<char>(b));
          t.wire = 1;
          out.push_back(std::move(t));
          return true;
        }
      }
    }
    case State::kHead: {
      if (head_.size() == 1) {
        def_ = Lookup(static_cast<uint8_t>(head_[0]), b);
        if (def_ == nullptr) {
          // A lone prefix before a control byte or before ordinary text is dropped alone, so
          // that the byte after it keeps its meaning.
          Token t;
          t.op = Op::kUnknown;
          t.name = "unknown command";
          t.data = head_;
          if (b >= 0x20 && static_cast<uint8_t>(head_[0]) != kDle) {
            t.data.push_back(static_cast<char>(b));
            ++wire_;
            Emit(std::move(t), out);
            return true;
          }
          Emit(std::move(t), out);
          return false;
        }
      }
      head_.push_back(static_cast<char>(b));
      ++wire_;
      Head(out);
      return true;
    }
    case State::kNvHead: {
      head_.push_back(static_cast<char>(b));
      ++wire_;
      if (head_.size() < 7) return true;
      nv_x_ = U16(head_, 3);
      nv_y_ = U16(head_, 5);
      if (nv_x_ < 1 || nv_x_ > 1023 || nv_y_ < 1 || nv_y_ > 288) {
        Bad("FS q: image " + std::to_string(nv_index_ + 1) + " size " + std::to_string(nv_x_) +
                "x" + std::to_string(nv_y_) + " bytes out of range",
            out);
        return true;
      }
      size_t count = static_cast<size_t>(nv_x_) * nv_y_ * 8;
      store_ = !nv_failed_ && nv_total_ + count <= limits_.nv_capacity;
      if (!store_ && !nv_failed_) {
        nv_failed_ = true;
        why_ = "FS q: images exceed the NV capacity of " + std::to_string(limits_.nv_capacity) +
               " bytes";
        nv_images_.clear();
      }
      remaining_ = count;
      data_.clear();
      if (store_) data_.reserve(count);
      state_ = State::kNvData;
      return true;
    }
    case State::kTerminated: {
      const bool tabs = def_->shape == Shape::kTabs;
      if (b == 0) {
        ++wire_;
        Token t;
        t.op = def_->op;
        t.name = def_->name;
        t.arg[0] = tabs ? 0 : U8(head_, 2);
        t.nargs = tabs ? 0 : 1;
        t.data.swap(data_);
        Emit(std::move(t), out);
        return true;
      }
      const size_t cap = tabs ? kMaxTabs : kMaxNulTerminatedBarcode;
      if (data_.size() >= cap) {
        if (tabs) {
          // Thirty-two stops is the most a printer keeps; the command ends there.
          Token t;
          t.op = Op::kTabs;
          t.name = def_->name;
          t.data.swap(data_);
          Emit(std::move(t), out);
        } else {
          head_ += data_.substr(0, 8);
          Bad("GS k: barcode data not terminated", out);
        }
        return false;
      }
      data_.push_back(static_cast<char>(b));
      ++wire_;
      return true;
    }
    case State::kData:
    case State::kNvData:
      break;  // handled in bulk by Feed
  }
  return true;
}

void Parser::Feed(std::string_view in, std::vector<Token>& out) {
  size_t i = 0;
  while (i < in.size()) {
    if (state_ == State::kData || state_ == State::kNvData) {
      size_t n = std::min(remaining_, in.size() - i);
      if (store_) data_.append(in.substr(i, n));
      remaining_ -= n;
      wire_ += n;
      i += n;
      if (remaining_ == 0) {
        if (state_ == State::kData) {
          FinishData(out);
        } else {
          FinishNvImage(out);
        }
      }
      continue;
    }
    auto b = static_cast<uint8_t>(in[i]);
    if (state_ == State::kIdle && IsText(b)) {
      text_.push_back(static_cast<char>(b));
      ++i;
      if (text_.size() >= limits_.max_text_run) FlushText(out);
      continue;
    }
    if (state_ == State::kIdle) FlushText(out);
    if (Step(b, out)) ++i;
  }
  FlushText(out);
}

void Parser::Abort(std::vector<Token>& out) {
  FlushText(out);
  if (state_ == State::kIdle) return;
  std::string what = def_ != nullptr ? def_->name : "command";
  Bad("truncated " + what + " (" + std::to_string(wire_) + " bytes received)", out);
}

}  // namespace printersim
