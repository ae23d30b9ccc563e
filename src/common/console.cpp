#include "common/console.h"

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
  std::fputs(text.c_str(), stdout);
  std::fputc('\n', stdout);
  std::fflush(stdout);
  drawStatus(status_);
}

void Console::text(const std::string& text) {
  if (collect_) {
    collected_.push_back(text);
    return;
  }
  std::fputs(text.c_str(), stdout);
}

void Console::note(const std::string& text) {
  if (collect_) {
    notes_.push_back(text);
    return;
  }
  // After what standard output holds so far, when both reach one terminal.
  std::fflush(stdout);
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
