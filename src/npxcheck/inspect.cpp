#include "npxcheck/inspect.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <limits>
#include <map>
#include <set>

#include "common/config.h"
#include "common/console.h"
#include "common/messages.h"
#include "input/dataset_loader.h"
#include "input/dataset_table.h"
#include "input/input_file.h"
#include "input/input_reader.h"
#include "input/input_survey.h"
#include "input/stimulus_table.h"
#include "input/stored_epochs.h"
#include "input/subject_file.h"
#include "npxcheck/check_report.h"
#include "output/output_names.h"
#include "output/session_plan.h"
#include "output/stimulus_index.h"

namespace erp2npx::npxcheck {

namespace {

constexpr size_t kListedNumbers = 8;

std::string formatted(const char* pattern, ...) __attribute__((format(printf, 1, 2)));
std::string formatted(const char* pattern, ...) {
  char text[512];
  va_list arguments;
  va_start(arguments, pattern);
  std::vsnprintf(text, sizeof text, pattern, arguments);
  va_end(arguments);
  return text;
}

// Trials have no name in the tree: the input's numbers stand.
std::string plainNumber(int64_t number) { return std::to_string(number); }
std::string trialName(int64_t trial) { return "trial " + std::to_string(trial); }

// "3, 4, 7" or "3, 4, 7, ... (12 in all)", each number named by name.
std::string listed(const std::vector<int64_t>& numbers,
                   std::string (*name)(int64_t) = plainNumber) {
  std::string text;
  for (size_t i = 0; i < numbers.size() && i < kListedNumbers; ++i) {
    text += (i == 0 ? "" : ", ") + name(numbers[i]);
  }
  if (numbers.size() > kListedNumbers) {
    text += ", ... (" + std::to_string(numbers.size()) + " in all)";
  }
  return text;
}

// ---------------------------------------------------------------- samples

struct SampleCount {
  uint64_t count = 0;
  uint64_t first = 0;  // value index in storage order
  void note(uint64_t index) {
    if (count++ == 0) first = index;
  }
};

struct SampleScan {
  bool present = false;
  bool read = false;
  uint64_t values = 0;
  SampleCount nan, infinite, beyondFloat;
  double low = std::numeric_limits<double>::infinity();
  double high = -std::numeric_limits<double>::infinity();
};

void scanValues(const double* values, size_t count, uint64_t firstIndex, SampleScan& scan) {
  for (size_t i = 0; i < count; ++i) {
    const double value = values[i];
    if (std::isnan(value)) {
      scan.nan.note(firstIndex + i);
    } else if (std::isinf(value)) {
      scan.infinite.note(firstIndex + i);
    } else {
      if (std::isinf(static_cast<float>(value))) scan.beyondFloat.note(firstIndex + i);
      scan.low = std::min(scan.low, value);
      scan.high = std::max(scan.high, value);
    }
  }
  scan.values += count;
}

// Scans the samples the conversion would read, once, in storage order.
void scanSamples(const StoredEpochs& epochs, SampleScan& scan) {
  StoredValueConsumer consumer;
  consumer.values = [&](uint64_t first, const double* values, size_t count) {
    scanValues(values, count, first, scan);
  };
  consumer.failed = [&](uint64_t, uint64_t, const std::string&) { scan.read = false; };
  scan.read = true;
  epochs.streamAsStored(consumer);
}

std::string valuePlace(uint64_t index) {
  const ChannelList& channels = channelList();
  const uint64_t channelCount = channels.size();
  return "stimulus " + std::to_string(index / kEpochValues) + ", sample " +
         std::to_string(index % kEpochValues / channelCount) + " of " +
         channels[index % channelCount];
}

// ---------------------------------------------------------------- tables

// Calls visit(session, trials) for every session of the index.
template <typename Visit>
void forEachSession(const StimulusIndex& index, Visit visit) {
  for (const auto& database : index.hierarchy) {
    for (const auto& subject : database.second) {
      for (const auto& [session, trials] : subject.second) visit(session, trials);
    }
  }
}

// "/target holds 15 values, not whole rows of 7", or nothing.
std::string partialEntries(const RootDataset& dataset, size_t held) {
  const bool layouts = dataset.kind == DatasetKind::kMatrixDims;
  if (held % (layouts ? kLayoutValues : kTargetRowValues) == 0) return {};
  return std::string(dataset.name) + " holds " + std::to_string(held) + " values, not whole " +
         (layouts ? "(rows, columns) pairs" : "rows of 7");
}

struct Inspection {
  InspectReport& report;
  bool verbose;
  InputTables tables;
  StimulusTable stimuli;
  SubjectInfoTable subjectInfos;
  bool subjectFileFound = false;

  void line(const std::string& text) { report.lines.push_back(text); }
  void problem(const std::string& text) { report.inconsistencies.push_back(text); }

  // One line per dataset, as the file stores it.
  std::vector<DatasetSurvey> listDatasets(const InputFile& file) {
    line(formatted("%-16s %-36s %-16s %14s  %s", "Dataset", "Type", "Shape", "Stored bytes",
                   "Storage"));
    std::vector<DatasetSurvey> surveys;
    for (const RootDataset& dataset : kRootDatasets) {
      surveys.push_back(surveyDataset(file, dataset.name));
      const DatasetSurvey& survey = surveys.back();
      line(survey.present ? formatted("%-16s %-36s %-16s %14" PRIu64 "  %s", dataset.name,
                                      survey.type.c_str(), shapeText(survey.dims).c_str(),
                                      survey.storageBytes, survey.storage.c_str())
                          : formatted("%-16s missing", dataset.name));
    }
    return surveys;
  }

  // The tables as the converter reads them; whatever keeps one from being
  // read soundly is an inconsistency in the converter's own words. Returns
  // the samples of the stimuli the epoch count names, as far as the dataset
  // holds them.
  StoredEpochs readTables(const std::shared_ptr<InputFile>& file, const std::string& inputPath,
                          uint64_t featureValues) {
    Console console = Console::collecting();
    InputReader reader(file, inputPath, console);
    // The per-stimulus datasets first, then the other tables, then the
    // samples: the order their problems are listed in.
    for (const RootDataset& dataset : kRootDatasets) {
      if (dataset.oneValuePerStimulus()) readRootTable(reader, dataset, tables);
    }
    std::vector<std::string> partial;
    for (const RootDataset& dataset : kRootDatasets) {
      if (dataset.oneValuePerStimulus() || dataset.kind == DatasetKind::kSamples) continue;
      const std::string text = partialEntries(dataset, readRootTable(reader, dataset, tables).held);
      if (!text.empty()) partial.push_back(text);
    }
    const uint64_t epochs =
        std::min<uint64_t>(tables.columns.heldBy(kEpochCounter.name), featureValues / kEpochValues);
    StoredEpochs samples = reader.openFeatures(epochs, kEpochValues).epochs;
    reportCollected(console);
    stimuli = buildStimulusTable(tables.columns, std::numeric_limits<uint64_t>::max());
    for (const std::string& text : partial) problem(text);
    return samples;
  }

  // Missing datasets are listed as such already.
  void reportCollected(const Console& console) {
    std::set<std::string> missing;
    for (const RootDataset& dataset : kRootDatasets) {
      missing.insert(reportedLines({msg::datasetMissing(dataset.name)}).front());
    }
    for (const std::string& text : reportedLines(console.collected())) {
      if (missing.count(text) == 0) problem(text);
    }
  }

  void checkLengths(const std::vector<DatasetSurvey>& surveys, uint64_t featureValues) {
    for (const DatasetSurvey& survey : surveys) {
      if (!survey.present) problem("the dataset " + survey.name + " is missing");
    }
    const size_t epochs = tables.columns.heldBy(kEpochCounter.name);
    std::string lengths;
    bool agree = true;
    for (const RootDataset& dataset : kRootDatasets) {
      if (!dataset.oneValuePerStimulus()) continue;
      const size_t size = tables.columns.heldBy(dataset.name);
      lengths +=
          std::string(lengths.empty() ? "" : ", ") + dataset.name + " " + std::to_string(size);
      agree = agree && size == epochs;
    }
    if (!agree) problem("the per-stimulus datasets disagree in length: " + lengths);
    const uint64_t needed = epochs * kEpochValues;
    if (featureValues != needed) {
      problem(std::string(kSamplesDataset.name) + " holds " + std::to_string(featureValues) +
              " values, the " + std::to_string(epochs) + " stimuli of " + kEpochCounter.name +
              " need " + std::to_string(needed));
    }
  }

  // Counts per database and subject; every session and trial only when
  // asked for.
  void listStructure(const StimulusIndex& index) {
    std::set<int32_t> sessions;
    for (const StimulusRecord& record : stimuli) sessions.insert(record.session);
    line("Stimuli: " + countOf(stimuli.size(), "stimulus", "stimuli") + " in " +
         countOf(index.databases.size(), "database", "databases") + ", " +
         countOf(index.subjects.size(), "subject", "subjects") + ", " +
         countOf(sessions.size(), "session", "sessions") + ", " +
         countOf(index.trials.size(), "trial", "trials"));
    line("Layout table: " + countOf(tables.sessionLayouts.size(), "session", "sessions") +
         "; target table: " + countOf(tables.targets.size(), "trial", "trials"));
    for (const auto& [database, subjects] : index.hierarchy) {
      SessionCounts inDatabase;
      for (const auto& entry : subjects) inDatabase.add(entry.second);
      line(databaseName(database) + ": " + countOf(subjects.size(), "subject", "subjects") + ", " +
           inDatabase.text());
      for (const auto& [subject, sessionMap] : subjects) listSubject(subject, sessionMap);
    }
    listMatrixSizes(index);
  }

  void listSubject(int32_t subject, const SessionMap& sessionMap) {
    SessionCounts inSubject;
    inSubject.add(sessionMap);
    line("  " + subjectName(subject) + ": " + inSubject.text() + "; " + subjectText(subject));
    if (!verbose) return;
    for (const auto& [session, trials] : sessionMap) {
      line("    " + sessionName(session) + sessionFileText(subject, session) + ": " +
           layoutText(session) + ", " + countOf(trials.size(), "trial", "trials") + ", " +
           countOf(epochCountOf(trials), "stimulus", "stimuli"));
      for (const auto& [trial, members] : trials) {
        line("      trial " + std::to_string(trial) + ": " +
             countOf(members.size(), "stimulus", "stimuli"));
      }
    }
  }

  struct SessionCounts {
    uint64_t sessions = 0, trials = 0, stimuli = 0;
    void add(const SessionMap& sessionMap) {
      for (const auto& entry : sessionMap) {
        ++sessions;
        trials += entry.second.size();
        stimuli += epochCountOf(entry.second);
      }
    }
    std::string text() const {
      return countOf(sessions, "session", "sessions") + ", " + countOf(trials, "trial", "trials") +
             ", " + countOf(stimuli, "stimulus", "stimuli");
    }
  };

  // "Matrix sizes: 6 x 6 in 3 sessions (540 stimuli), 4 x 5 in 1 session (54 stimuli)"
  void listMatrixSizes(const StimulusIndex& index) {
    std::map<std::pair<int32_t, int32_t>, std::pair<uint64_t, uint64_t>> sizes;
    uint64_t without = 0;
    forEachSession(index, [&](int32_t session, const TrialMap& trials) {
      const SessionLayout* layout = layoutOf(session);
      if (layout == nullptr) {
        ++without;
        return;
      }
      auto& entry = sizes[{layout->rows, layout->columns}];
      ++entry.first;
      entry.second += epochCountOf(trials);
    });
    std::string text;
    for (const auto& [size, entry] : sizes) {
      text += (text.empty() ? "" : ", ") + std::to_string(size.first) + " x " +
              std::to_string(size.second) + " in " + countOf(entry.first, "session", "sessions") +
              " (" + countOf(entry.second, "stimulus", "stimuli") + ")";
    }
    if (without > 0) {
      text += (text.empty() ? "" : ", ") + countOf(without, "session", "sessions") +
              " without a matrix size";
    }
    line("Matrix sizes: " + (text.empty() ? std::string("none") : text));
  }

  // The session's entry of the layout table, if it has one.
  const SessionLayout* layoutOf(int32_t session) const {
    if (session < 0 || static_cast<size_t>(session) >= tables.sessionLayouts.size()) return nullptr;
    return &tables.sessionLayouts[static_cast<size_t>(session)];
  }

  // " (Subj01_01_06_06)" where the session has a matrix size.
  std::string sessionFileText(int32_t subject, int32_t session) const {
    const SessionLayout* layout = layoutOf(session);
    return layout != nullptr ? " (" + sessionStem(subject, session, *layout) + ")" : "";
  }

  std::string subjectText(int32_t subject) const {
    const auto found = subjectInfos.find(subject);
    if (found == subjectInfos.end()) return "no metadata line";
    const SubjectInfo& info = found->second;
    return "study " + info.study + ", sex " + info.sex + ", age " + std::to_string(info.age) +
           ", " + info.condition;
  }

  std::string layoutText(int32_t session) const {
    const SessionLayout* layout = layoutOf(session);
    if (layout == nullptr) return "no matrix size";
    return std::to_string(layout->rows) + " x " + std::to_string(layout->columns) + " matrix";
  }

  // Numbers missing between the smallest and largest key of a level.
  template <typename Map>
  void checkGaps(const Map& map, const std::string& what, const std::string& parent,
                 std::string (*name)(int64_t)) {
    if (map.empty()) return;
    std::vector<int64_t> missing;
    int64_t expected = map.begin()->first;
    for (const auto& entry : map) {
      for (; expected < entry.first && missing.size() <= kListedNumbers; ++expected) {
        missing.push_back(expected);
      }
      expected = int64_t{entry.first} + 1;
    }
    if (!missing.empty()) {
      problem(parent + ": the " + what + " numbers skip " + listed(missing, name));
    }
  }

  void checkDatabaseNumbers(const std::set<int32_t>& databases) {
    std::vector<int64_t> missing;
    const int64_t last = databases.empty() ? 0 : *databases.rbegin();
    for (int64_t d = 0; d < last && missing.size() <= kListedNumbers; ++d) {
      if (databases.count(static_cast<int32_t>(d)) == 0) missing.push_back(d);
    }
    if (!missing.empty()) {
      problem("the database numbers do not run from 0 without gaps: missing " +
              listed(missing, databaseName));
    }
  }

  // Numbers that turn up under more than one parent.
  struct SharedNumbers {
    std::map<int32_t, int32_t> owner;
    std::set<int32_t> shared;
    void note(int32_t number, int32_t parent) {
      if (!owner.emplace(number, parent).second) shared.insert(number);
    }
  };

  void checkNumbering(const StimulusIndex& index) {
    checkDatabaseNumbers(index.databases);
    SharedNumbers subjects, sessions, trials;
    for (const auto& [database, subjectMap] : index.hierarchy) {
      checkGaps(subjectMap, "subject", databaseName(database), subjectName);
      for (const auto& [subject, sessionMap] : subjectMap) {
        subjects.note(subject, database);
        checkGaps(sessionMap, "session", subjectName(subject), sessionName);
        checkSessionNumbers(subject, sessionMap, sessions, trials);
      }
    }
    reportShared(subjects, "subject numbers are shared by databases", subjectName);
    reportShared(sessions, "session numbers are shared by subjects", sessionName);
    reportShared(trials, "trial numbers are shared by sessions", trialName);
  }

  void checkSessionNumbers(int32_t subject, const SessionMap& sessionMap, SharedNumbers& sessions,
                           SharedNumbers& trials) {
    for (const auto& [session, trialMap] : sessionMap) {
      sessions.note(session, subject);
      checkGaps(trialMap, "trial", sessionName(session), plainNumber);
      for (const auto& entry : trialMap) trials.note(entry.first, session);
    }
  }

  void reportShared(const SharedNumbers& numbers, const std::string& what,
                    std::string (*name)(int64_t)) {
    if (numbers.shared.empty()) return;
    problem(what + ": " +
            listed(std::vector<int64_t>(numbers.shared.begin(), numbers.shared.end()), name));
  }

  void checkNegative() {
    const std::pair<const char*, int32_t StimulusRecord::*> fields[] = {
        {"database", &StimulusRecord::database},
        {"subject", &StimulusRecord::subject},
        {"session", &StimulusRecord::session},
        {"trial", &StimulusRecord::trial}};
    for (const auto& [what, field] : fields) {
      uint64_t count = 0;
      size_t first = 0;
      for (size_t s = 0; s < stimuli.size(); ++s) {
        if (stimuli[s].*field < 0 && count++ == 0) first = s;
      }
      if (count > 0) {
        problem(countOf(count, "stimulus has", "stimuli have") + " a negative " + what +
                " number (first: stimulus " + std::to_string(first) + ", " + what + " " +
                std::to_string(stimuli[first].*field) + ")");
      }
    }
  }

  void reportOutside(const std::map<int32_t, uint64_t>& outside, const std::string& what,
                     const std::string& table, size_t tableSize, std::string (*name)(int64_t)) {
    for (const auto& [number, count] : outside) {
      problem(name(number) + " (" + countOf(count, "stimulus", "stimuli") + ") lies outside the " +
              table + " table of " + countOf(tableSize, what, what + "s"));
    }
  }

  // Session and trial numbers against their tables, codes against the
  // matrix, labels against the trial's target.
  void checkStimuli() {
    std::map<int32_t, uint64_t> unknownSessions, unknownTrials;
    std::map<int32_t, ProblemTally> badCodes, badLabels;
    for (size_t s = 0; s < stimuli.size(); ++s) {
      const StimulusRecord& record = stimuli[s];
      const SessionLayout* layout = layoutOf(record.session);
      const bool trialKnown =
          record.trial >= 0 && static_cast<size_t>(record.trial) < tables.targets.size();
      if (layout == nullptr) ++unknownSessions[record.session];
      if (!trialKnown) ++unknownTrials[record.trial];
      if (layout == nullptr) continue;
      if (record.code < 0 || int64_t{record.code} >= int64_t{layout->rows} + layout->columns) {
        badCodes[record.session].note("stimulus " + std::to_string(s) + ", code " +
                                      std::to_string(record.code));
      }
      if (!trialKnown) continue;
      const TargetRecord& target = tables.targets[static_cast<size_t>(record.trial)];
      const bool onTarget =
          record.code == target.targetRowCode || record.code == target.targetColumnCode;
      if ((record.label != 0) != onTarget) {
        badLabels[record.session].note(
            "stimulus " + std::to_string(s) + ", trial " + std::to_string(record.trial) +
            ", code " + std::to_string(record.code) + ", label " + std::to_string(record.label) +
            ", target codes " + std::to_string(target.targetRowCode) + " and " +
            std::to_string(target.targetColumnCode));
      }
    }
    reportOutside(unknownSessions, "session", "layout", tables.sessionLayouts.size(), sessionName);
    reportOutside(unknownTrials, "trial", "target", tables.targets.size(), trialName);
    for (const auto& [session, tally] : badCodes) {
      problem(sessionName(session) + ": " +
              countOf(tally.count, "stimulus has a code", "stimuli have codes") +
              " outside its rows plus columns (" + layoutText(session) + "; first: " + tally.first +
              ")");
    }
    for (const auto& [session, tally] : badLabels) {
      problem(sessionName(session) + ": " +
              countOf(tally.count, "label disagrees", "labels disagree") +
              " with the trial's target (first: " + tally.first + ")");
    }
    for (size_t r = 0; r < tables.sessionLayouts.size(); ++r) {
      if (tables.sessionLayouts[r].rows <= 0 || tables.sessionLayouts[r].columns <= 0) {
        problem(sessionName(static_cast<int64_t>(r)) + " has the matrix size " +
                layoutText(static_cast<int32_t>(r)));
      }
    }
  }

  void checkSamples(const SampleScan& scan) {
    if (!scan.present) return;  // reported as missing
    if (!scan.read) {
      problem("/features cannot be read");
      return;
    }
    line("Samples: " + std::to_string(scan.values) + " values" +
         (scan.low <= scan.high ? formatted(", finite ones from %.6g to %.6g", scan.low, scan.high)
                                : std::string()));
    const std::pair<const SampleCount*, const char*> kinds[] = {
        {&scan.nan, "NaN"},
        {&scan.infinite, "infinite"},
        {&scan.beyondFloat, "beyond the float32 range"}};
    for (const auto& [count, what] : kinds) {
      if (count->count == 0) continue;
      problem("/features holds " + countOf(count->count, "value", "values") + " " + what +
              " (first: " + valuePlace(count->first) + ")");
    }
  }

  void readSubjects(const std::string& path) {
    std::error_code ignored;
    subjectFileFound = std::filesystem::exists(path, ignored);
    if (!subjectFileFound) {
      problem(path + " cannot be read: no subject has a metadata line");
      return;
    }
    std::set<int32_t> subjects;
    for (const StimulusRecord& record : stimuli) subjects.insert(record.subject);
    for (const std::string& message :
         SubjectFileReader(subjects).read(path, subjectInfos).messages) {
      problem(path + ": " + message);
    }
  }

  void checkSubjects(const StimulusIndex& index) {
    if (!subjectFileFound) return;
    std::vector<int64_t> missing;
    for (const int32_t subject : index.subjects) {
      if (subjectInfos.count(subject) == 0) missing.push_back(subject);
    }
    if (!missing.empty()) {
      problem(countOf(missing.size(), "subject has", "subjects have") +
              " no metadata line: " + listed(missing, subjectName));
    }
  }
};

std::string subjectFileOf(const std::string& inputPath, const std::string& subjectPath) {
  if (!subjectPath.empty()) return subjectPath;
  return (std::filesystem::path(inputPath).parent_path() / kSubjectFileName).string();
}

}  // namespace

InspectReport inspectInput(const std::string& inputPath, const std::string& subjectPath,
                           bool verbose) {
  InspectReport report;
  Inspection inspection{report, verbose, {}, {}, {}, false};
  const OpenedInputFile opened = InputFile::open(inputPath);
  if (opened.found != OpenedInputFile::Found::kOpened) {
    inspection.problem(inputPath + " cannot be opened as an HDF5 file" +
                       (opened.refusal.empty() ? std::string() : ": " + opened.refusal));
    return report;
  }
  const std::shared_ptr<InputFile>& file = opened.file;
  inspection.line("Input: " + inputPath + " (" + std::to_string(file->size()) + " bytes)");
  const std::vector<DatasetSurvey> surveys = inspection.listDatasets(*file);
  const uint64_t featureValues = surveys[kSamplesAt].elements;
  const StoredEpochs samples = inspection.readTables(file, inputPath, featureValues);
  inspection.checkLengths(surveys, featureValues);
  inspection.readSubjects(subjectFileOf(inputPath, subjectPath));

  const StimulusIndex index =
      buildStimulusIndex(inspection.stimuli, inspection.tables.sessionLayouts);
  inspection.listStructure(index);
  inspection.checkNegative();
  inspection.checkNumbering(index);
  inspection.checkStimuli();
  inspection.checkSubjects(index);
  if (samples.epochCount() > 0) {
    SampleScan scan;
    scan.present = true;
    scanSamples(samples, scan);
    inspection.checkSamples(scan);
  }
  return report;
}

}  // namespace erp2npx::npxcheck
