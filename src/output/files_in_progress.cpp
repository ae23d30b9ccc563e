#include "output/files_in_progress.h"

#include <unistd.h>

#include <atomic>
#include <cstring>
#include <memory>
#include <new>
#include <vector>

namespace erp2npx {

namespace {

// Entries are only ever added at the head and reused, never freed, so the
// handler can walk the list wherever it broke in. A path is published only
// once written, and taken back before it is freed.
struct Entry {
  std::atomic<char*> path{nullptr};  // while registered
  Entry* next = nullptr;             // set before the entry is published
};

// The handler may take no lock and allocate nothing.
static_assert(std::atomic<char*>::is_always_lock_free);
static_assert(std::atomic<Entry*>::is_always_lock_free);

std::atomic<Entry*> head{nullptr};
// The registering thread's own: the entries by registration - 1, and the
// registrations withdrawn, free for the next file.
std::vector<Entry*> entries;
std::vector<size_t> withdrawn;

// A file whose path cannot be copied is only left out of the interrupt's
// cleanup; the run goes on.
char* copyOf(const std::string& path) {
  char* copy = new (std::nothrow) char[path.size() + 1];
  if (copy != nullptr) std::memcpy(copy, path.c_str(), path.size() + 1);
  return copy;
}

void onInterrupt(int signalNumber) {
  for (Entry* entry = head.load(); entry != nullptr; entry = entry->next) {
    if (const char* path = entry->path.load()) unlink(path);
  }
  signal(signalNumber, SIG_DFL);
  raise(signalNumber);
}

constexpr int kInterrupts[] = {SIGINT, SIGTERM, SIGHUP};

sigset_t interruptSignals() {
  sigset_t signals;
  sigemptyset(&signals);
  for (const int signalNumber : kInterrupts) sigaddset(&signals, signalNumber);
  return signals;
}

}  // namespace

void removePartialFilesOnInterrupt() {
  for (const int signalNumber : kInterrupts) signal(signalNumber, onInterrupt);
}

size_t registerFileInProgress(const std::string& path) {
  size_t registration = 0;
  if (withdrawn.empty()) {
    auto entry = std::make_unique<Entry>();
    entry->next = head.load();
    entries.push_back(entry.get());
    head.store(entry.release());
    registration = entries.size();
  } else {
    registration = withdrawn.back();
    withdrawn.pop_back();
  }
  entries[registration - 1]->path.store(copyOf(path));
  return registration;
}

void withdrawFileInProgress(size_t registration) {
  if (registration == 0 || registration > entries.size()) return;
  delete[] entries[registration - 1]->path.exchange(nullptr);
  withdrawn.push_back(registration);
}

InterruptsHeld::InterruptsHeld() {
  const sigset_t signals = interruptSignals();
  pthread_sigmask(SIG_BLOCK, &signals, &previous_);
}

InterruptsHeld::~InterruptsHeld() { pthread_sigmask(SIG_SETMASK, &previous_, nullptr); }

}  // namespace erp2npx
