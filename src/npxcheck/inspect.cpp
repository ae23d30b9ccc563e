#include "npxcheck/inspect.h"

#include <algorithm>
#include <cinttypes>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <set>

#include "common/config.h"
#include "common/console.h"
#include "common/messages.h"
#include "input/dataset_loader.h"
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

struct Tables {
  StimulusColumns columns;
  std::vector<SessionLayout> layouts;
  std::vector<TargetRecord> targets;
  StimulusTable stimuli;
};

struct Inspection {
  InspectReport& report;
  bool verbose;
  Tables tables;
  SubjectInfoTable subjectInfos;
  bool subjectFileFound = false;

  void line(const std::string& text) { report.lines.push_back(text); }
  void problem(const std::string& text) { report.inconsistencies.push_back(text); }

  void checkLengths(const std::vector<DatasetSurvey>& surveys, uint64_t featureValues) {
    for (const DatasetSurvey& survey : surveys) {
      if (!survey.present) problem("the dataset " + survey.name + " is missing");
    }
    std::string lengths;
    bool agree = true;
    for (const char* name : kPerStimulusDatasets) {
      const size_t size = tables.columns.heldBy(name);
      lengths += std::string(lengths.empty() ? "" : ", ") + name + " " + std::to_string(size);
      agree = agree && size == tables.columns.codes.size();
    }
    if (!agree) problem("the per-stimulus datasets disagree in length: " + lengths);
    const uint64_t needed = tables.columns.codes.size() * kEpochValues;
    if (featureValues != needed) {
      problem("/features holds " + std::to_string(featureValues) + " values, the " +
              std::to_string(tables.columns.codes.size()) + " stimuli of /codes need " +
              std::to_string(needed));
    }
  }

  // Counts per database and subject; every session and trial only when
  // asked for.
  void listStructure(const StimulusIndex& index) {
    std::set<int32_t> sessions;
    for (const StimulusRecord& record : tables.stimuli) sessions.insert(record.session);
    line("Stimuli: " + countOf(tables.stimuli.size(), "stimulus", "stimuli") + " in " +
         countOf(index.databases.size(), "database", "databases") + ", " +
         countOf(index.subjects.size(), "subject", "subjects") + ", " +
         countOf(sessions.size(), "session", "sessions") + ", " +
         countOf(index.trials.size(), "trial", "trials"));
    line("Layout table: " + countOf(tables.layouts.size(), "session", "sessions") +
         "; target table: " + countOf(tables.targets.size(), "trial", "trials"));
    for (const auto& [database, subjects] : index.hierarchy) {
      SessionCounts inDatabase;
      for (const auto& entry : subjects) inDatabase.add(entry.second);
      line(databaseName(database) + ": " + countOf(subjects.size(), "subject", "subjects") + ", " +
           inDatabase.text());
      for (const auto& [subject, sessionMap] : subjects) {
        SessionCounts inSubject;
        inSubject.add(sessionMap);
        line("  " + subjectName(subject) + ": " + inSubject.text() + "; " + subjectText(subject));
        if (!verbose) continue;
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
    }
    listMatrixSizes(index);
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
    for (const auto& [database, subjects] : index.hierarchy) {
      for (const auto& [subject, sessionMap] : subjects) {
        for (const auto& [session, trials] : sessionMap) {
          if (session < 0 || static_cast<size_t>(session) >= tables.layouts.size()) {
            ++without;
            continue;
          }
          const SessionLayout& layout = tables.layouts[static_cast<size_t>(session)];
          auto& entry = sizes[{layout.rows, layout.columns}];
          ++entry.first;
          entry.second += epochCountOf(trials);
        }
      }
    }
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

  // " (Subj01_01_06_06)" where the session has a matrix size.
  std::string sessionFileText(int32_t subject, int32_t session) const {
    if (session < 0 || static_cast<size_t>(session) >= tables.layouts.size()) return "";
    return " (" + sessionStem(subject, session, tables.layouts[static_cast<size_t>(session)]) + ")";
  }

  std::string subjectText(int32_t subject) const {
    const auto found = subjectInfos.find(subject);
    if (found == subjectInfos.end()) return "no metadata line";
    const SubjectInfo& info = found->second;
    return "study " + info.study + ", sex " + info.sex + ", age " + std::to_string(info.age) +
           ", " + info.condition;
  }

  std::string layoutText(int32_t session) const {
    if (session < 0 || static_cast<size_t>(session) >= tables.layouts.size()) {
      return "no matrix size";
    }
    const SessionLayout& layout = tables.layouts[static_cast<size_t>(session)];
    return std::to_string(layout.rows) + " x " + std::to_string(layout.columns) + " matrix";
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

  void checkNumbering(const StimulusIndex& index) {
    std::vector<int64_t> missingDatabases;
    if (!index.databases.empty()) {
      for (int64_t d = 0; d < *index.databases.rbegin(); ++d) {
        if (index.databases.count(static_cast<int32_t>(d)) == 0 &&
            missingDatabases.size() <= kListedNumbers) {
          missingDatabases.push_back(d);
        }
      }
    }
    if (!missingDatabases.empty()) {
      problem("the database numbers do not run from 0 without gaps: missing " +
              listed(missingDatabases, databaseName));
    }
    std::map<int32_t, int32_t> subjectOwner, sessionOwner;
    std::map<int32_t, int32_t> trialOwner;
    std::set<int32_t> sharedSubjects, sharedSessions, sharedTrials;
    for (const auto& [database, subjects] : index.hierarchy) {
      checkGaps(subjects, "subject", databaseName(database), subjectName);
      for (const auto& [subject, sessions] : subjects) {
        if (!subjectOwner.emplace(subject, database).second) sharedSubjects.insert(subject);
        checkGaps(sessions, "session", subjectName(subject), sessionName);
        for (const auto& [session, trials] : sessions) {
          if (!sessionOwner.emplace(session, subject).second) sharedSessions.insert(session);
          checkGaps(trials, "trial", sessionName(session), plainNumber);
          for (const auto& entry : trials) {
            if (!trialOwner.emplace(entry.first, session).second) sharedTrials.insert(entry.first);
          }
        }
      }
    }
    reportShared(sharedSubjects, "subject numbers are shared by databases", subjectName);
    reportShared(sharedSessions, "session numbers are shared by subjects", sessionName);
    reportShared(sharedTrials, "trial numbers are shared by sessions", trialName);
  }

  void reportShared(const std::set<int32_t>& shared, const std::string& what,
                    std::string (*name)(int64_t)) {
    if (shared.empty()) return;
    problem(what + ": " + listed(std::vector<int64_t>(shared.begin(), shared.end()), name));
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
      for (size_t s = 0; s < tables.stimuli.size(); ++s) {
        if (tables.stimuli[s].*field < 0 && count++ == 0) first = s;
      }
      if (count > 0) {
        problem(countOf(count, "stimulus has", "stimuli have") + " a negative " + what +
                " number (first: stimulus " + std::to_string(first) + ", " + what + " " +
                std::to_string(tables.stimuli[first].*field) + ")");
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
    for (size_t s = 0; s < tables.stimuli.size(); ++s) {
      const StimulusRecord& record = tables.stimuli[s];
      const bool sessionKnown =
          record.session >= 0 && static_cast<size_t>(record.session) < tables.layouts.size();
      const bool trialKnown =
          record.trial >= 0 && static_cast<size_t>(record.trial) < tables.targets.size();
      if (!sessionKnown) ++unknownSessions[record.session];
      if (!trialKnown) ++unknownTrials[record.trial];
      if (!sessionKnown) continue;
      const SessionLayout& layout = tables.layouts[static_cast<size_t>(record.session)];
      if (record.code < 0 || int64_t{record.code} >= int64_t{layout.rows} + layout.columns) {
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
    reportOutside(unknownSessions, "session", "layout", tables.layouts.size(), sessionName);
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
    for (size_t r = 0; r < tables.layouts.size(); ++r) {
      if (tables.layouts[r].rows <= 0 || tables.layouts[r].columns <= 0) {
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
    for (const StimulusRecord& record : tables.stimuli) subjects.insert(record.subject);
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

}  // namespace

InspectReport inspectInput(const std::string& inputPath, const std::string& subjectPath,
                           bool verbose) {
  InspectReport report;
  Inspection inspection{report, verbose, {}, {}, false};
  const OpenedInputFile opened = InputFile::open(inputPath);
  if (opened.found != OpenedInputFile::Found::kOpened) {
    inspection.problem(inputPath + " cannot be opened as an HDF5 file" +
                       (opened.refusal.empty() ? std::string() : ": " + opened.refusal));
    return report;
  }
  const std::shared_ptr<InputFile>& file = opened.file;
  inspection.line("Input: " + inputPath + " (" + std::to_string(file->size()) + " bytes)");
  std::vector<DatasetSurvey> surveys;
  uint64_t featureValues = 0;
  inspection.line(formatted("%-16s %-36s %-16s %14s  %s", "Dataset", "Type", "Shape",
                            "Stored bytes", "Storage"));
  for (const char* name : kDatasetNames) {
    surveys.push_back(surveyDataset(*file, name));
    const DatasetSurvey& survey = surveys.back();
    if (std::string(name) == "/features") featureValues = survey.elements;
    inspection.line(survey.present ? formatted("%-16s %-36s %-16s %14" PRIu64 "  %s", name,
                                               survey.type.c_str(), shapeText(survey.dims).c_str(),
                                               survey.storageBytes, survey.storage.c_str())
                                   : formatted("%-16s missing", name));
  }

  // The tables as the converter reads them; whatever keeps one from being
  // read soundly is an inconsistency in the converter's own words.
  Console console = Console::collecting();
  InputReader reader(file, inputPath, console);
  Tables& tables = inspection.tables;
  const auto read = [&](const char* name, auto& values) { reader.readTable(name, values); };
  read("/codes", tables.columns.codes);
  read("/database_ids", tables.columns.databaseIds);
  read("/erp_labels", tables.columns.erpLabels);
  read("/matrix_indexes", tables.columns.matrixIndexes);
  read("/run_indexes", tables.columns.runIndexes);
  read("/sequences", tables.columns.sequences);
  read("/subjects", tables.columns.subjects);
  read("/trials", tables.columns.trials);
  std::vector<int32_t> matrixDims, target;
  read("/matrix_dims", matrixDims);
  read("/target", target);
  // The samples of the stimuli "/codes" names, as far as the dataset holds them.
  const uint64_t epochs =
      std::min<uint64_t>(tables.columns.codes.size(), featureValues / kEpochValues);
  const InputReader::Features features = reader.openFeatures(epochs, kEpochValues);
  // Missing datasets are listed as such below.
  std::set<std::string> missing;
  for (const char* name : kDatasetNames)
    missing.insert(reportedLines({msg::datasetMissing(name)}).front());
  for (const std::string& line : reportedLines(console.collected())) {
    if (missing.count(line) == 0) inspection.problem(line);
  }
  tables.layouts = buildSessionLayouts(matrixDims);
  tables.targets = buildTargetRecords(target);
  tables.stimuli = buildStimulusTable(tables.columns, std::numeric_limits<uint64_t>::max());
  if (matrixDims.size() % 2 != 0) {
    inspection.problem("/matrix_dims holds " + std::to_string(matrixDims.size()) +
                       " values, not whole (rows, columns) pairs");
  }
  if (target.size() % 7 != 0) {
    inspection.problem("/target holds " + std::to_string(target.size()) +
                       " values, not whole rows of 7");
  }
  inspection.checkLengths(surveys, featureValues);

  const std::string subjectFile =
      !subjectPath.empty()
          ? subjectPath
          : (std::filesystem::path(inputPath).parent_path() / kSubjectFileName).string();
  inspection.readSubjects(subjectFile);

  const StimulusIndex index = buildStimulusIndex(tables.stimuli, tables.layouts);
  inspection.listStructure(index);
  inspection.checkNegative();
  inspection.checkNumbering(index);
  inspection.checkStimuli();
  inspection.checkSubjects(index);
  if (features.epochs.epochCount() > 0) {
    SampleScan scan;
    scan.present = true;
    scanSamples(features.epochs, scan);
    inspection.checkSamples(scan);
  }
  return report;
}

}  // namespace erp2npx::npxcheck
