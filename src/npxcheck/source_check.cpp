#include "npxcheck/source_check.h"

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <exception>
#include <map>
#include <set>

#include "common/config.h"
#include "common/console.h"
#include "common/messages.h"
#include "header/event_section.h"
#include "header/npx_reader.h"
#include "input/dataset_loader.h"
#include "npxcheck/tree_check.h"
#include "output/binary_epoch_file.h"
#include "output/output_names.h"
#include "output/session_plan.h"
#include "output/stimulus_index.h"

namespace erp2npx::npxcheck {

namespace {

// Binary files kept open at a time while the source is compared with them.
constexpr size_t kOpenReaders = 16;

std::string sampleText(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
  return text;
}

void reportProblemTally(std::vector<std::string>& problems, const ProblemTally& tally,
                        const std::string& what, const std::string& singular = "epoch",
                        const std::string& plural = "epochs") {
  if (tally.count == 0) return;
  problems.push_back(countOf(tally.count, singular, plural) + " " + what +
                     " (first: " + tally.first + ")");
}

// One session file being proven: its events at once, its samples as the
// source's values arrive.
struct ProvenFile {
  std::string binName;
  std::string npxName;
  std::string path;            // of the .bin
  std::vector<int32_t> order;  // stimuli in file order
  std::vector<std::string> npxProblems;
  ProblemTally samples;
  uint64_t truncatedAt = UINT64_MAX;  // the first epoch the file does not hold
  std::string unreadable;             // why the source's values could not be had
};

class SourceProof {
 public:
  SourceProof(const TreeFiles& tree, const InputData& data)
      : tree_(tree),
        data_(data),
        placement_(data.stimuli.size()),
        remaining_(data.stimuli.size(), 0),
        differs_(data.stimuli.size(), false),
        eventsAgree_(data.stimuli.size(), false) {}

  void prove(const std::string& stem, const SessionLayout& layout, const TrialMap& trials) {
    ProvenFile file;
    file.binName = stem + ".bin";
    file.npxName = stem + ".npx";
    file.path = treePath(tree_, file.binName);
    forEachEpochInFileOrder(trials, [&](int32_t stimulus) { file.order.push_back(stimulus); });
    EpochFileReader reader;
    if (!reader.open(file.path).ok()) return;  // the tree check says why
    const int64_t positions = reader.header().positions;
    const int64_t expectedPositions = static_cast<int64_t>(file.order.size()) * kEpochSamples;
    if (positions != expectedPositions || epochValues(reader.header()) != kEpochValues) {
      failures_.push_back(
          file.binName + ": holds " + std::to_string(positions) + " sample positions of " +
          std::to_string(reader.header().channelCount) + " channels, the source's " +
          countOf(file.order.size(), "stimulus", "stimuli") + " of this session need " +
          std::to_string(expectedPositions) + " of " + std::to_string(channelList().size()));
      return;
    }
    const SessionEventMap map =
        mapSessionEvents(readNpxFile(treePath(tree_, file.npxName)), positions);
    const uint32_t slot = static_cast<uint32_t>(files_.size());
    keepReader(slot, std::move(reader));
    for (size_t k = 0; k < file.order.size(); ++k) {
      const int32_t stimulus = file.order[k];
      placement_.place(stimulus, slot, static_cast<uint32_t>(k));
      remaining_[static_cast<size_t>(stimulus)] = kEpochValues;
      eventsAgree_[static_cast<size_t>(stimulus)] = true;
    }
    proveEpochEvents(file, layout, map);
    proveTrials(file, layout, trials, map);
    files_.push_back(std::move(file));
  }

  // Compares a run of the source's values with the files that hold them.
  void compare(uint64_t firstValue, const float* values, size_t count) {
    placeValues(placement_, firstValue, values, count,
                [&](uint64_t stimulus, uint32_t slot, uint64_t at, const float* want,
                    size_t length) { compareRun(stimulus, slot, at, want, length); });
  }

  void sourceFailed(uint64_t firstValue, uint64_t count, const std::string& reason) {
    for (uint64_t s = firstValue / kEpochValues;
         count > 0 && s <= (firstValue + count - 1) / kEpochValues; ++s) {
      if (placement_.placed(s) && files_[placement_.slot(s)].unreadable.empty()) {
        files_[placement_.slot(s)].unreadable = reason;
      }
    }
  }

  // Reports every file's problems, file by file, and counts the stimuli found
  // whole and bit-equal in their epoch with matching events.
  void report(CheckReport& report, SourceSummary& summary) {
    for (const std::string& failure : failures_) report.problems.push_back(failure);
    for (ProvenFile& file : files_) {
      for (const std::string& problem : file.npxProblems) addProblem(report, file.npxName, problem);
      if (!file.unreadable.empty()) {
        addProblem(report, file.binName, "cannot be compared: " + file.unreadable);
      }
      std::vector<std::string> binProblems;
      reportProblemTally(binProblems, file.samples, "differing from the source's /features");
      for (const std::string& problem : binProblems) addProblem(report, file.binName, problem);
      if (file.truncatedAt != UINT64_MAX) {
        addProblem(report, file.binName,
                   "ends within epoch " + std::to_string(file.truncatedAt) + ": " +
                       countOf(file.order.size() - file.truncatedAt, "stimulus is", "stimuli are") +
                       " missing from it");
      }
      for (const int32_t stimulus : file.order) {
        const size_t s = static_cast<size_t>(stimulus);
        if (remaining_[s] == 0 && !differs_[s] && eventsAgree_[s]) ++summary.accounted;
      }
    }
  }

 private:
  // A run of consecutive epochs of the source and of the file, the first
  // from stimulus source.
  void compareRun(uint64_t source, uint32_t slot, uint64_t at, const float* want, size_t length) {
    ProvenFile& file = files_[slot];
    if (at / kEpochValues >= file.truncatedAt) return;
    actual_.resize(length);
    // A file cut short is read epoch by epoch, to find where it ends.
    const bool whole = reader(slot).readValues(at, length, actual_.data());
    for (size_t done = 0; done < length;) {
      const uint64_t position = at + done;
      const size_t piece = static_cast<size_t>(
          std::min<uint64_t>(length - done, kEpochValues - position % kEpochValues));
      const size_t stimulus =
          static_cast<size_t>(source + (at % kEpochValues + done) / kEpochValues);
      if (!whole && !reader(slot).readValues(position, piece, actual_.data() + done)) {
        file.truncatedAt = std::min(file.truncatedAt, position / kEpochValues);
        return;
      }
      comparePiece(file, stimulus, position, want + done, actual_.data() + done, piece);
      done += piece;
    }
  }

  void comparePiece(ProvenFile& file, size_t stimulus, uint64_t position, const float* want,
                    const float* got, size_t length) {
    remaining_[stimulus] -= static_cast<uint16_t>(length);
    if (std::memcmp(want, got, length * sizeof(float)) == 0) return;
    size_t v = 0;
    while (std::memcmp(want + v, got + v, sizeof(float)) == 0) ++v;
    if (!differs_[stimulus]) {
      const size_t value = static_cast<size_t>(position % kEpochValues) + v;
      const size_t channels = channelList().size();
      file.samples.note("epoch " + std::to_string(position / kEpochValues) + ", stimulus " +
                        std::to_string(stimulus) + ", sample " + std::to_string(value / channels) +
                        " of " + channelList()[value % channels] + ": file " + sampleText(got[v]) +
                        ", source " + sampleText(want[v]));
    }
    differs_[stimulus] = true;
  }

  EpochFileReader& reader(uint32_t slot) {
    auto found = readers_.find(slot);
    if (found != readers_.end()) return found->second;
    EpochFileReader opened;
    (void)opened.open(files_[slot].path);  // a file that cannot be read holds no values
    return keepReader(slot, std::move(opened));
  }

  EpochFileReader& keepReader(uint32_t slot, EpochFileReader reader) {
    if (readers_.size() >= kOpenReaders) readers_.erase(readers_.begin());
    return readers_[slot] = std::move(reader);
  }

  void proveEpochEvents(ProvenFile& file, const SessionLayout& layout, const SessionEventMap& map) {
    ProblemTally codes, labels;
    for (size_t k = 0; k < file.order.size(); ++k) {
      const int32_t stimulus = file.order[k];
      const StimulusRecord& record = data_.stimuli[static_cast<size_t>(stimulus)];
      const EpochMarks& marks = map.epochs[k];
      const auto where = [&] {
        return "epoch " + std::to_string(k) + ", stimulus " + std::to_string(stimulus);
      };
      const std::string codeName = codeClassName(record.code, layout);
      bool agree = true;
      if (marks.codeClasses != 1 || marks.codeClass != codeName) {
        codes.note(where() + ": in class \"" + marks.codeClass + "\", the source's code " +
                   std::to_string(record.code) + " is \"" + codeName + "\"");
        agree = false;
      }
      const bool target = record.label != 0;
      if (marks.targetMarks != (target ? 1u : 0u) || marks.standardMarks != (target ? 0u : 1u)) {
        labels.note(where() + ": the source's label " + std::to_string(record.label) +
                    " makes it a " + (target ? kTargetClassName : kStandardClassName) + " epoch");
        agree = false;
      }
      eventsAgree_[static_cast<size_t>(stimulus)] = agree;
    }
    reportProblemTally(file.npxProblems, codes, "in the wrong code class");
    reportProblemTally(file.npxProblems, labels, "marked against the source's label");
  }

  void proveTrials(ProvenFile& file, const SessionLayout& layout, const TrialMap& trials,
                   const SessionEventMap& map) {
    if (map.trials.size() != trials.size()) {
      file.npxProblems.push_back("holds " + countOf(map.trials.size(), "trial", "trials") +
                                 ", the source " + std::to_string(trials.size()) +
                                 " for this session");
      return;
    }
    ProblemTally spans, targets;
    int64_t begin = 0;
    size_t i = 0;
    for (const auto& [trial, stimuli] : trials) {
      const TrialMarks& marks = map.trials[i++];
      const int64_t end = begin + static_cast<int64_t>(stimuli.size()) * kEpochSamples;
      const std::string where =
          "trial " + std::to_string(i) + " (source trial " + std::to_string(trial) + ")";
      if (marks.begin != begin || marks.end != end) {
        spans.note(where + ": " + std::to_string(marks.begin) + " to " + std::to_string(marks.end) +
                   ", the source's " + std::to_string(begin) + " to " + std::to_string(end));
      }
      const TargetRecord& target = data_.targets[static_cast<size_t>(trial)];
      const std::string name =
          trialTargetName(target.targetRowCode, target.targetColumnCode, layout);
      if (!marks.hasTarget || marks.targetName != name) {
        targets.note(where + ": class \"" + marks.targetName + "\", the source's target is \"" +
                     name + "\"");
      }
      begin = end;
    }
    reportProblemTally(file.npxProblems, spans, "spanning other epochs than the source's", "trial",
                       "trials");
    reportProblemTally(file.npxProblems, targets, "with another target than the source's", "trial",
                       "trials");
  }

  const TreeFiles& tree_;
  const InputData& data_;
  EpochPlacement placement_;
  std::vector<uint16_t> remaining_;  // values of each placed epoch not compared yet
  std::vector<bool> differs_;
  std::vector<bool> eventsAgree_;
  std::vector<ProvenFile> files_;
  std::vector<std::string> failures_;
  std::map<uint32_t, EpochFileReader> readers_;
  std::vector<float> actual_;
};

// Files of the tree for the same subject and session under another matrix size.
std::vector<std::string> namesakes(const TreeFiles& tree, const std::string& stem) {
  // "DB_00/Subject_01/Subj01_02_" of "DB_00/Subject_01/Subj01_02_06_06"
  const std::string name = stemName(stem);
  const size_t cut = name.find('_', name.find('_') + 1);
  if (cut == std::string::npos) return {};
  const std::string prefix = stem.substr(0, stem.size() - name.size() + cut + 1);
  std::vector<std::string> found;
  for (const SessionFiles& files : tree.sessions) {
    if (files.relativeStem != stem && files.relativeStem.compare(0, prefix.size(), prefix) == 0) {
      found.push_back(stemName(files.relativeStem));
    }
  }
  return found;
}

// Loads the source. Whatever the load could not use leaves its stimuli out of
// the tables and is reported; the rest is still proven, and every file of
// the tree must come from it.
void loadSource(const std::string& sourcePath, InputData& data, CheckReport& report) {
  Console console = Console::collecting();
  (void)DatasetLoader(console).load(sourcePath, channelList().size(), data);
  const std::string opened = reportedLines({msg::kFileOpened}).front();
  for (const std::string& line : reportedLines(console.collected())) {
    if (line != opened) addProblem(report, sourcePath, line);
  }
}

// Finds each session of the source in the tree: proves the files that are
// there and reports those that are not.
struct SessionSearch {
  const TreeFiles& tree;
  const std::string& sourcePath;
  const InputData& data;
  SourceProof& proof;
  CheckReport& report;
  std::map<std::string, const SessionFiles*> present;
  std::set<std::string> expected;  // the stems the source's sessions give

  void run() {
    for (const SessionFiles& files : tree.sessions) present[files.relativeStem] = &files;
    const StimulusIndex index = buildStimulusIndex(data.stimuli, data.sessionLayouts);
    for (const auto& [database, subjects] : index.hierarchy) {
      for (const auto& [subject, sessions] : subjects) {
        for (const auto& [session, trials] : sessions) find(database, subject, session, trials);
      }
    }
  }

  void find(int32_t database, int32_t subject, int32_t session, const TrialMap& trials) {
    const std::string what = countOf(epochCountOf(trials), "stimulus", "stimuli") + " of " +
                             sessionPlace(database, subject, session);
    const Status writable = sessionObstacle(data, database, subject, session, trials);
    if (!writable.ok()) {
      addProblem(report, sourcePath,
                 "the " + what + " have no place in the tree: " + writable.reason());
      return;
    }
    const SessionLayout& layout = data.sessionLayouts[static_cast<size_t>(session)];
    const std::string stem = databaseDirectoryName(database) + "/" + subjectDirectoryName(subject) +
                             "/" + sessionStem(subject, session, layout);
    expected.insert(stem);
    const auto found = present.find(stem);
    if (found != present.end() && found->second->hasBin && found->second->hasNpx) {
      proof.prove(stem, layout, trials);
      return;
    }
    const bool binFound = found != present.end() && found->second->hasBin;
    std::string text = "missing: the " + what + " are not accounted for";
    for (const std::string& other : namesakes(tree, stem)) {
      text += "; " + other + " is there, named after another matrix size";
    }
    addProblem(report, stem + (binFound ? ".npx" : ".bin"), text);
  }

  // Files of the tree that no session of the source gives.
  void reportStrays() const {
    for (const SessionFiles& files : tree.sessions) {
      if (expected.count(files.relativeStem) == 0) {
        addProblem(report, files.relativeStem + (files.hasBin ? ".bin" : ".npx"),
                   "was made from no session of the source");
      }
    }
  }
};

// One pass over the source's samples, in the order it stores them.
void compareSamples(InputData& data, SourceProof& proof, const std::string& sourcePath,
                    CheckReport& report) {
  EpochConsumer consumer;
  consumer.values = [&](uint64_t first, const float* values, size_t count, const ValuesHold&) {
    proof.compare(first, values, count);
  };
  consumer.failed = [&](uint64_t first, uint64_t count, const std::string& reason) {
    proof.sourceFailed(first, count, reason);
  };
  try {
    data.epochs.stream(consumer);
  } catch (const std::exception& error) {
    // The files compared so far are still reported; the others are not
    // accounted for.
    addProblem(report, sourcePath,
               std::string("its samples could not all be compared: ") + error.what());
  }
}

}  // namespace

SourceSummary checkAgainstSource(const TreeFiles& tree, const std::string& sourcePath,
                                 CheckReport& report) {
  InputData data;
  loadSource(sourcePath, data, report);
  SourceSummary summary;
  summary.stimuli = data.stimulusCount;
  SourceProof proof(tree, data);
  SessionSearch search{tree, sourcePath, data, proof, report, {}, {}};
  search.run();
  compareSamples(data, proof, sourcePath, report);
  proof.report(report, summary);
  search.reportStrays();
  return summary;
}

std::string sourceSummaryLine(const SourceSummary& summary) {
  return "source: " + countOf(summary.stimuli, "stimulus", "stimuli") + ", " +
         std::to_string(summary.accounted) + " accounted for";
}

}  // namespace erp2npx::npxcheck
