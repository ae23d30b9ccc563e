#include "driver/session_walk.h"

#include <algorithm>
#include <map>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "common/messages.h"
#include "driver/progress.h"
#include "header/npx_header.h"
#include "output/binary_epoch_writer.h"
#include "output/files_in_progress.h"
#include "output/output_file.h"
#include "output/output_names.h"
#include "output/session_plan.h"

namespace erp2npx {

namespace {

// The printed directory names end in a backslash; the directories on disk
// are named without it.
std::string printedDirectoryName(const std::string& name) { return name + "\\"; }

std::string joinPath(const std::string& parent, const std::string& name) {
  return parent.empty() ? name : parent + "/" + name;
}

constexpr uint32_t kNone = UINT32_MAX;

// The steps of the walk, in walk order. Each prints its lines when its turn
// comes. Every session of the input has one, so they hold no text of their
// own that can be derived.

// A directory entered.
struct DirectoryStep {
  std::vector<std::string> lines;
  bool failed = false;  // the lines report a problem
};

// A session not written, and why.
struct SkippedStep {
  std::string line;
  int32_t subject = 0;
  int32_t session = 0;
  // Its directory in the walk's, when that may hold an earlier run's files.
  uint32_t directory = kNone;
};

// A session to write, reported once all its epochs are.
struct SessionStep {
  const TrialMap* trials = nullptr;
  int32_t subject = 0;
  int32_t session = 0;
  SessionLayout layout;
  uint32_t directory = kNone;  // in the walk's directories
  uint32_t slot = kNone;       // the writer's, while its file is in progress
  uint64_t epochs = 0;

  std::string stem() const { return sessionStem(subject, session, layout); }
  std::string binName() const { return stem() + ".bin"; }
};

using Step = std::variant<DirectoryStep, SkippedStep, SessionStep>;

// The session number of a step in a directory's range, where every step is
// a session's.
int32_t sessionOf(const Step& step) {
  if (const auto* skipped = std::get_if<SkippedStep>(&step)) return skipped->session;
  return std::get<SessionStep>(step).session;
}

// A subject directory and the steps of its sessions, which follow each
// other in session order.
struct Directory {
  std::string path;
  DirectoryIdentity where;
  size_t firstStep = 0;
  size_t endStep = 0;
};

class Walk {
 public:
  Walk(const StimulusIndex& index, const InputData& data, const ChannelList& channels,
       Console& console, const std::string& root)
      : data_(data),
        channels_(channels),
        console_(console),
        writer_(channels),
        placement_(data.stimuli.size()) {
    for (const auto& [database, subjects] : index.hierarchy) planDatabase(database, subjects, root);
  }

  bool run(const EpochStream& stream) {
    Progress progress(console_, sessionCount(), totalEpochs_);
    progress_ = &progress;
    finishReady();
    EpochConsumer consumer;
    consumer.values = [&](uint64_t firstValue, const float* values, size_t count,
                          const ValuesHold& hold) {
      placeValues(placement_, firstValue, values, count,
                  [&](uint64_t, uint32_t step, uint64_t at, const float* run, size_t length) {
                    write(std::get<SessionStep>(steps_[step]), at, run, length, hold);
                  });
    };
    consumer.failed = [&](uint64_t firstValue, uint64_t count, const std::string& reason) {
      fail(firstValue, count, reason);
    };
    if (totalEpochs_ > 0) stream(consumer);
    while (next_ < steps_.size()) finish(steps_[next_++]);
    progress.finish();
    return complete_;
  }

 private:
  // The sessions counted in the progress line: those written or skipped, and
  // the directories that could not be had.
  uint64_t sessionCount() const {
    uint64_t sessions = 0;
    for (const Step& step : steps_) {
      const auto* directory = std::get_if<DirectoryStep>(&step);
      sessions += directory == nullptr || directory->failed ? 1 : 0;
    }
    return sessions;
  }

  // A session is finished as soon as its last epoch is in, before the epochs
  // of the next: with the input in session order, each file and header is
  // whole before the next one is begun.
  void write(SessionStep& step, uint64_t at, const float* values, size_t count,
             const ValuesHold& hold) {
    const uint32_t slot = slotOf(step);
    writer_.write(slot, at, values, count, hold);
    if (writer_.settled(slot)) finishReady();
  }

  void fail(uint64_t firstValue, uint64_t count, const std::string& reason) {
    for (uint64_t s = firstValue / kEpochValues;
         count > 0 && s <= (firstValue + count - 1) / kEpochValues; ++s) {
      if (!placement_.placed(s)) continue;
      writer_.fail(slotOf(std::get<SessionStep>(steps_[placement_.slot(s)])), reason);
    }
    finishReady();
  }

  SkippedStep& skip(int32_t database, int32_t subject, int32_t session, const std::string& reason) {
    SkippedStep step;
    step.line = msg::sessionSkipped(database, subject, session, reason);
    step.subject = subject;
    step.session = session;
    return std::get<SkippedStep>(steps_.emplace_back(std::move(step)));
  }

  // The session's file in the writer, taken up at its first epoch: the
  // writer holds only the files in progress.
  uint32_t slotOf(SessionStep& step) {
    if (step.slot == kNone) {
      step.slot = writer_.add(binPath(step), static_cast<uint32_t>(step.epochs));
    }
    return step.slot;
  }

  std::string binPath(const SessionStep& step) const {
    return joinPath(directories_[step.directory].path, step.binName());
  }

  // The session of this run that writes the files of subject and session in
  // the directory, or nullptr; through linked directories, that is the first
  // one planned.
  const SessionStep* claimant(const DirectoryIdentity& where, int32_t subject,
                              int32_t session) const {
    const auto linked = identities_.find(where);
    if (linked == identities_.end()) return nullptr;
    for (const uint32_t d : linked->second) {
      const Directory& directory = directories_[d];
      const auto first = steps_.begin() + static_cast<std::ptrdiff_t>(directory.firstStep);
      const auto end = steps_.begin() + static_cast<std::ptrdiff_t>(directory.endStep);
      const auto found = std::lower_bound(
          first, end, session, [](const Step& step, int32_t n) { return sessionOf(step) < n; });
      for (auto s = found; s != end && sessionOf(*s) == session; ++s) {
        const auto* written = std::get_if<SessionStep>(&*s);
        if (written != nullptr && written->subject == subject) return written;
      }
    }
    return nullptr;
  }

  // Enters a directory now; it is reported in its turn.
  bool planDirectory(const std::string& printed, const std::string& path,
                     DirectoryIdentity* identity = nullptr) {
    DirectoryStep step;
    step.lines.push_back(printed);
    const Status usable = ensureDirectory(path, identity);
    if (!usable.ok()) {
      step.lines.push_back(msg::directoryUnusable(path, usable.reason()));
      step.failed = true;
    }
    steps_.emplace_back(std::move(step));
    return usable.ok();
  }

  void planSession(int32_t database, int32_t subject, int32_t session, const TrialMap& trials,
                   uint32_t directory) {
    const Status writable = sessionObstacle(data_, database, subject, session, trials);
    if (!writable.ok()) {
      skip(database, subject, session, writable.reason()).directory = directory;
      return;
    }
    SessionStep step;
    step.trials = &trials;
    step.subject = subject;
    step.session = session;
    step.layout = data_.sessionLayouts[static_cast<size_t>(session)];
    step.directory = directory;
    // Through a linked directory, two sessions can have the same files;
    // the first keeps them.
    const SessionStep* first = claimant(directories_[directory].where, subject, session);
    if (first != nullptr) {
      skip(database, subject, session, msg::filesOfAnotherSession(binPath(step), binPath(*first)));
      return;
    }
    step.epochs = epochCountOf(trials);
    const auto index = static_cast<uint32_t>(steps_.size());
    uint32_t epoch = 0;
    forEachEpochInFileOrder(trials,
                            [&](int32_t stimulus) { placement_.place(stimulus, index, epoch++); });
    totalEpochs_ += step.epochs;
    steps_.emplace_back(std::move(step));
  }

  // Sessions with no directory to go to, each reported with its reason.
  void skipAll(int32_t database, int32_t subject, const SessionMap& sessions) {
    for (const auto& [session, trials] : sessions) {
      skip(database, subject, session,
           sessionObstacle(data_, database, subject, session, trials).reason());
    }
  }

  void planDatabase(int32_t database, const SubjectMap& subjects, const std::string& root) {
    if (database < 0) {
      for (const auto& [subject, sessions] : subjects) skipAll(database, subject, sessions);
      return;
    }
    const std::string name = databaseDirectoryName(database);
    const std::string directory = joinPath(root, name);
    if (!planDirectory(msg::processingDatabase(printedDirectoryName(name)), directory)) return;
    for (const auto& [subject, sessions] : subjects) {
      if (subject < 0) {
        skipAll(database, subject, sessions);
      } else {
        planSubject(database, subject, sessions, directory);
      }
    }
  }

  void planSubject(int32_t database, int32_t subject, const SessionMap& sessions,
                   const std::string& parent) {
    const std::string name = subjectDirectoryName(subject);
    Directory entered{joinPath(parent, name), {}, 0, 0};
    if (!planDirectory(msg::processingSubject(printedDirectoryName(name)), entered.path,
                       &entered.where)) {
      return;
    }
    const auto d = static_cast<uint32_t>(directories_.size());
    entered.firstStep = entered.endStep = steps_.size();
    directories_.push_back(std::move(entered));
    for (const auto& [session, trials] : sessions) {
      planSession(database, subject, session, trials, d);
    }
    directories_[d].endStep = steps_.size();
    identities_[directories_[d].where].push_back(d);
  }

  // Finishes the steps whose turn has come, as far as they are done.
  void finishReady() {
    while (next_ < steps_.size()) {
      auto* session = std::get_if<SessionStep>(&steps_[next_]);
      if (session != nullptr && !writer_.settled(slotOf(*session))) return;
      finish(steps_[next_++]);
    }
  }

  void finish(Step& step) {
    std::visit([this](auto& kind) { finishStep(kind); }, step);
  }

  void finishStep(const DirectoryStep& step) {
    for (const std::string& line : step.lines) console_.line(line);
    complete_ = complete_ && !step.failed;
    if (step.failed) progress_->advance(0);
  }

  void finishStep(const SkippedStep& step) {
    console_.line(step.line);
    complete_ = false;
    if (step.directory != kNone) {
      removeEarlier(step.directory, step.subject, step.session, nullptr);
    }
    progress_->advance(0);
  }

  void finishStep(SessionStep& step) {
    slotOf(step);
    finishSession(step);
    writer_.release(step.slot);
    step.slot = kNone;
    progress_->advance(step.epochs);
  }

  // A session not written leaves nothing of an earlier run under its names
  // that could pass for this input's; files of other sessions of this run
  // (other than self, the session itself when it is one) are not touched.
  void removeEarlier(uint32_t d, int32_t subject, int32_t session, const SessionStep* self) {
    const Directory& directory = directories_[d];
    Result<std::vector<std::string>> names = sessionFilesIn(directory.path, subject, session);
    if (!names.ok()) {
      console_.note(msg::earlierFilesNotSought(directory.path, names.reason()));
      return;
    }
    const SessionStep* owner = claimant(directory.where, subject, session);
    for (const std::string& name : *names) {
      if (owner != nullptr && owner != self && name.substr(0, name.size() - 4) == owner->stem()) {
        continue;
      }
      removeEarlierFile(joinPath(directory.path, name));
    }
  }

  void removeEarlierFile(const std::string& path) {
    const Result<bool> removed = erp2npx::removeEarlierFile(path);
    if (!removed.ok()) console_.note(msg::earlierFileNotRemoved(path, removed.reason()));
    if (removed.ok() && *removed) console_.note(msg::earlierFileRemoved(path));
  }

  // The session's file and its header are not all there: nothing of an
  // earlier run may stand in for them.
  void sessionLost(const SessionStep& step) {
    complete_ = false;
    removeEarlier(step.directory, step.subject, step.session, &step);
  }

  void finishSession(const SessionStep& step) {
    const Status completed = writer_.complete(step.slot);
    if (writer_.creationError(step.slot) != 0) {
      console_.line(msg::errorCreatingFile(writer_.creationError(step.slot), step.binName()));
      sessionLost(step);
      return;
    }
    console_.line(msg::processingSession(step.binName()));
    if (!completed.ok()) {
      console_.line(msg::fileNotWritten(binPath(step), completed.reason()));
      sessionLost(step);
      return;
    }
    const std::string npxPath = joinPath(directories_[step.directory].path, step.stem() + ".npx");
    const Result<NpxHeaderBuilder::Saved> saved = commitWithHeader(step, npxPath);
    if (!saved.ok()) {
      console_.line(msg::fileNotWritten(binPath(step), saved.reason()));
      sessionLost(step);
      return;
    }
    reportHeader(step, npxPath, *saved);
  }

  // Renames the session's file into place and saves its header beside it.
  Result<NpxHeaderBuilder::Saved> commitWithHeader(const SessionStep& step,
                                                   const std::string& npxPath) {
    const SessionEvents events = buildSessionEvents(*step.trials, data_);
    SessionHeaderInputs header;
    header.layout = step.layout;
    const auto info = data_.subjectInfos.find(step.subject);
    if (info != data_.subjectInfos.end()) header.subject = &info->second;
    header.channels = &channels_;
    header.events = &events;
    // The file and its header appear together: an interrupt waits until
    // both are in place, so none can leave the file without its header.
    const InterruptsHeld held;
    const Status committed = writer_.commit(step.slot);
    if (!committed.ok()) return committed;
    return NpxHeaderBuilder().writeSessionHeader(npxPath, header);
  }

  void reportHeader(const SessionStep& step, const std::string& npxPath,
                    const NpxHeaderBuilder::Saved& saved) {
    if (saved.encoder == EncoderCopy::kUnloadable) {
      console_.line(msg::encoderNotLoaded(encoderFileName(step.layout)));
    }
    if (!saved.status.ok()) {
      console_.line(msg::headerNotSaved(npxPath, saved.status.reason()));
      // The file stays, alone, so that a check tells it has no header.
      removeEarlierFile(npxPath);
    }
    // The header is complete only with its encoder; standard output keeps to
    // the converter's fixed lines, so a file without one is noted beside it.
    if (saved.encoder == EncoderCopy::kNoEncoderElement) {
      console_.note(msg::encoderWithoutElement(encoderFileName(step.layout)));
    }
    complete_ = complete_ && saved.status.ok() && saved.encoder == EncoderCopy::kCopied;
  }

  const InputData& data_;
  const ChannelList& channels_;
  Console& console_;
  BinaryEpochWriter writer_;
  EpochPlacement placement_;
  std::vector<Step> steps_;
  std::vector<Directory> directories_;
  // The subject directories by which directory they are, in walk order.
  std::map<DirectoryIdentity, std::vector<uint32_t>> identities_;
  size_t next_ = 0;  // the first step not finished
  uint64_t totalEpochs_ = 0;
  Progress* progress_ = nullptr;
  bool complete_ = true;
};

}  // namespace

bool SessionWalk::walk(const EpochStream& stream) {
  Walk walk(index_, data_, channels_, console_, root_);
  return walk.run(stream);
}

}  // namespace erp2npx
