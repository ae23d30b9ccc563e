#include "driver/session_walk.h"

#include <algorithm>
#include <cstdio>
#include <map>
#include <utility>

#include "common/messages.h"
#include "driver/progress.h"
#include "header/npx_header.h"
#include "output/binary_epoch_writer.h"
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

// One step of the walk, in walk order: a directory entered, or a session.
// Its lines are printed when its turn comes and, for a session that is
// written, once all its epochs are. Every session of the input has one, so
// it holds no text of its own that can be derived.
struct Step {
  std::vector<std::string> lines;  // a directory's, or a skipped session's
  bool failed = false;             // the lines report a problem
  // A session not written whose directory may hold an earlier run's files:
  bool removeEarlier = false;
  int32_t subject = 0;
  int32_t session = 0;
  uint32_t directory = kNone;  // of the session, in the walk's directories
  // A session to write:
  const TrialMap* trials = nullptr;
  SessionLayout layout;
  uint32_t slot = kNone;  // the writer's, while its file is in progress
  uint64_t epochs = 0;

  std::string stem() const { return sessionStem(subject, session, layout); }
  std::string binName() const { return stem() + ".bin"; }
};

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
    uint64_t sessions = 0;
    for (const Step& step : steps_) sessions += step.trials != nullptr || step.failed ? 1 : 0;
    Progress progress(console_, sessions, totalEpochs_);
    progress_ = &progress;
    finishReady();
    EpochConsumer consumer;
    consumer.values = [&](uint64_t firstValue, const float* values, size_t count) {
      // A session is finished as soon as its last epoch is in, before the
      // epochs of the next: with the input in session order, each file and
      // header is whole before the next one is begun.
      placeValues(placement_, firstValue, values, count,
                  [&](uint64_t, uint32_t step, uint64_t at, const float* run, size_t length) {
                    const uint32_t slot = slotOf(steps_[step]);
                    writer_.write(slot, at, run, length);
                    if (writer_.settled(slot)) finishReady();
                  });
    };
    consumer.failed = [&](uint64_t firstValue, uint64_t count, const std::string& reason) {
      for (uint64_t s = firstValue / kEpochValues;
           count > 0 && s <= (firstValue + count - 1) / kEpochValues; ++s) {
        if (placement_.placed(s)) writer_.fail(slotOf(steps_[placement_.slot(s)]), reason);
      }
      finishReady();
    };
    if (totalEpochs_ > 0) stream(consumer);
    while (next_ < steps_.size()) finish(steps_[next_++]);
    progress.finish();
    return complete_;
  }

 private:
  Step& skip(int32_t database, int32_t subject, int32_t session, const std::string& reason) {
    Step step;
    step.lines.push_back(msg::sessionSkipped(database, subject, session, reason));
    step.failed = true;
    step.subject = subject;
    step.session = session;
    steps_.push_back(std::move(step));
    return steps_.back();
  }

  // The session's file in the writer, taken up at its first epoch: the
  // writer holds only the files in progress.
  uint32_t slotOf(Step& step) {
    if (step.slot == kNone) {
      step.slot = writer_.add(binPath(step), static_cast<uint32_t>(step.epochs));
    }
    return step.slot;
  }

  std::string binPath(const Step& step) const {
    return joinPath(directories_[step.directory].path, step.binName());
  }

  // The session of this run that writes the files of subject and session in
  // the directory, or nullptr; through linked directories, that is the first
  // one planned.
  const Step* claimant(const DirectoryIdentity& where, int32_t subject, int32_t session) const {
    const auto linked = identities_.find(where);
    if (linked == identities_.end()) return nullptr;
    for (const uint32_t d : linked->second) {
      const Directory& directory = directories_[d];
      const auto first = steps_.begin() + static_cast<std::ptrdiff_t>(directory.firstStep);
      const auto end = steps_.begin() + static_cast<std::ptrdiff_t>(directory.endStep);
      const auto found = std::lower_bound(
          first, end, session, [](const Step& step, int32_t n) { return step.session < n; });
      for (auto s = found; s != end && s->session == session; ++s) {
        if (s->trials != nullptr && s->subject == subject) return &*s;
      }
    }
    return nullptr;
  }

  // Enters a directory now; it is reported in its turn.
  bool planDirectory(const std::string& printed, const std::string& path,
                     DirectoryIdentity* identity = nullptr) {
    Step step;
    step.lines.push_back(printed);
    const Status usable = ensureDirectory(path, identity);
    if (!usable.ok()) {
      step.lines.push_back(msg::directoryUnusable(path, usable.reason()));
      step.failed = true;
    }
    steps_.push_back(std::move(step));
    return usable.ok();
  }

  void planSession(int32_t database, int32_t subject, int32_t session, const TrialMap& trials,
                   uint32_t directory) {
    const std::string obstacle = sessionObstacle(data_, database, subject, session, trials);
    if (!obstacle.empty()) {
      Step& skipped = skip(database, subject, session, obstacle);
      skipped.removeEarlier = true;
      skipped.directory = directory;
      return;
    }
    Step step;
    step.trials = &trials;
    step.subject = subject;
    step.session = session;
    step.layout = data_.sessionLayouts[static_cast<size_t>(session)];
    step.directory = directory;
    // Through a linked directory, two sessions can have the same files;
    // the first keeps them.
    const Step* first = claimant(directories_[directory].where, subject, session);
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
    steps_.push_back(std::move(step));
  }

  // Sessions with no directory to go to, each reported with its reason.
  void skipAll(int32_t database, int32_t subject, const SessionMap& sessions) {
    for (const auto& [session, trials] : sessions) {
      skip(database, subject, session, sessionObstacle(data_, database, subject, session, trials));
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
        continue;
      }
      const std::string subjectName = subjectDirectoryName(subject);
      const std::string subjectDirectory = joinPath(directory, subjectName);
      Directory entered{subjectDirectory, {}, 0, 0};
      if (!planDirectory(msg::processingSubject(printedDirectoryName(subjectName)),
                         subjectDirectory, &entered.where)) {
        continue;
      }
      const auto d = static_cast<uint32_t>(directories_.size());
      entered.firstStep = entered.endStep = steps_.size();
      directories_.push_back(std::move(entered));
      for (const auto& [session, trials] : sessions)
        planSession(database, subject, session, trials, d);
      directories_[d].endStep = steps_.size();
      identities_[directories_[d].where].push_back(d);
    }
  }

  // Finishes the steps whose turn has come, as far as they are done.
  void finishReady() {
    while (next_ < steps_.size() &&
           (steps_[next_].trials == nullptr || writer_.settled(slotOf(steps_[next_])))) {
      finish(steps_[next_++]);
    }
  }

  void finish(Step& step) {
    for (const std::string& line : step.lines) console_.line(line);
    complete_ = complete_ && !step.failed;
    if (step.trials == nullptr) {
      if (step.removeEarlier) removeEarlier(step);
      if (step.failed) progress_->advance(0);
      return;
    }
    slotOf(step);
    finishSession(step);
    writer_.release(step.slot);
    step.slot = kNone;
    progress_->advance(step.epochs);
  }

  // A session not written leaves nothing of an earlier run under its names
  // that could pass for this input's; files of other sessions of this run
  // are not touched.
  void removeEarlier(const Step& step) {
    const Directory& directory = directories_[step.directory];
    std::vector<std::string> names;
    const Status listed = sessionFilesIn(directory.path, step.subject, step.session, names);
    if (!listed.ok()) console_.note(msg::earlierFilesNotSought(directory.path, listed.reason()));
    const Step* owner = claimant(directory.where, step.subject, step.session);
    for (const std::string& name : names) {
      if (owner != nullptr && owner != &step && name.substr(0, name.size() - 4) == owner->stem()) {
        continue;
      }
      removeEarlierFile(joinPath(directory.path, name));
    }
  }

  void removeEarlierFile(const std::string& path) {
    bool removed = false;
    const Status status = erp2npx::removeEarlierFile(path, removed);
    if (!status.ok()) console_.note(msg::earlierFileNotRemoved(path, status.reason()));
    if (removed) console_.note(msg::earlierFileRemoved(path));
  }

  void finishSession(const Step& step) {
    const std::string binName = step.binName();
    const std::string bin = binPath(step);
    Status written = writer_.complete(step.slot);
    if (writer_.creationError(step.slot) != 0) {
      console_.line(msg::errorCreatingFile(writer_.creationError(step.slot), binName));
      complete_ = false;
      removeEarlier(step);
      return;
    }
    console_.line(msg::processingSession(binName));
    if (!written.ok()) {
      console_.line(msg::fileNotWritten(bin, written.reason()));
      complete_ = false;
      removeEarlier(step);
      return;
    }
    const SessionEvents events = buildSessionEvents(*step.trials, data_);
    SessionHeaderInputs header;
    header.layout = step.layout;
    const auto info = data_.subjectInfos.find(step.subject);
    if (info != data_.subjectInfos.end()) header.subject = &info->second;
    header.channels = &channels_;
    header.events = &events;
    const std::string npxPath = joinPath(directories_[step.directory].path, step.stem() + ".npx");
    NpxHeaderBuilder::Saved saved{Status::done(), EncoderCopy::kCopied};
    {
      // The file and its header appear together: an interrupt waits until
      // both are in place, so none can leave the file without its header.
      const InterruptsHeld held;
      written = writer_.commit(step.slot);
      if (written.ok()) saved = NpxHeaderBuilder().writeSessionHeader(npxPath, header);
    }
    if (!written.ok()) {
      console_.line(msg::fileNotWritten(bin, written.reason()));
      complete_ = false;
      removeEarlier(step);
      return;
    }
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
      std::fprintf(stderr, "%s\n",
                   msg::encoderWithoutElement(encoderFileName(step.layout)).c_str());
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
