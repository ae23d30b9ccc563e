#include "check/source_check.h"

#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <iostream>
#include <limits>
#include <map>
#include <set>
#include <sstream>

#include "check/epoch_file.h"
#include "check/npx_file.h"
#include "check/tree_check.h"
#include "driver/config.h"
#include "driver/messages.h"
#include "driver/speller_layout.h"
#include "header/event_section.h"
#include "input/dataset_loader.h"
#include "output/output_names.h"
#include "output/stimulus_index.h"

namespace erp2npx::check {

namespace {

// Epochs compared per block: 1 MB of float32 samples with 8 channels.
constexpr size_t kBlockEpochs = 256;

// Runs the loader with standard output sent to a temporary file, so that its
// messages become problems of the report instead of console noise.
bool loadQuietly(const std::string& path, InputData& data, std::vector<std::string>& messages) {
  std::cout.flush();
  std::fflush(stdout);
  FILE* capture = std::tmpfile();
  const int saved = capture != nullptr ? dup(STDOUT_FILENO) : -1;
  if (saved >= 0) dup2(fileno(capture), STDOUT_FILENO);
  const bool usable = DatasetLoader::load(path, channelList().size(), data);
  std::cout.flush();
  std::fflush(stdout);
  if (saved >= 0) {
    dup2(saved, STDOUT_FILENO);
    close(saved);
  }
  if (capture == nullptr) return usable;
  std::rewind(capture);
  std::string text;
  char buffer[4096];
  size_t got;
  while ((got = std::fread(buffer, 1, sizeof buffer, capture)) > 0) text.append(buffer, got);
  std::fclose(capture);
  std::istringstream lines(text);
  const std::string opened =
      std::string(msg::kFileOpened).substr(1, std::strlen(msg::kFileOpened) - 3);
  for (std::string line; std::getline(lines, line);) {
    if (!line.empty() && line != opened) messages.push_back(line);
  }
  return usable;
}

uint64_t stimulusCountOf(const TrialMap& trials) {
  uint64_t count = 0;
  for (const auto& trial : trials) count += trial.second.size();
  return count;
}

// Why the converter cannot write a session, or "" when it can.
std::string sessionObstacle(const InputData& data, int32_t database, int32_t subject,
                            int32_t session, const TrialMap& trials) {
  if (database < 0) return "its database number is negative";
  if (subject < 0) return "its subject number is negative";
  if (session < 0) return "its session number is negative";
  if (static_cast<size_t>(session) >= data.sessionLayouts.size()) {
    return "the source has no matrix size for it";
  }
  uint64_t epochs = 0;
  for (const auto& [trial, stimuli] : trials) {
    if (trial < 0 || static_cast<size_t>(trial) >= data.targets.size()) {
      return "its trial " + std::to_string(trial) + " has no target in the source";
    }
    epochs += stimuli.size();
  }
  if (epochs * kEpochSamples > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
    return "its epochs exceed the 32-bit sample positions";
  }
  for (const auto& entry : trials) {
    if (!epochsWritten(data.epochs, entry.second)) return msg::epochsUnwritten();
  }
  return {};
}

std::string sampleText(float value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.9g", static_cast<double>(value));
  return text;
}

struct SessionProof {
  const TreeFiles& tree;
  const InputData& data;
  CheckReport& report;
  SourceSummary& summary;

  void prove(const std::string& stem, const SessionLayout& layout, const TrialMap& trials) {
    const std::string binName = stem + ".bin";
    const std::string npxName = stem + ".npx";
    std::vector<int32_t> order;
    for (const auto& entry : trials)
      order.insert(order.end(), entry.second.begin(), entry.second.end());

    EpochFileReader reader;
    std::string error;
    if (!openEpochFile(treePath(tree, binName), reader, error)) return;  // the tree check says why
    const int64_t positions = reader.header.positions;
    const int64_t expectedPositions = static_cast<int64_t>(order.size()) * kEpochSamples;
    if (positions != expectedPositions || epochValues(reader.header) != kEpochValues) {
      addProblem(report, binName,
                 "holds " + std::to_string(positions) + " sample positions of " +
                     std::to_string(reader.header.channelCount) + " channels, the source's " +
                     countOf(order.size(), "stimulus", "stimuli") + " of this session need " +
                     std::to_string(expectedPositions) + " of " +
                     std::to_string(channelList().size()));
      return;
    }
    const SessionEventMap map = mapSessionEvents(readNpxFile(treePath(tree, npxName)), positions);
    std::vector<bool> eventsAgree(order.size(), true);
    proveEpochEvents(npxName, layout, order, map, eventsAgree);
    proveTrials(npxName, layout, trials, map);
    proveSamples(binName, order, reader, eventsAgree);
  }

  void proveEpochEvents(const std::string& npxName, const SessionLayout& layout,
                        const std::vector<int32_t>& order, const SessionEventMap& map,
                        std::vector<bool>& agree) {
    ProblemTally codes, labels;
    for (size_t k = 0; k < order.size(); ++k) {
      const StimulusRecord& record = data.stimuli[static_cast<size_t>(order[k])];
      const EpochMarks& marks = map.epochs[k];
      const std::string where =
          "epoch " + std::to_string(k) + ", stimulus " + std::to_string(order[k]);
      const std::string codeName = codeClassName(record.code, layout);
      if (marks.codeClasses != 1 || marks.codeClass != codeName) {
        codes.note(where + ": in class \"" + marks.codeClass + "\", the source's code " +
                   std::to_string(record.code) + " is \"" + codeName + "\"");
        agree[k] = false;
      }
      const bool target = record.label != 0;
      if (marks.targetMarks != (target ? 1u : 0u) || marks.standardMarks != (target ? 0u : 1u)) {
        labels.note(where + ": the source's label " + std::to_string(record.label) +
                    " makes it a " + (target ? "Target" : "Standard") + " epoch");
        agree[k] = false;
      }
    }
    reportProblemTally(npxName, codes, "in the wrong code class");
    reportProblemTally(npxName, labels, "marked against the source's label");
  }

  void proveTrials(const std::string& npxName, const SessionLayout& layout, const TrialMap& trials,
                   const SessionEventMap& map) {
    if (map.trials.size() != trials.size()) {
      addProblem(report, npxName,
                 "holds " + countOf(map.trials.size(), "trial", "trials") + ", the source " +
                     std::to_string(trials.size()) + " for this session");
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
      const TargetRecord& target = data.targets[static_cast<size_t>(trial)];
      const std::string name =
          trialTargetName(target.targetRowCode, target.targetColumnCode, layout);
      if (!marks.hasTarget || marks.targetName != name) {
        targets.note(where + ": class \"" + marks.targetName + "\", the source's target is \"" +
                     name + "\"");
      }
      begin = end;
    }
    reportProblemTally(npxName, spans, "spanning other epochs than the source's", "trial",
                       "trials");
    reportProblemTally(npxName, targets, "with another target than the source's", "trial",
                       "trials");
  }

  void proveSamples(const std::string& binName, const std::vector<int32_t>& order,
                    EpochFileReader& reader, const std::vector<bool>& eventsAgree) {
    ProblemTally samples;
    std::vector<float> expected(std::min(order.size(), kBlockEpochs) * kEpochValues);
    std::vector<float> actual(expected.size());
    for (size_t first = 0; first < order.size(); first += kBlockEpochs) {
      const size_t count = std::min(kBlockEpochs, order.size() - first);
      std::string error;
      if (!readEpochs(data.epochs, order.data() + first, count, expected.data(), error)) {
        addProblem(report, binName, "cannot be compared: " + error);
        return;
      }
      const size_t held = readEpochBlock(reader, first, count, actual.data());
      for (size_t e = 0; e < held; ++e) {
        const float* want = expected.data() + e * kEpochValues;
        const float* got = actual.data() + e * kEpochValues;
        if (std::memcmp(want, got, kEpochValues * sizeof(float)) == 0) {
          if (eventsAgree[first + e]) ++summary.accounted;
          continue;
        }
        size_t v = 0;
        while (std::memcmp(want + v, got + v, sizeof(float)) == 0) ++v;
        const size_t channels = channelList().size();
        samples.note("epoch " + std::to_string(first + e) + ", stimulus " +
                     std::to_string(order[first + e]) + ", sample " + std::to_string(v / channels) +
                     " of " + channelList()[v % channels] + ": file " + sampleText(got[v]) +
                     ", source " + sampleText(want[v]));
      }
      if (held < count) {
        addProblem(report, binName,
                   "ends within epoch " + std::to_string(first + held) + ": " +
                       countOf(order.size() - first - held, "stimulus is", "stimuli are") +
                       " missing from it");
        break;
      }
    }
    reportProblemTally(binName, samples, "differing from the source's /features");
  }

  void reportProblemTally(const std::string& file, const ProblemTally& tally,
                          const std::string& what, const std::string& singular = "epoch",
                          const std::string& plural = "epochs") {
    if (tally.count == 0) return;
    addProblem(
        report, file,
        countOf(tally.count, singular, plural) + " " + what + " (first: " + tally.first + ")");
  }
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

}  // namespace

SourceSummary checkAgainstSource(const TreeFiles& tree, const std::string& sourcePath,
                                 CheckReport& report) {
  fillSpellerLayout();
  SourceSummary summary;
  InputData data;
  data.epochs = createEpochMatrix(channelList().size());
  std::vector<std::string> messages;
  // Whatever the load could not use leaves its stimuli out of the tables; the
  // rest is still proven, and every file of the tree must come from it.
  loadQuietly(sourcePath, data, messages);
  for (const std::string& message : messages) addProblem(report, sourcePath, message);
  summary.stimuli = data.stimulusCount;

  std::map<std::string, const SessionFiles*> present;
  for (const SessionFiles& files : tree.sessions) present[files.relativeStem] = &files;
  std::set<std::string> expected;
  SessionProof proof{tree, data, report, summary};
  const StimulusIndex index = buildStimulusIndex(data.stimuli, data.sessionLayouts);
  for (const auto& [database, subjects] : index.hierarchy) {
    for (const auto& [subject, sessions] : subjects) {
      for (const auto& [session, trials] : sessions) {
        const std::string what = countOf(stimulusCountOf(trials), "stimulus", "stimuli") +
                                 " of database " + std::to_string(database) + ", subject " +
                                 std::to_string(subject) + ", session " + std::to_string(session);
        const std::string obstacle = sessionObstacle(data, database, subject, session, trials);
        if (!obstacle.empty()) {
          addProblem(report, sourcePath, "the " + what + " have no place in the tree: " + obstacle);
          continue;
        }
        const SessionLayout& layout = data.sessionLayouts[static_cast<size_t>(session)];
        const std::string stem = databaseDirectoryName(database) + "/" +
                                 subjectDirectoryName(subject) + "/" +
                                 sessionStem(subject, session, layout);
        expected.insert(stem);
        const auto found = present.find(stem);
        if (found != present.end() && found->second->hasBin && found->second->hasNpx) {
          proof.prove(stem, layout, trials);
          continue;
        }
        const bool binFound = found != present.end() && found->second->hasBin;
        std::string text = "missing: the " + what + " are not accounted for";
        for (const std::string& other : namesakes(tree, stem)) {
          text += "; " + other + " is there, named after another matrix size";
        }
        addProblem(report, stem + (binFound ? ".npx" : ".bin"), text);
      }
    }
  }
  for (const SessionFiles& files : tree.sessions) {
    if (expected.count(files.relativeStem) == 0) {
      addProblem(report, files.relativeStem + (files.hasBin ? ".bin" : ".npx"),
                 "was made from no session of the source");
    }
  }
  return summary;
}

std::string sourceSummaryLine(const SourceSummary& summary) {
  return "source: " + countOf(summary.stimuli, "stimulus", "stimuli") + ", " +
         std::to_string(summary.accounted) + " accounted for";
}

}  // namespace erp2npx::check
