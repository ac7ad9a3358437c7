// The output buffer of a printer port: text ready to be written, consumed block by block from the
// front, with unwritten tails put back in front.
//
// Blocks leave from the front of buffers that can hold megabytes, and each cut looks for the next
// line end. A plain string would copy the whole remainder for every block and search it again for
// every cut; here removal from the front only moves an offset, and the line-end search remembers
// how far it has looked, so sending a buffer costs time linear in its size.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>
#include <vector>

namespace vtl {

// A binary command queued whole (Imprimir with tmpComandoPuro): bytes [begin, end). A channel that
// inserts bytes of its own between cuts (the network channel's status requests) never cuts inside
// one, so image data and the like reach the printer exactly as given.
struct PureSpan {
  std::size_t begin = 0;
  std::size_t end = 0;
};

class OutputBuffer {
 public:
  static constexpr std::size_t npos = std::string_view::npos;

  std::size_t size() const { return data_.size() - head_; }
  bool empty() const { return size() == 0; }
  std::string_view view() const { return std::string_view(data_).substr(head_); }
  std::string str() const { return std::string(view()); }

  void append(std::string_view text) { data_.append(text); }
  // Appends `text` with its pure commands (indexes into `text`, ascending and disjoint).
  void append(std::string_view text, const std::vector<PureSpan>& pure);
  // Puts `text` back in front of what is left.
  void prepend(std::string_view text) { prepend(text, {}); }
  // `seguido`: the last pure command of `text` goes on in the first one of what is left (a
  // command sent in part comes back); the two are one command again.
  void prepend(std::string_view text, const std::vector<PureSpan>& pure, bool seguido = false);
  // Drops the first n bytes (all of them when n is larger).
  void consume(std::size_t n);
  void clear();

  // Index (from the front) of the first CR LF pair starting at or after `from`, or npos.
  std::size_t FindCrLf(std::size_t from);

  // `cut` (an index from the front) moved past the pure command it would split, if any.
  std::size_t CutOutsidePure(std::size_t cut) const;
  // The pure commands among the first n bytes, indexes from the front.
  std::vector<PureSpan> PureSpans(std::size_t n) const;

 private:
  void Compact();

  std::string data_;
  std::size_t head_ = 0;
  // Pure commands, in indexes of data_; those wholly consumed are dropped.
  std::deque<PureSpan> pure_;
  // What the last search learnt, in indexes of data_: the first pair at or after memoFrom_ is at
  // memoAt_; when memoAt_ is npos, there is none before memoScanned_.
  bool memoValid_ = false;
  std::size_t memoFrom_ = 0;
  std::size_t memoAt_ = npos;
  std::size_t memoScanned_ = 0;
};

// The pure commands of text waiting in a plain string (Imprimir's queue). The marks stay valid
// only while the string grows through Note(): once anything else has consumed or cleared it, they
// no longer describe it and are forgotten.
class QueueMarks {
 public:
  // Call before appending `added` bytes to `queue`.
  void Note(const std::string& queue, std::size_t added, bool pure);
  // The marks for what `queue` holds now (none if they are stale); forgets them.
  std::vector<PureSpan> Take(const std::string& queue);

 private:
  std::vector<PureSpan> spans_;
  std::size_t known_ = 0;
};

}  // namespace vtl
