#pragma once

#include <string>
#include <vector>

namespace erp2npx {

// Where the layers' messages go: standard output as they come, for the
// converter, or a list, for npxcheck and the tests. Every message is one
// text; the fixed texts that carry their own line ends are kept as they are.
class Console {
 public:
  static Console printing() { return Console(false); }
  static Console collecting() { return Console(true); }

  // A line: the text and a line end, flushed at once.
  void line(const std::string& text);
  // A text with its own line ends, written as it is.
  void text(const std::string& text);
  // A line on standard error: an explanation beside the fixed output, which
  // standard output keeps to.
  void note(const std::string& text);

  // What a collecting console holds, in order, without added line ends.
  const std::vector<std::string>& collected() const { return collected_; }
  const std::vector<std::string>& collectedNotes() const { return notes_; }

  // Writes out what text() left in the buffer.
  void flush();
  // The error number of the first write to standard output that failed, 0
  // for none; from then on nothing more is written there.
  int outputError() const { return outputError_; }

  // A status line kept at the bottom of a terminal on standard error:
  // printed lines clear it first and draw it again after. Empty for none.
  void setStatusLine(const std::string& status);

 private:
  explicit Console(bool collect) : collect_(collect) {}

  void noteWritten(bool written);

  bool collect_;
  int outputError_ = 0;
  std::vector<std::string> collected_;
  std::vector<std::string> notes_;
  std::string status_;
};

}  // namespace erp2npx
