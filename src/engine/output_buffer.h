// The output buffer of a printer port: text ready to be written, consumed block by block from the
// front, with unwritten tails put back in front.
//
// Blocks leave from the front of buffers that can hold megabytes, and each cut looks for the next
// line end. A plain string would copy the whole remainder for every block and search it again for
// every cut; here removal from the front only moves an offset, and the line-end search remembers
// how far it has looked, so sending a buffer costs time linear in its size.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace vtl {

class OutputBuffer {
 public:
  static constexpr std::size_t npos = std::string_view::npos;

  std::size_t size() const { return data_.size() - head_; }
  bool empty() const { return size() == 0; }
  std::string_view view() const { return std::string_view(data_).substr(head_); }
  std::string str() const { return std::string(view()); }

  void append(std::string_view text) { data_.append(text); }
  // Puts `text` back in front of what is left.
  void prepend(std::string_view text);
  // Drops the first n bytes (all of them when n is larger).
  void consume(std::size_t n);
  void clear();

  // Index (from the front) of the first CR LF pair starting at or after `from`, or npos.
  std::size_t FindCrLf(std::size_t from);

 private:
  void Compact();

  std::string data_;
  std::size_t head_ = 0;
  // What the last search learnt, in indexes of data_: the first pair at or after memoFrom_ is at
  // memoAt_; when memoAt_ is npos, there is none before memoScanned_.
  bool memoValid_ = false;
  std::size_t memoFrom_ = 0;
  std::size_t memoAt_ = npos;
  std::size_t memoScanned_ = 0;
};

}  // namespace vtl
