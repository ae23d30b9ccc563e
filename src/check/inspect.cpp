#include "check/inspect.h"

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

#include "check/check_report.h"
#include "driver/config.h"
#include "input/epoch_matrix.h"
#include "input/hdf5_handle.h"
#include "input/stimulus_table.h"
#include "input/subject_file.h"
#include "output/stimulus_index.h"

namespace erp2npx::check {

namespace {

// Values of "/features" scanned per read: 2 MB of doubles.
constexpr hsize_t kBlockValues = 256 * kEpochValues;
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

// "3, 4, 7" or "3, 4, 7, ... (12 in all)"
std::string listed(const std::vector<int64_t>& numbers) {
  std::string text;
  for (size_t i = 0; i < numbers.size() && i < kListedNumbers; ++i) {
    text += (i == 0 ? "" : ", ") + std::to_string(numbers[i]);
  }
  if (numbers.size() > kListedNumbers) {
    text += ", ... (" + std::to_string(numbers.size()) + " in all)";
  }
  return text;
}

// ---------------------------------------------------------------- datasets

struct DatasetSurvey {
  std::string name;
  bool present = false;
  std::string type;
  std::vector<hsize_t> dims;
  uint64_t elements = 0;
  uint64_t storageBytes = 0;
  std::string storage;  // layout and filters
};

std::string typeText(hid_t type) {
  const size_t bits = H5Tget_size(type) * 8;
  const H5T_class_t typeClass = H5Tget_class(type);
  const std::string order = H5Tget_order(type) == H5T_ORDER_BE ? "big-endian" : "little-endian";
  if (typeClass == H5T_INTEGER) {
    return std::to_string(bits) + "-bit " +
           (H5Tget_sign(type) == H5T_SGN_NONE ? "unsigned" : "signed") + " integer, " + order;
  }
  if (typeClass == H5T_FLOAT) return std::to_string(bits) + "-bit float, " + order;
  return "type class " + std::to_string(static_cast<int>(typeClass)) + ", " +
         std::to_string(bits / 8) + " bytes";
}

std::string storageText(hid_t dataset) {
  const Hid creation = propertyListHandle(H5Dget_create_plist(dataset));
  if (!creation.valid()) return "?";
  std::string text;
  switch (H5Pget_layout(creation.get())) {
    case H5D_CONTIGUOUS:
      text = "contiguous";
      break;
    case H5D_COMPACT:
      text = "compact";
      break;
    case H5D_CHUNKED: {
      hsize_t chunk[H5S_MAX_RANK];
      const int rank = H5Pget_chunk(creation.get(), H5S_MAX_RANK, chunk);
      text = "chunked ";
      for (int d = 0; d < rank; ++d) text += (d == 0 ? "" : "x") + std::to_string(chunk[d]);
      break;
    }
    default:
      text = "virtual or unknown layout";
  }
  const int filters = H5Pget_nfilters(creation.get());
  for (int f = 0; f < filters; ++f) {
    unsigned flags = 0;
    size_t valueCount = 4;
    unsigned values[4] = {};
    char name[64] = {};
    unsigned config = 0;
    const H5Z_filter_t filter = H5Pget_filter2(creation.get(), static_cast<unsigned>(f), &flags,
                                               &valueCount, values, sizeof name, name, &config);
    text += f == 0 ? ", filters: " : ", ";
    if (filter == H5Z_FILTER_DEFLATE) {
      text += "deflate level " + std::to_string(valueCount > 0 ? values[0] : 0);
    } else if (filter == H5Z_FILTER_SHUFFLE) {
      text += "shuffle";
    } else {
      text += name[0] != '\0' ? name : "filter " + std::to_string(filter);
    }
  }
  return text;
}

DatasetSurvey surveyDataset(hid_t file, const char* name) {
  DatasetSurvey survey;
  survey.name = name;
  const Hid dataset = datasetHandle(H5Dopen2(file, name, H5P_DEFAULT));
  if (!dataset.valid()) return survey;
  survey.present = true;
  const Hid type = datatypeHandle(H5Dget_type(dataset.get()));
  survey.type = type.valid() ? typeText(type.get()) : "?";
  const Hid space = dataspaceHandle(H5Dget_space(dataset.get()));
  const int rank = space.valid() ? H5Sget_simple_extent_ndims(space.get()) : -1;
  if (rank >= 0) {
    survey.dims.resize(static_cast<size_t>(rank));
    H5Sget_simple_extent_dims(space.get(), survey.dims.data(), nullptr);
    const hssize_t points = H5Sget_simple_extent_npoints(space.get());
    survey.elements = points > 0 ? static_cast<uint64_t>(points) : 0;
  }
  survey.storageBytes = H5Dget_storage_size(dataset.get());
  survey.storage = storageText(dataset.get());
  return survey;
}

std::string shapeText(const std::vector<hsize_t>& dims) {
  if (dims.empty()) return "scalar";
  std::string text;
  for (size_t d = 0; d < dims.size(); ++d) text += (d == 0 ? "" : " x ") + std::to_string(dims[d]);
  return text;
}

hid_t memoryType(int32_t*) { return H5T_NATIVE_INT32; }
hid_t memoryType(double*) { return H5T_NATIVE_DOUBLE; }

// Reads a whole dataset, converted to T; empty when it is missing, has no
// storage or does not convert.
template <typename T>
std::vector<T> readWhole(hid_t file, const char* name) {
  const Hid dataset = datasetHandle(H5Dopen2(file, name, H5P_DEFAULT));
  const Hid space = dataspaceHandle(dataset.valid() ? H5Dget_space(dataset.get()) : -1);
  const hssize_t points = space.valid() ? H5Sget_simple_extent_npoints(space.get()) : 0;
  std::vector<T> values;
  if (points <= 0 || H5Dget_storage_size(dataset.get()) == 0) return values;
  values.resize(static_cast<size_t>(points));
  if (H5Dread(dataset.get(), memoryType(static_cast<T*>(nullptr)), H5S_ALL, H5S_ALL, H5P_DEFAULT,
              values.data()) < 0) {
    values.clear();
  }
  return values;
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

// Reads the dataset in storage order in blocks of at most kBlockValues:
// the leading dimensions are walked one index at a time down to the first
// dimension whose rows fit a block, which is then read in runs of rows.
SampleScan scanFeatures(hid_t file) {
  SampleScan scan;
  const Hid access = propertyListHandle(H5Pcreate(H5P_DATASET_ACCESS));
  H5Pset_chunk_cache(access.get(), 12421, 32u << 20, 1.0);
  const Hid dataset = datasetHandle(H5Dopen2(file, "/features", access.get()));
  const Hid space = dataspaceHandle(dataset.valid() ? H5Dget_space(dataset.get()) : -1);
  const int rank = space.valid() ? H5Sget_simple_extent_ndims(space.get()) : -1;
  scan.present = dataset.valid();
  if (rank <= 0) return scan;
  std::vector<hsize_t> dims(static_cast<size_t>(rank));
  H5Sget_simple_extent_dims(space.get(), dims.data(), nullptr);
  if (H5Dget_storage_size(dataset.get()) == 0 ||
      std::find(dims.begin(), dims.end(), 0) != dims.end()) {
    scan.read = true;  // nothing stored, nothing to scan
    return scan;
  }
  size_t level = 0;
  hsize_t rowValues = 1;
  for (size_t d = 1; d < dims.size(); ++d) rowValues *= dims[d];
  while (rowValues > kBlockValues && level + 1 < dims.size()) rowValues /= dims[++level];
  const hsize_t rowsPerBlock = std::max<hsize_t>(1, kBlockValues / std::max<hsize_t>(rowValues, 1));
  std::vector<double> block(static_cast<size_t>(std::min(rowsPerBlock * rowValues, kBlockValues)));
  std::vector<hsize_t> start(dims.size(), 0), count(dims.size(), 1);
  for (size_t d = level + 1; d < dims.size(); ++d) count[d] = dims[d];
  uint64_t index = 0;
  while (true) {
    for (hsize_t row = 0; row < dims[level]; row += rowsPerBlock) {
      start[level] = row;
      count[level] = std::min(rowsPerBlock, dims[level] - row);
      const hsize_t values = count[level] * rowValues;
      const Hid memory = dataspaceHandle(H5Screate_simple(1, &values, nullptr));
      if (H5Sselect_hyperslab(space.get(), H5S_SELECT_SET, start.data(), nullptr, count.data(),
                              nullptr) < 0 ||
          H5Dread(dataset.get(), H5T_NATIVE_DOUBLE, memory.get(), space.get(), H5P_DEFAULT,
                  block.data()) < 0) {
        return scan;
      }
      scanValues(block.data(), static_cast<size_t>(values), index, scan);
      index += values;
    }
    // Next index of the leading dimensions, last fastest.
    size_t d = level;
    while (d > 0) {
      --d;
      if (++start[d] < dims[d]) break;
      start[d] = 0;
      if (d == 0) {
        scan.read = true;
        return scan;
      }
    }
    if (level == 0) break;
  }
  scan.read = true;
  return scan;
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
  Tables tables;
  SubjectInfoTable subjectInfos;
  bool subjectFileFound = false;

  void line(const std::string& text) { report.lines.push_back(text); }
  void problem(const std::string& text) { report.inconsistencies.push_back(text); }

  void checkLengths(const std::vector<DatasetSurvey>& surveys, uint64_t featureValues) {
    const std::pair<const char*, size_t> perStimulus[] = {
        {"/codes", tables.columns.codes.size()},
        {"/database_ids", tables.columns.databaseIds.size()},
        {"/erp_labels", tables.columns.erpLabels.size()},
        {"/matrix_indexes", tables.columns.matrixIndexes.size()},
        {"/run_indexes", tables.columns.runIndexes.size()},
        {"/sequences", tables.columns.sequences.size()},
        {"/subjects", tables.columns.subjects.size()},
        {"/trials", tables.columns.trials.size()}};
    for (const DatasetSurvey& survey : surveys) {
      if (!survey.present) problem("the dataset " + survey.name + " is missing");
    }
    std::string lengths;
    bool agree = true;
    for (const auto& [name, size] : perStimulus) {
      lengths += std::string(lengths.empty() ? "" : ", ") + name + " " + std::to_string(size);
      agree = agree && size == perStimulus[0].second;
    }
    if (!agree) problem("the per-stimulus datasets disagree in length: " + lengths);
    const uint64_t needed = tables.columns.codes.size() * kEpochValues;
    if (featureValues != needed) {
      problem("/features holds " + std::to_string(featureValues) + " values, the " +
              std::to_string(tables.columns.codes.size()) + " stimuli of /codes need " +
              std::to_string(needed));
    }
  }

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
      line("Database " + std::to_string(database) + ": " +
           countOf(subjects.size(), "subject", "subjects"));
      for (const auto& [subject, sessionMap] : subjects) {
        line("  Subject " + std::to_string(subject) + ": " +
             countOf(sessionMap.size(), "session", "sessions") + "; " + subjectText(subject));
        for (const auto& [session, trials] : sessionMap) {
          uint64_t stimuli = 0;
          for (const auto& trial : trials) stimuli += trial.second.size();
          line("    Session " + std::to_string(session) + ": " + layoutText(session) + ", " +
               countOf(trials.size(), "trial", "trials") + ", " +
               countOf(stimuli, "stimulus", "stimuli"));
          for (const auto& [trial, members] : trials) {
            line("      Trial " + std::to_string(trial) + ": " +
                 countOf(members.size(), "stimulus", "stimuli"));
          }
        }
      }
    }
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
  void checkGaps(const Map& map, const std::string& what, const std::string& parent) {
    if (map.empty()) return;
    std::vector<int64_t> missing;
    int64_t expected = map.begin()->first;
    for (const auto& entry : map) {
      for (; expected < entry.first && missing.size() <= kListedNumbers; ++expected) {
        missing.push_back(expected);
      }
      expected = int64_t{entry.first} + 1;
    }
    if (!missing.empty()) problem(parent + ": the " + what + " numbers skip " + listed(missing));
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
              listed(missingDatabases));
    }
    std::map<int32_t, int32_t> subjectOwner, sessionOwner;
    std::map<int32_t, int32_t> trialOwner;
    std::set<int32_t> sharedSubjects, sharedSessions, sharedTrials;
    for (const auto& [database, subjects] : index.hierarchy) {
      checkGaps(subjects, "subject", "database " + std::to_string(database));
      for (const auto& [subject, sessions] : subjects) {
        if (!subjectOwner.emplace(subject, database).second) sharedSubjects.insert(subject);
        checkGaps(sessions, "session", "subject " + std::to_string(subject));
        for (const auto& [session, trials] : sessions) {
          if (!sessionOwner.emplace(session, subject).second) sharedSessions.insert(session);
          checkGaps(trials, "trial", "session " + std::to_string(session));
          for (const auto& entry : trials) {
            if (!trialOwner.emplace(entry.first, session).second) sharedTrials.insert(entry.first);
          }
        }
      }
    }
    reportShared(sharedSubjects, "subject numbers are shared by databases");
    reportShared(sharedSessions, "session numbers are shared by subjects");
    reportShared(sharedTrials, "trial numbers are shared by sessions");
  }

  void reportShared(const std::set<int32_t>& shared, const std::string& what) {
    if (shared.empty()) return;
    problem(what + ": " + listed(std::vector<int64_t>(shared.begin(), shared.end())));
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
                     const std::string& table, size_t tableSize) {
    for (const auto& [number, count] : outside) {
      problem(what + " " + std::to_string(number) + " (" + countOf(count, "stimulus", "stimuli") +
              ") lies outside the " + table + " table of " + countOf(tableSize, what, what + "s"));
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
    reportOutside(unknownSessions, "session", "layout", tables.layouts.size());
    reportOutside(unknownTrials, "trial", "target", tables.targets.size());
    for (const auto& [session, tally] : badCodes) {
      problem("session " + std::to_string(session) + ": " +
              countOf(tally.count, "stimulus has a code", "stimuli have codes") +
              " outside its rows plus columns (" + layoutText(session) + "; first: " + tally.first +
              ")");
    }
    for (const auto& [session, tally] : badLabels) {
      problem("session " + std::to_string(session) + ": " +
              countOf(tally.count, "label disagrees", "labels disagree") +
              " with the trial's target (first: " + tally.first + ")");
    }
    for (size_t r = 0; r < tables.layouts.size(); ++r) {
      if (tables.layouts[r].rows <= 0 || tables.layouts[r].columns <= 0) {
        problem("session " + std::to_string(r) + " has the matrix size " +
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
    std::ifstream in(path, std::ios::binary);
    subjectFileFound = static_cast<bool>(in);
    if (!subjectFileFound) {
      problem(path + " cannot be read: no subject has a metadata line");
      return;
    }
    std::set<int32_t> subjects;
    for (const StimulusRecord& record : tables.stimuli) subjects.insert(record.subject);
    for (const std::string& message : parseSubjectFile(in, subjects, subjectInfos).messages) {
      problem(path + ": " + message);
    }
  }

  void checkSubjects(const StimulusIndex& index) {
    if (!subjectFileFound) return;
    std::vector<int64_t> missing;
    for (const int32_t subject : index.subjects) {
      if (subjectText(subject) == "no metadata line") missing.push_back(subject);
    }
    if (!missing.empty()) {
      problem(countOf(missing.size(), "subject has", "subjects have") +
              " no metadata line: " + listed(missing));
    }
  }
};

}  // namespace

InspectReport inspectInput(const std::string& inputPath, const std::string& subjectPath) {
  InspectReport report;
  Inspection inspection{report, {}, {}, false};
  const Hid file = fileHandle(H5Fopen(inputPath.c_str(), H5F_ACC_RDONLY, H5P_DEFAULT));
  if (!file.valid()) {
    inspection.problem(inputPath + " cannot be opened as an HDF5 file");
    return report;
  }
  std::error_code ignored;
  inspection.line("Input: " + inputPath + " (" +
                  std::to_string(std::filesystem::file_size(inputPath, ignored)) + " bytes)");
  static const char* const kDatasets[] = {"/codes",       "/database_ids", "/erp_labels",
                                          "/features",    "/matrix_dims",  "/matrix_indexes",
                                          "/run_indexes", "/sequences",    "/subjects",
                                          "/target",      "/trials"};
  std::vector<DatasetSurvey> surveys;
  uint64_t featureValues = 0;
  inspection.line(formatted("%-16s %-36s %-16s %14s  %s", "Dataset", "Type", "Shape",
                            "Stored bytes", "Storage"));
  for (const char* name : kDatasets) {
    surveys.push_back(surveyDataset(file.get(), name));
    const DatasetSurvey& survey = surveys.back();
    if (std::string(name) == "/features") featureValues = survey.elements;
    inspection.line(survey.present ? formatted("%-16s %-36s %-16s %14" PRIu64 "  %s", name,
                                               survey.type.c_str(), shapeText(survey.dims).c_str(),
                                               survey.storageBytes, survey.storage.c_str())
                                   : formatted("%-16s missing", name));
  }

  Tables& tables = inspection.tables;
  const hid_t f = file.get();
  tables.columns.codes = readWhole<int32_t>(f, "/codes");
  tables.columns.databaseIds = readWhole<int32_t>(f, "/database_ids");
  tables.columns.erpLabels = readWhole<double>(f, "/erp_labels");
  tables.columns.matrixIndexes = readWhole<int32_t>(f, "/matrix_indexes");
  tables.columns.runIndexes = readWhole<int32_t>(f, "/run_indexes");
  tables.columns.sequences = readWhole<int32_t>(f, "/sequences");
  tables.columns.subjects = readWhole<int32_t>(f, "/subjects");
  tables.columns.trials = readWhole<int32_t>(f, "/trials");
  const std::vector<int32_t> matrixDims = readWhole<int32_t>(f, "/matrix_dims");
  const std::vector<int32_t> target = readWhole<int32_t>(f, "/target");
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
  inspection.checkSamples(scanFeatures(f));
  return report;
}

}  // namespace erp2npx::check
