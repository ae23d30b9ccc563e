#include "common/console.h"

#include <cerrno>
#include <cstdio>

namespace erp2npx {

namespace {

void clearStatus(const std::string& status) {
  if (!status.empty()) std::fputs("\r\033[K", stderr);
}

void drawStatus(const std::string& status) {
  if (status.empty()) return;
  std::fputs(status.c_str(), stderr);
  std::fflush(stderr);
}

}  // namespace

void Console::line(const std::string& text) {
  if (collect_) {
    collected_.push_back(text);
    return;
  }
  clearStatus(status_);
  if (outputError_ == 0) {
    const bool put = std::fputs(text.c_str(), stdout) >= 0 && std::fputc('\n', stdout) != EOF;
    noteWritten(put && std::fflush(stdout) == 0);
  }
  drawStatus(status_);
}

void Console::flush() {
  if (!collect_ && outputError_ == 0) noteWritten(std::fflush(stdout) == 0);
}

void Console::noteWritten(bool written) {
  if (written && !std::ferror(stdout)) return;
  outputError_ = errno != 0 ? errno : EIO;
}

void Console::text(const std::string& text) {
  if (collect_) {
    collected_.push_back(text);
    return;
  }
  if (outputError_ == 0) noteWritten(std::fputs(text.c_str(), stdout) >= 0);
}

void Console::note(const std::string& text) {
  if (collect_) {
    notes_.push_back(text);
    return;
  }
  // After what standard output holds so far, when both reach one terminal.
  if (outputError_ == 0) noteWritten(std::fflush(stdout) == 0);
  clearStatus(status_);
  std::fputs(text.c_str(), stderr);
  std::fputc('\n', stderr);
  std::fflush(stderr);
  drawStatus(status_);
}

void Console::setStatusLine(const std::string& status) {
  if (collect_) return;
  std::fputs("\r\033[K", stderr);
  status_ = status;
  drawStatus(status_);
}

}  // namespace erp2npx
