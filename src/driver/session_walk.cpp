#include "driver/session_walk.h"

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

// One step of the walk, in walk order: a directory entered, or a session.
// Its lines are printed when its turn comes and, for a session that is
// written, once all its epochs are.
struct Step {
  std::vector<std::string> lines;  // a directory's, or a skipped session's
  bool failed = false;             // the lines report a problem
  // A session not written whose directory may hold an earlier run's files:
  bool removeEarlier = false;
  int32_t session = 0;
  DirectoryIdentity where;  // of directory
  // A session to write:
  const TrialMap* trials = nullptr;
  int32_t subject = 0;
  SessionLayout layout;
  std::string binName;
  std::string directory;
  uint32_t slot = 0;
  uint64_t epochs = 0;
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
                  [&](uint64_t, uint32_t slot, uint64_t at, const float* run, size_t length) {
                    writer_.write(slot, at, run, length);
                    if (writer_.settled(slot)) finishReady();
                  });
    };
    consumer.failed = [&](uint64_t firstValue, uint64_t count, const std::string& reason) {
      for (uint64_t s = firstValue / kEpochValues;
           count > 0 && s <= (firstValue + count - 1) / kEpochValues; ++s) {
        if (placement_.placed(s)) writer_.fail(placement_.slot(s), reason);
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
                   const std::string& directory, const DirectoryIdentity& where) {
    const std::string obstacle = sessionObstacle(data_, database, subject, session, trials);
    if (!obstacle.empty()) {
      Step& skipped = skip(database, subject, session, obstacle);
      skipped.removeEarlier = true;
      skipped.directory = directory;
      skipped.where = where;
      return;
    }
    Step step;
    step.trials = &trials;
    step.subject = subject;
    step.session = session;
    step.layout = data_.sessionLayouts[static_cast<size_t>(session)];
    const std::string stem = sessionStem(subject, session, step.layout);
    step.binName = stem + ".bin";
    // Through a linked directory, two sessions can have the same files;
    // the first keeps them.
    const auto [first, unclaimed] = claimed_.try_emplace(
        {where, stem}, Claim{joinPath(directory, step.binName), steps_.size()});
    if (!unclaimed) {
      skip(database, subject, session,
           msg::filesOfAnotherSession(joinPath(directory, step.binName), first->second.path));
      return;
    }
    step.directory = directory;
    step.where = where;
    step.epochs = epochCountOf(trials);
    step.slot = writer_.add(joinPath(directory, step.binName), static_cast<uint32_t>(step.epochs));
    uint32_t epoch = 0;
    forEachEpochInFileOrder(
        trials, [&](int32_t stimulus) { placement_.place(stimulus, step.slot, epoch++); });
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
      DirectoryIdentity where;
      if (!planDirectory(msg::processingSubject(printedDirectoryName(subjectName)),
                         subjectDirectory, &where)) {
        continue;
      }
      for (const auto& [session, trials] : sessions) {
        planSession(database, subject, session, trials, subjectDirectory, where);
      }
    }
  }

  // Finishes the steps whose turn has come, as far as they are done.
  void finishReady() {
    while (next_ < steps_.size() &&
           (steps_[next_].trials == nullptr || writer_.settled(steps_[next_].slot))) {
      finish(steps_[next_++]);
    }
  }

  void finish(const Step& step) {
    for (const std::string& line : step.lines) console_.line(line);
    complete_ = complete_ && !step.failed;
    if (step.trials == nullptr) {
      if (step.removeEarlier) removeEarlier(step);
      if (step.failed) progress_->advance(0);
      return;
    }
    finishSession(step);
    progress_->advance(step.epochs);
  }

  // A session not written leaves nothing of an earlier run under its names
  // that could pass for this input's; files of other sessions of this run
  // are not touched.
  void removeEarlier(const Step& step) {
    std::vector<std::string> names;
    const Status listed = sessionFilesIn(step.directory, step.subject, step.session, names);
    if (!listed.ok()) console_.note(msg::earlierFilesNotSought(step.directory, listed.reason()));
    for (const std::string& name : names) {
      const auto claim = claimed_.find({step.where, name.substr(0, name.size() - 4)});
      if (claim != claimed_.end() && &steps_[claim->second.step] != &step) continue;
      removeEarlierFile(joinPath(step.directory, name));
    }
  }

  void removeEarlierFile(const std::string& path) {
    bool removed = false;
    const Status status = erp2npx::removeEarlierFile(path, removed);
    if (!status.ok()) console_.note(msg::earlierFileNotRemoved(path, status.reason()));
    if (removed) console_.note(msg::earlierFileRemoved(path));
  }

  void finishSession(const Step& step) {
    const std::string binPath = joinPath(step.directory, step.binName);
    Status written = writer_.complete(step.slot);
    if (writer_.creationError(step.slot) != 0) {
      console_.line(msg::errorCreatingFile(writer_.creationError(step.slot), step.binName));
      complete_ = false;
      removeEarlier(step);
      return;
    }
    console_.line(msg::processingSession(step.binName));
    if (!written.ok()) {
      console_.line(msg::fileNotWritten(binPath, written.reason()));
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
    const std::string npxPath =
        joinPath(step.directory, step.binName.substr(0, step.binName.size() - 4) + ".npx");
    NpxHeaderBuilder::Saved saved{Status::done(), EncoderCopy::kCopied};
    {
      // The file and its header appear together: an interrupt waits until
      // both are in place, so none can leave the file without its header.
      const InterruptsHeld held;
      written = writer_.commit(step.slot);
      if (written.ok()) saved = NpxHeaderBuilder().writeSessionHeader(npxPath, header);
    }
    if (!written.ok()) {
      console_.line(msg::fileNotWritten(binPath, written.reason()));
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
  // The files of the sessions this run writes, by directory and stem; the
  // first session to claim them is the one that writes them.
  struct Claim {
    std::string path;
    size_t step;
  };
  std::map<std::pair<DirectoryIdentity, std::string>, Claim> claimed_;
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
