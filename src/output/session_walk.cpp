#include "output/session_walk.h"

#include <limits>

#include "driver/messages.h"
#include "header/npx_header.h"
#include "output/binary_epoch_writer.h"
#include "output/output_file.h"
#include "output/output_names.h"
#include "output/progress.h"

namespace erp2npx {

namespace {

// The printed directory names end in a backslash; the directories on disk
// are named without it.
std::string printedDirectoryName(const std::string& name) { return name + "\\"; }

std::string joinPath(const std::string& parent, const std::string& name) {
  return parent.empty() ? name : parent + "/" + name;
}

uint64_t epochCountOf(const TrialMap& trials) {
  uint64_t epochs = 0;
  for (const auto& entry : trials) epochs += entry.second.size();
  return epochs;
}

struct Walker {
  const StimulusIndex& index;
  const InputData& data;
  const ChannelList& channels;
  Progress progress;
  bool complete = true;

  void skip(int32_t database, int32_t subject, int32_t session, const std::string& reason) {
    printLine(msg::sessionSkipped(database, subject, session, reason));
    complete = false;
  }

  void skipAll(int32_t database, int32_t subject, const SessionMap& sessions,
               const std::string& reason) {
    for (const auto& entry : sessions) skip(database, subject, entry.first, reason);
  }

  // Why a session cannot be converted, or "" when it can.
  std::string sessionProblem(int32_t session, const TrialMap& trials) const {
    if (session < 0) return "the session number is negative";
    if (static_cast<size_t>(session) >= data.sessionLayouts.size()) {
      return "the input has no matrix size for it (it holds " +
             std::to_string(data.sessionLayouts.size()) + ")";
    }
    for (const auto& entry : trials) {
      const int32_t trial = entry.first;
      if (trial < 0) return "its trial number " + std::to_string(trial) + " is negative";
      if (static_cast<size_t>(trial) >= data.targets.size()) {
        return "its trial " + std::to_string(trial) + " has no target in the input (it holds " +
               std::to_string(data.targets.size()) + ")";
      }
    }
    const uint64_t epochs = epochCountOf(trials);
    if (epochs * kEpochSamples > static_cast<uint64_t>(std::numeric_limits<int32_t>::max())) {
      return "its " + std::to_string(epochs) + " epochs exceed the 32-bit sample positions";
    }
    for (const auto& entry : trials) {
      if (!epochsWritten(data.epochs, entry.second)) return msg::epochsUnwritten();
    }
    return {};
  }

  void writeSession(int32_t database, int32_t subject, int32_t session, const TrialMap& trials,
                    const std::string& directory) {
    writeSessionFiles(database, subject, session, trials, directory);
    advanceProgress(progress, epochCountOf(trials));
  }

  void writeSessionFiles(int32_t database, int32_t subject, int32_t session, const TrialMap& trials,
                         const std::string& directory) {
    const std::string problem = sessionProblem(session, trials);
    if (!problem.empty()) {
      skip(database, subject, session, problem);
      return;
    }
    const SessionLayout& layout = data.sessionLayouts[static_cast<size_t>(session)];
    const std::string stem = sessionStem(subject, session, layout);
    const std::string binName = stem + ".bin";
    const std::string binPath = joinPath(directory, binName);
    OutputFile file;
    const int created = createOutputFile(binPath, file);
    if (created != 0) {
      printLine(msg::errorCreatingFile(created, binName));
      complete = false;
      return;
    }
    printLine(msg::processingSession(binName));

    SessionEvents events;
    std::string error;
    if (!BinaryEpochWriter::write(file, trials, data, channels, events, error) ||
        !commitOutputFile(file, error)) {
      abandonOutputFile(file);
      printLine(msg::fileNotWritten(binPath, error));
      complete = false;
      return;
    }

    SessionHeaderInputs header;
    header.layout = layout;
    const auto info = data.subjectInfos.find(subject);
    if (info != data.subjectInfos.end()) header.subject = &info->second;
    header.channels = &channels;
    header.events = &events;
    const std::string npxPath = joinPath(directory, stem + ".npx");
    EncoderCopy encoder = EncoderCopy::kCopied;
    if (!NpxHeaderBuilder::writeSessionHeader(npxPath, header, error, &encoder)) {
      printLine(msg::headerNotSaved(npxPath, error));
      complete = false;
    }
    // The header is complete only with its encoder; standard output keeps to
    // the converter's fixed lines, so a file without one is noted beside it.
    if (encoder == EncoderCopy::kNoEncoderElement) {
      std::fprintf(stderr, "%s\n", msg::encoderWithoutElement(encoderFileName(layout)).c_str());
    }
    if (encoder != EncoderCopy::kCopied) complete = false;
  }

  void walkSubject(int32_t database, int32_t subject, const SessionMap& sessions,
                   const std::string& databaseDirectory) {
    if (subject < 0) {
      skipAll(database, subject, sessions,
              "the subject number " + std::to_string(subject) + " is negative");
      return;
    }
    const std::string name = subjectDirectoryName(subject);
    const std::string directory = joinPath(databaseDirectory, name);
    std::string error;
    const bool usable = ensureDirectory(directory, error);
    printLine(msg::processingSubject(printedDirectoryName(name)));
    if (!usable) {
      printLine(msg::directoryUnusable(directory, error));
      complete = false;
      return;
    }
    for (const auto& [session, trials] : sessions) {
      writeSession(database, subject, session, trials, directory);
    }
  }

  void walkDatabase(int32_t database, const SubjectMap& subjects, const std::string& root) {
    if (database < 0) {
      for (const auto& [subject, sessions] : subjects) {
        skipAll(database, subject, sessions,
                "the database number " + std::to_string(database) + " is negative");
      }
      return;
    }
    const std::string name = databaseDirectoryName(database);
    const std::string directory = joinPath(root, name);
    std::string error;
    const bool usable = ensureDirectory(directory, error);
    printLine(msg::processingDatabase(printedDirectoryName(name)));
    if (!usable) {
      printLine(msg::directoryUnusable(directory, error));
      complete = false;
      return;
    }
    for (const auto& [subject, sessions] : subjects) {
      walkSubject(database, subject, sessions, directory);
    }
  }
};

}  // namespace

namespace SessionWalk {

bool walk(const StimulusIndex& index, const InputData& data, const ChannelList& channels,
          const std::string& root) {
  uint64_t sessions = 0;
  uint64_t epochs = 0;
  for (const auto& database : index.hierarchy) {
    for (const auto& subject : database.second) {
      for (const auto& session : subject.second) {
        ++sessions;
        epochs += epochCountOf(session.second);
      }
    }
  }
  Walker walker{index, data, channels, startProgress(sessions, epochs)};
  for (const auto& [database, subjects] : index.hierarchy) {
    walker.walkDatabase(database, subjects, root);
  }
  finishProgress(walker.progress);
  return walker.complete;
}

}  // namespace SessionWalk

}  // namespace erp2npx
