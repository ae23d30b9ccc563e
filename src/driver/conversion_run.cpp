#include "driver/conversion_run.h"

#include <signal.h>

#include <cstdio>
#include <cstring>
#include <exception>
#include <new>
#include <stdexcept>

#include "common/config.h"
#include "common/console.h"
#include "common/messages.h"
#include "driver/session_walk.h"
#include "input/dataset_loader.h"
#include "input/hdf5_handle.h"
#include "input/subject_file.h"
#include "output/files_in_progress.h"
#include "output/output_file.h"
#include "output/stimulus_index.h"

namespace erp2npx {

namespace {

int convert(Console& console) {
  const ChannelList& channels = channelList();
  InputData data;
  bool complete = DatasetLoader(console).load(kInputFileName, channels.size(), data);
  const StimulusIndex index = buildStimulusIndex(data.stimuli, data.sessionLayouts);
  const SubjectFileReport subjectFile =
      SubjectFileReader(index.subjects).read(kSubjectFileName, data.subjectInfos);
  for (const std::string& message : subjectFile.messages) console.line(message);
  for (const std::string& note : subjectFile.notes) console.note(note);
  complete = subjectFile.complete && complete;

  console.line(msg::count("NumStimuli: ", data.stimulusCount));
  console.line(msg::count("NumSessions: ", data.sessionLayouts.size()));
  console.line(msg::count("NumTrials: ", data.targets.size()));

  const EpochStream epochs = [&](const EpochConsumer& consumer) { data.epochs.stream(consumer); };
  complete = SessionWalk(index, data, channels, console).walk(epochs) && complete;

  console.line(msg::count("NumDB: ", index.databases.size()));
  console.line(msg::count("NumSubjects: ", index.subjects.size()));
  console.line(msg::count("NumLayouts: ", index.layouts.size()));
  console.line(msg::count("NumTrials: ", index.trials.size()));
  return complete ? 0 : 1;
}

// A closed pipe on standard output and the file size limit become failed
// writes, reported like any other, instead of signals that end the run with
// files half done. The dispositions are restored for whoever called.
class LimitsAsErrors {
 public:
  LimitsAsErrors() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigaction(SIGPIPE, &ignore, &pipe_);
    sigaction(SIGXFSZ, &ignore, &fileSize_);
  }
  LimitsAsErrors(const LimitsAsErrors&) = delete;
  LimitsAsErrors& operator=(const LimitsAsErrors&) = delete;
  ~LimitsAsErrors() {
    sigaction(SIGPIPE, &pipe_, nullptr);
    sigaction(SIGXFSZ, &fileSize_, nullptr);
  }

 private:
  struct sigaction pipe_ {};
  struct sigaction fileSize_ {};
};

int convertReporting(Console& console) {
  try {
    return convert(console);
  } catch (const std::bad_alloc&) {
    // Files are complete or absent: unfinished ones are removed as their
    // owners unwind.
    console.line(msg::outOfMemory(kInputFileName));
    return 1;
  } catch (const std::length_error&) {
    console.line(msg::outOfMemory(kInputFileName));
    return 1;
  } catch (const std::exception& error) {
    // Standard output keeps to the converter's own lines.
    std::fprintf(stderr, "%s\n", msg::runStopped("erp2npx", error.what()).c_str());
    return 1;
  }
}

}  // namespace

int runConversion() {
  removePartialFilesOnInterrupt();
  const LimitsAsErrors limits;
  // Failures are named in the run's own words; the library's error stack
  // would only bury them.
  const QuietLibraryErrors quiet;
  Console console = Console::printing();
  const WorkingDirectoryLock lock;
  int exitValue = 1;
  if (lock.held()) {
    exitValue = convertReporting(console);
  } else {
    console.note(msg::conversionRunningHere());
  }
  console.flush();
  if (console.outputError() != 0) {
    std::fprintf(stderr, "%s\n",
                 msg::standardOutputFailed(std::strerror(console.outputError())).c_str());
    return 1;
  }
  return exitValue;
}

}  // namespace erp2npx
