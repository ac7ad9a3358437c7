#include "engine/output_buffer.h"

#include <algorithm>
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

void OutputBuffer::append(std::string_view text, const std::vector<PureSpan>& pure) {
  const std::size_t base = data_.size();
  data_.append(text);
  for (const PureSpan& s : pure) {
    if (s.begin < s.end && s.end <= text.size()) pure_.push_back({base + s.begin, base + s.end});
  }
}

void OutputBuffer::prepend(std::string_view text, const std::vector<PureSpan>& pure, bool seguido) {
  if (text.empty()) return;
  const bool unir = seguido && !pure.empty() && pure.back().end == text.size() && !pure_.empty() &&
                    pure_.front().begin == head_;
  std::size_t base;
  if (head_ >= text.size()) {
    // Room left by consumed bytes: indexes of what follows do not move.
    head_ -= text.size();
    std::memcpy(data_.data() + head_, text.data(), text.size());
    if (memoValid_ && memoFrom_ < head_ + text.size()) memoValid_ = false;
    base = head_;
  } else {
    std::string joined;
    joined.reserve(text.size() + size());
    joined.append(text);
    joined.append(view());
    data_.swap(joined);
    const std::size_t shift = text.size() - head_;
    for (PureSpan& s : pure_) {
      s.begin += shift;
      s.end += shift;
    }
    head_ = 0;
    memoValid_ = false;
    base = 0;
  }
  for (auto it = pure.rbegin(); it != pure.rend(); ++it) {
    if (!(it->begin < it->end && it->end <= text.size())) continue;
    if (unir && it == pure.rbegin()) {
      pure_.front().begin = base + it->begin;
    } else {
      pure_.push_front({base + it->begin, base + it->end});
    }
  }
}

void OutputBuffer::consume(std::size_t n) {
  head_ += n < size() ? n : size();
  while (!pure_.empty() && pure_.front().end <= head_) pure_.pop_front();
  if (!pure_.empty() && pure_.front().begin < head_) pure_.front().begin = head_;
  Compact();
}

void OutputBuffer::clear() {
  data_.clear();
  head_ = 0;
  memoValid_ = false;
  pure_.clear();
}

void OutputBuffer::Compact() {
  if (head_ == data_.size()) {
    clear();
    return;
  }
  // Reclaim the consumed front only once it outweighs what is left: each byte moves O(1) times.
  if (head_ < 65536 || head_ < data_.size() / 2) return;
  data_.erase(0, head_);
  for (PureSpan& s : pure_) {
    s.begin -= head_;
    s.end -= head_;
  }
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

std::size_t OutputBuffer::CutOutsidePure(std::size_t cut) const {
  const std::size_t at = head_ + cut;
  // Spans are disjoint and ascending, so their ends are ascending too.
  auto it = std::partition_point(pure_.begin(), pure_.end(),
                                 [at](const PureSpan& s) { return s.end <= at; });
  if (it != pure_.end() && it->begin < at) return it->end - head_;
  return cut;
}

std::vector<PureSpan> OutputBuffer::PureSpans(std::size_t n) const {
  std::vector<PureSpan> out;
  const std::size_t end = head_ + std::min(n, size());
  for (const PureSpan& s : pure_) {
    if (s.begin >= end) break;
    out.push_back({std::max(s.begin, head_) - head_, std::min(s.end, end) - head_});
  }
  return out;
}

void QueueMarks::Note(const std::string& queue, std::size_t added, bool pure) {
  if (queue.size() != known_) spans_.clear();
  if (pure && added > 0) spans_.push_back({queue.size(), queue.size() + added});
  known_ = queue.size() + added;
}

std::vector<PureSpan> QueueMarks::Take(const std::string& queue) {
  std::vector<PureSpan> out;
  if (queue.size() == known_) out.swap(spans_);
  spans_.clear();
  known_ = 0;
  return out;
}

}  // namespace vtl
