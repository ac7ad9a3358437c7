#include "engine/output_buffer.h"

#include <cstring>

namespace vtl {

namespace {

// First CR LF pair in data[from, to) whose CR lies in that range (the LF may be at `to`).
std::size_t ScanCrLf(const std::string& data, std::size_t from, std::size_t to) {
  const char* base = data.data();
  const std::size_t end = data.size();
  std::size_t i = from;
  while (i < to && i + 1 < end) {
    const void* cr = std::memchr(base + i, '\r', to - i);
    if (!cr) return std::string::npos;
    i = static_cast<std::size_t>(static_cast<const char*>(cr) - base);
    if (i + 1 < end && base[i + 1] == '\n') return i;
    ++i;
  }
  return std::string::npos;
}

}  // namespace

void OutputBuffer::prepend(std::string_view text) {
  if (text.empty()) return;
  if (head_ >= text.size()) {
    // Room left by consumed bytes: indexes of what follows do not move.
    head_ -= text.size();
    std::memcpy(data_.data() + head_, text.data(), text.size());
    if (memoValid_ && memoFrom_ < head_ + text.size()) memoValid_ = false;
    return;
  }
  std::string joined;
  joined.reserve(text.size() + size());
  joined.append(text);
  joined.append(view());
  data_.swap(joined);
  head_ = 0;
  memoValid_ = false;
}

void OutputBuffer::consume(std::size_t n) {
  head_ += n < size() ? n : size();
  Compact();
}

void OutputBuffer::clear() {
  data_.clear();
  head_ = 0;
  memoValid_ = false;
}

void OutputBuffer::Compact() {
  if (head_ == data_.size()) {
    clear();
    return;
  }
  // Reclaim the consumed front only once it outweighs what is left: each byte moves O(1) times.
  if (head_ < 65536 || head_ < data_.size() / 2) return;
  data_.erase(0, head_);
  if (memoValid_) {
    if (memoFrom_ < head_) {
      memoValid_ = false;
    } else {
      memoFrom_ -= head_;
      if (memoAt_ != npos) memoAt_ -= head_;
      memoScanned_ = memoScanned_ > head_ ? memoScanned_ - head_ : 0;
    }
  }
  head_ = 0;
}

std::size_t OutputBuffer::FindCrLf(std::size_t from) {
  const std::size_t start = head_ + from;
  if (start >= data_.size()) return npos;
  std::size_t found = npos;
  if (memoValid_ && start >= memoFrom_) {
    if (memoAt_ != npos && memoAt_ >= start) {
      found = memoAt_;
    } else if (memoAt_ == npos) {
      // Look only where the last search did not; back one byte for a CR whose LF came later.
      std::size_t resume = memoScanned_ > 0 ? memoScanned_ - 1 : 0;
      if (resume < start) resume = start;
      found = ScanCrLf(data_, resume, data_.size());
    } else {
      found = ScanCrLf(data_, start, data_.size());
    }
  } else if (memoValid_ && start < memoFrom_) {
    found = ScanCrLf(data_, start, memoFrom_);
    if (found == npos) return FindCrLf(memoFrom_ - head_);
  } else {
    found = ScanCrLf(data_, start, data_.size());
  }
  memoValid_ = true;
  memoFrom_ = start;
  memoAt_ = found;
  memoScanned_ = data_.size();
  return found == npos ? npos : found - head_;
}

}  // namespace vtl
