#include "driver/conversion_run.h"

#include <new>
#include <set>
#include <stdexcept>

#include "driver/config.h"
#include "driver/messages.h"
#include "driver/speller_layout.h"
#include "input/dataset_loader.h"
#include "output/output_file.h"
#include "output/session_walk.h"
#include "output/stimulus_index.h"

namespace erp2npx {

namespace {

int convert() {
  const ChannelList& channels = channelList();
  fillSpellerLayout();

  InputData data;
  data.epochs = createEpochMatrix(channels.size());
  bool complete = DatasetLoader::load(kInputFileName, channels.size(), data);
  std::set<int32_t> subjects;
  for (const StimulusRecord& stimulus : data.stimuli) subjects.insert(stimulus.subject);
  const SubjectFileReport subjectFile =
      SubjectFileReader::read(kSubjectFileName, subjects, data.subjectInfos);
  for (const std::string& message : subjectFile.messages) printLine(message);
  complete = subjectFile.complete && complete;

  printLine(msg::count("NumStimuli: ", data.stimulusCount));
  printLine(msg::count("NumSessions: ", data.sessionLayouts.size()));
  printLine(msg::count("NumTrials: ", data.targets.size()));

  const StimulusIndex index = buildStimulusIndex(data.stimuli, data.sessionLayouts);
  complete = SessionWalk::walk(index, data, channels) && complete;

  printLine(msg::count("NumDB: ", index.databases.size()));
  printLine(msg::count("NumSubjects: ", index.subjects.size()));
  printLine(msg::count("NumLayouts: ", index.layouts.size()));
  printLine(msg::count("NumTrials: ", index.trials.size()));
  return complete ? 0 : 1;
}

}  // namespace

int runConversion() {
  removePartialFileOnInterrupt();
  try {
    return convert();
  } catch (const std::bad_alloc&) {
    printLine(msg::outOfMemory(kInputFileName));
    return 1;
  } catch (const std::length_error&) {
    // Files are complete or absent: an unfinished one is removed as its
    // owner unwinds.
    printLine(msg::outOfMemory(kInputFileName));
    return 1;
  }
}

}  // namespace erp2npx
