#include "npxcheck/tree_check.h"

#include <filesystem>
#include <map>

#include "common/config.h"
#include "header/event_section.h"
#include "output/binary_epoch_file.h"
#include "output/output_names.h"

namespace erp2npx::npxcheck {

namespace {

constexpr int64_t kEpoch = kEpochSamples;

std::string joinNames(const std::vector<std::string>& names) {
  std::string text;
  for (const std::string& name : names) text += (text.empty() ? "" : " ") + name;
  return text;
}

bool atEpochStart(const std::optional<int64_t>& position, int64_t positions) {
  return position && *position >= 0 && *position < positions && *position % kEpoch == 0;
}

struct SessionCheck {
  const TreeFiles& tree;
  const SessionFiles& files;
  CheckReport& report;
  std::string binName;
  std::string npxName;
  std::optional<SessionStem> name;
  std::map<std::string, ProblemTally> tallies;  // by kind and class

  void binProblem(const std::string& text) { addProblem(report, binName, text); }
  void npxProblem(const std::string& text) { addProblem(report, npxName, text); }

  void tally(const std::string& what, const std::string& example) { tallies[what].note(example); }

  void reportTallies() {
    for (const auto& [what, entry] : tallies) {
      npxProblem(what + (entry.count == 1 ? " (" + entry.first + ")"
                                          : " (" + std::to_string(entry.count) + " events, first " +
                                                entry.first + ")"));
    }
  }

  // The name must be one the converter writes, in the directories it writes
  // it to: DB_xx/Subject_xx/ below the root.
  void checkPlace() {
    const std::filesystem::path stem(files.relativeStem);
    name = parseSessionStem(stem.filename().string());
    if (!name) {
      binProblem("the name does not follow the pattern Subj%02d_%02d_%02d_%02d");
      return;
    }
    const std::string subjectDirectory = subjectDirectoryName(name->subject);
    const std::filesystem::path parent = stem.parent_path();
    if (parent.filename() != subjectDirectory) {
      binProblem("lies in \"" + parent.generic_string() + "\", but its name is for subject " +
                 std::to_string(int64_t{name->subject} + 1) + " (" + subjectDirectory + ")");
    } else if (parent.parent_path().has_parent_path() ||
               !parseDatabaseDirectoryName(parent.parent_path().string())) {
      binProblem("lies in \"" + parent.generic_string() + "\", not in DB_xx/" + subjectDirectory +
                 " below the tree");
    }
  }

  // Checks the binary file's header against the one the converter writes for
  // the header document's sensors and the file's own position count.
  bool checkBinary(EpochFileReader& reader, const NpxFile& npx) {
    const Status opened = reader.open(treePath(tree, binName));
    if (!opened.ok()) {
      binProblem(opened.reason());
      return false;
    }
    const EpochFileHeader& actual = reader.header();
    const std::vector<std::string>& channels =
        npx.wellFormed && !npx.sensors.empty() ? npx.sensors : channelList();
    const EpochFileHeader expected = expectedEpochFileHeader(channels, actual.positions);
    if (actual.magic != expected.magic) {
      binProblem("does not start with the magic NPXFILE of a binary epoch file");
      return false;
    }
    const auto field = [&](int64_t value, int64_t wanted, const std::string& what) {
      if (value != wanted) {
        binProblem(what + " is " + std::to_string(value) + ", expected " + std::to_string(wanted));
      }
      return value == wanted;
    };
    field(actual.version, expected.version, "the format version");
    field(actual.rate, expected.rate, "the sampling rate");
    field(actual.reserved, expected.reserved, "the field at byte 28");
    if (actual.channelCount != expected.channelCount) {
      binProblem("the channel count is " + std::to_string(actual.channelCount) + ", but " +
                 npxName + " has " + std::to_string(channels.size()) + " Sensor elements");
    }
    const bool lengthAgrees =
        field(actual.headerLength, headerLengthFor(actual.channelCount),
              "the header length for " + std::to_string(actual.channelCount) + " channels");
    for (size_t c = 0; c < actual.channelNames.size(); ++c) {
      if (!actual.namesTerminated[c]) {
        binProblem("the name field of channel " + std::to_string(c + 1) + " has no zero byte");
      }
      if (c < channels.size() && actual.channelNames[c] != channels[c]) {
        binProblem("channel " + std::to_string(c + 1) + " is named \"" + actual.channelNames[c] +
                   "\", its Sensor element \"" + channels[c] + "\"");
      }
    }
    if (actual.positions < 0 || actual.positions % kEpoch != 0) {
      binProblem("the position count " + std::to_string(actual.positions) +
                 " is not a whole number of " + std::to_string(kEpoch) + "-sample epochs");
      return false;
    }
    const uint64_t announced = announcedFileSize(actual);
    if (lengthAgrees && reader.fileSize() != announced) {
      binProblem(std::string(reader.fileSize() < announced ? "is truncated: it" : "it") +
                 " holds " + std::to_string(reader.fileSize()) + " bytes, its header announces " +
                 std::to_string(announced) + " (" + std::to_string(actual.positions) +
                 " sample positions of " + std::to_string(actual.channelCount) + " channels)");
    }
    report.epochs += static_cast<uint64_t>(actual.positions / kEpoch);
    return true;
  }

  // A number every header holds the same, against the binary file's field of
  // that meaning where that holds what the converter writes.
  void checkFixedNumber(const NpxField& field, const std::string& what, int32_t written,
                        const int32_t* binaryValue, const std::string& binaryWhat) {
    const std::string wanted = std::to_string(written);
    if (!field) {
      npxProblem("has no " + what);
    } else if (*field != wanted) {
      npxProblem(what + " is \"" + *field + "\", " +
                 (binaryValue != nullptr && *binaryValue == written
                      ? "but " + binName + " has " + binaryWhat + " " + wanted
                      : "expected " + wanted));
    }
  }

  void checkRecordingNumbers(const NpxFile& npx, const EpochFileHeader* binary) {
    const int32_t* version = binary != nullptr ? &binary->version : nullptr;
    const int32_t* rate = binary != nullptr ? &binary->rate : nullptr;
    checkFixedNumber(npx.version, "FileInfo/Version", kBinaryFormatVersion, version,
                     "the format version");
    checkFixedNumber(npx.versionMinor, "FileInfo/VersionMin", kBinaryFormatVersion, version,
                     "the format version");
    checkFixedNumber(npx.baseRate, "Recording/BaseSR", kEpochSamples, rate, "the sampling rate");
    if (npx.hasEvents) {
      checkFixedNumber(npx.resolutionRate, "Events/ResolutionSR", kEpochSamples, rate,
                       "the sampling rate");
    }
  }

  void checkHeaderDocument(const NpxFile& npx, const EpochFileHeader* binary) {
    checkRecordingNumbers(npx, binary);
    if (!npx.hasEncoder) {
      npxProblem("has no P2731/ControlInterface/Encoder element: the speller's encoder is missing");
    }
    if (npx.sensors != channelList()) {
      npxProblem("the Sensor names \"" + joinNames(npx.sensors) + "\" are not the channel list \"" +
                 joinNames(channelList()) + "\"");
    }
    if (!npx.hasSamples) {
      npxProblem("has no Recording/Samples element");
    } else if (!npx.samples) {
      npxProblem("Recording/Samples \"" + npx.samplesText + "\" is not a whole number");
    } else if (binary != nullptr && *npx.samples != binary->positions) {
      npxProblem("Recording/Samples is " + std::to_string(*npx.samples) + ", but " + binName +
                 " holds " + std::to_string(binary->positions) + " sample positions");
    }
  }

  // Target, Standard or a code class the session's matrix size can give; a
  // file name that does not parse allows no code class.
  bool isEpochClassName(const std::string& className) const {
    return className == kTargetClassName || className == kStandardClassName ||
           (name && parseCodeClassName(className, name->layout));
  }

  void checkEpochEvent(const std::string& className, const NpxEvent& event, int64_t positions) {
    // The texts are made only for a problem: most headers have none.
    std::string problem;
    if (!event.begin) {
      problem = "an event's VSB is not a whole number";
    } else if (*event.begin < 0 || *event.begin >= positions) {
      problem =
          "an event lies outside the file's " + std::to_string(positions) + " sample positions";
    } else if (*event.begin % kEpoch != 0) {
      problem = "an event is not at an epoch start";
    }
    if (!problem.empty()) {
      tally("class " + className + ": " + problem, "VSB=\"" + event.beginText() + "\"");
    }
  }

  void checkTrialEvent(const NpxEvent& event, int64_t positions) {
    checkEpochEvent(kTrialClassName, event, positions);
    const auto example = [&] {
      return "VSB=\"" + event.beginText() + "\" VSE=\"" + event.endText() + "\"";
    };
    if (!event.end) {
      tally("class Trial: an event's VSE is missing or not a whole number", example());
    } else if (*event.end > positions || (event.begin && *event.end <= *event.begin)) {
      tally("class Trial: an event ends outside the file's " + std::to_string(positions) +
                " sample positions or before it begins",
            example());
    }
  }

  void checkEvents(const NpxFile& npx, int64_t positions, bool mapEpochs) {
    if (!npx.hasEvents) {
      npxProblem("has no Events element");
      return;
    }
    bool hasTrialClass = false;
    for (const NpxEventClass& eventClass : npx.classes) {
      checkEventClass(eventClass, positions, hasTrialClass);
    }
    reportTallies();
    if (!hasTrialClass) npxProblem("has no Trial class");

    if (!mapEpochs) return;
    const SessionEventMap map = mapSessionEvents(npx, positions);
    checkEpochMarks(map);
    checkTrials(map, positions);
  }

  // The first trial class named Trial is the trials' own; the others are
  // trial target classes.
  void checkEventClass(const NpxEventClass& eventClass, int64_t positions, bool& hasTrialClass) {
    if (eventClass.classText == kEpochClass) {
      checkEpochClass(eventClass, positions);
    } else if (eventClass.classText == kTrialClass && eventClass.name == kTrialClassName &&
               !hasTrialClass) {
      hasTrialClass = true;
      for (const NpxEvent& event : eventClass.events) checkTrialEvent(event, positions);
    } else if (eventClass.classText == kTrialClass) {
      if (name && !isTrialTargetName(eventClass.name, name->layout)) {
        npxProblem("trial target class \"" + eventClass.name + "\" names no cell of the " +
                   std::to_string(name->layout.rows) + " x " +
                   std::to_string(name->layout.columns) + " speller");
      }
    } else {
      npxProblem("class \"" + eventClass.name + "\" has Class=\"" + eventClass.classText +
                 "\", neither 1 nor 2");
    }
  }

  void checkEpochClass(const NpxEventClass& eventClass, int64_t positions) {
    if (!isEpochClassName(eventClass.name)) {
      npxProblem(
          "class 1 \"" + eventClass.name + "\" is no code class of the " +
          (name ? std::to_string(name->layout.rows) + " x " + std::to_string(name->layout.columns)
                : std::string("session's")) +
          " speller, nor Target or Standard");
    }
    for (const NpxEvent& event : eventClass.events)
      checkEpochEvent(eventClass.name, event, positions);
  }

  void epochTally(uint64_t count, size_t first, const std::string& what) {
    if (count == 0) return;
    npxProblem(countOf(count, "epoch is", "epochs are") + " " + what + " (first: epoch " +
               std::to_string(first) + " at position " + std::to_string(first * kEpoch) + ")");
  }

  void checkEpochMarks(const SessionEventMap& map) {
    uint64_t noCode = 0, manyCodes = 0, unlabelled = 0, twiceLabelled = 0;
    size_t firstNoCode = 0, firstManyCodes = 0, firstUnlabelled = 0, firstTwice = 0;
    for (size_t k = 0; k < map.epochs.size(); ++k) {
      const EpochMarks& marks = map.epochs[k];
      const uint32_t labels = marks.targetMarks + marks.standardMarks;
      if (marks.codeClasses == 0 && noCode++ == 0) firstNoCode = k;
      if (marks.codeClasses > 1 && manyCodes++ == 0) firstManyCodes = k;
      if (labels == 0 && unlabelled++ == 0) firstUnlabelled = k;
      if (labels > 1 && twiceLabelled++ == 0) firstTwice = k;
    }
    epochTally(noCode, firstNoCode, "in no code class");
    epochTally(manyCodes, firstManyCodes, "in more than one code class");
    epochTally(unlabelled, firstUnlabelled, "in neither Target nor Standard");
    epochTally(twiceLabelled, firstTwice, "more than once in Target and Standard");
  }

  void checkTrials(const SessionEventMap& map, int64_t positions) {
    int64_t expectedBegin = 0;
    for (size_t i = 0; i < map.trials.size(); ++i) {
      const TrialMarks& trial = map.trials[i];
      const std::string label = "trial " + std::to_string(i + 1) + " (" +
                                std::to_string(trial.begin) + " to " + std::to_string(trial.end) +
                                ")";
      if (trial.begin != expectedBegin) {
        npxProblem(label + (i == 0 ? " does not begin at 0"
                                   : " does not begin where the previous trial ended, at " +
                                         std::to_string(expectedBegin)));
      }
      if (trial.end <= trial.begin) npxProblem(label + " holds no epoch");
      expectedBegin = trial.end;
      if (!trial.hasTarget) continue;
      if (trial.targetEvents.size() != 1) {
        npxProblem("trial target class \"" + trial.targetName + "\" of " + label + " holds " +
                   std::to_string(trial.targetEvents.size()) + " events, expected one");
        continue;
      }
      const NpxEvent& event = trial.targetEvents.front();
      const int64_t targetEnd = trial.end - kEpoch + 1;
      if (event.begin != trial.begin || event.end != targetEnd) {
        npxProblem("trial target class \"" + trial.targetName + "\" of " + label + " has VSB=\"" +
                   event.beginText() + "\" VSE=\"" + event.endText() + "\", expected VSB=\"" +
                   std::to_string(trial.begin) + "\" VSE=\"" + std::to_string(targetEnd) + "\"");
      }
    }
    if (expectedBegin != positions) {
      npxProblem("the trials cover positions 0 to " + std::to_string(expectedBegin) +
                 ", the file holds " + std::to_string(positions));
    }
    if (map.trialTargetClasses != map.trials.size()) {
      npxProblem("holds " +
                 countOf(map.trialTargetClasses, "trial target class", "trial target classes") +
                 " for " + countOf(map.trials.size(), "trial", "trials"));
    }
  }

  void run() {
    binName = files.relativeStem + ".bin";
    npxName = files.relativeStem + ".npx";
    if (!files.hasNpx) {
      ++report.files;
      binProblem("has no header " + stemName(files.relativeStem) + ".npx beside it");
      return;
    }
    if (!files.hasBin) {
      ++report.files;
      npxProblem("has no binary epoch file " + stemName(files.relativeStem) + ".bin beside it");
      return;
    }
    report.files += 2;
    checkPlace();
    const NpxFile npx = readNpxFile(treePath(tree, npxName));
    EpochFileReader reader;
    const bool binaryRead = checkBinary(reader, npx);
    for (const std::string& problem : npx.problems) npxProblem(problem);
    if (!npx.wellFormed) return;
    if (!npx.hasRoot) {
      npxProblem("has no DOC root element");
      return;
    }
    checkHeaderDocument(npx, binaryRead ? &reader.header() : nullptr);
    // Epochs are laid out only over a file that holds what its header
    // announces; a damaged count must not size the check's own tables.
    const bool complete = binaryRead && reader.fileSize() == announcedFileSize(reader.header());
    const int64_t positions = binaryRead ? reader.header().positions : npx.samples.value_or(0);
    checkEvents(npx, positions, complete);
  }
};

}  // namespace

SessionEventMap mapSessionEvents(const NpxFile& npx, int64_t positions) {
  SessionEventMap map;
  map.epochs.resize(positions > 0 ? static_cast<size_t>(positions / kEpoch) : 0);
  const NpxEventClass* trialClass = nullptr;
  std::vector<const NpxEventClass*> targetClasses;
  for (const NpxEventClass& eventClass : npx.classes) {
    if (eventClass.classText == kTrialClass) {
      if (eventClass.name == kTrialClassName && trialClass == nullptr) {
        trialClass = &eventClass;
      } else {
        targetClasses.push_back(&eventClass);
      }
      continue;
    }
    if (eventClass.classText != kEpochClass) continue;
    for (const NpxEvent& event : eventClass.events) {
      if (!atEpochStart(event.begin, positions)) continue;
      EpochMarks& marks = map.epochs[static_cast<size_t>(*event.begin / kEpoch)];
      if (eventClass.name == kTargetClassName) {
        ++marks.targetMarks;
      } else if (eventClass.name == kStandardClassName) {
        ++marks.standardMarks;
      } else if (marks.codeClasses++ == 0) {
        marks.codeClass = eventClass.name;
      }
    }
  }
  map.trialTargetClasses = targetClasses.size();
  if (trialClass == nullptr) return map;
  for (size_t i = 0; i < trialClass->events.size(); ++i) {
    const NpxEvent& event = trialClass->events[i];
    TrialMarks trial;
    trial.begin = event.begin.value_or(-1);
    trial.end = event.end.value_or(-1);
    if (i < targetClasses.size()) {
      trial.hasTarget = true;
      trial.targetName = targetClasses[i]->name;
      trial.targetEvents = targetClasses[i]->events;
    }
    map.trials.push_back(std::move(trial));
  }
  return map;
}

CheckReport checkTree(const TreeFiles& tree) {
  CheckReport report;
  report.problems = tree.problems;
  // A tree read whole without a session holds nothing to pass.
  if (tree.problems.empty() && tree.sessions.empty()) {
    addProblem(report, tree.root, "holds no session: no .bin or .npx file below it");
  }
  for (const SessionFiles& files : tree.sessions) {
    SessionCheck{tree, files, report, {}, {}, {}, {}}.run();
  }
  for (const std::string& partial : tree.partials) {
    ++report.files;
    addProblem(report, partial, "incomplete output left by an interrupted conversion");
  }
  return report;
}

}  // namespace erp2npx::npxcheck
