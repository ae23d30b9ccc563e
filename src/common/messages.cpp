#include "common/messages.h"

#include "common/config.h"

namespace erp2npx {
namespace msg {

std::string datasetMissing(const std::string& datasetName) {
  const std::string bare =
      datasetName.empty() || datasetName[0] != '/' ? datasetName : datasetName.substr(1);
  return "\n\nNOOOO " + bare + "!!!!\n\n";
}

std::string unableToOpenInput(const std::string& fileName) {
  return "Unable to open the file: " + fileName;
}

std::string inputNotOpened(const std::string& fileName, const std::string& why) {
  return "The input file " + fileName + " is not read: " + why;
}

std::string datasetUnreadable(const std::string& datasetName, const std::string& fileName,
                              const std::string& reason) {
  return "Unable to read the dataset " + datasetName + " of " + fileName + ": " + reason +
         "; it is treated as missing";
}

std::string datasetPartlyWritten(const std::string& datasetName, const std::string& fileName,
                                 uint64_t storedChunks, uint64_t declaredChunks,
                                 const std::string& consequence) {
  return "The dataset " + datasetName + " of " + fileName + " is only partly written (" +
         std::to_string(storedChunks) + " of " + std::to_string(declaredChunks) +
         " chunks): " + consequence;
}

std::string takenAsLeading(uint64_t values, uint64_t declared) {
  return "it is taken as its first " + std::to_string(values) + " of " + std::to_string(declared) +
         " values";
}

std::string unwrittenSessionsSkipped() {
  return "sessions with epochs in the unwritten chunks are not converted";
}

std::string epochsUnwritten() {
  return "some of its epochs lie in chunks of /features that were never written";
}

std::string tooManyValues(uint64_t values) {
  return "it declares " + std::to_string(values) +
         " values, more stimuli than 32-bit numbers can count";
}

std::string tooLargeForMemory(uint64_t values) {
  return "its " + std::to_string(values) + " values do not fit in memory";
}

std::string datasetTooShort(const std::string& datasetName, uint64_t held, uint64_t needed,
                            const std::string& fileName) {
  return "The dataset " + datasetName + " holds " + std::to_string(held) + " values where " +
         std::to_string(needed) + " are needed: nothing of " + fileName + " is converted";
}

std::string tooManyStimuli(uint64_t count, const std::string& fileName) {
  return "The input holds " + std::to_string(count) +
         " stimuli, more than 2147483647: nothing of " + fileName + " is converted";
}

std::string outOfMemory(const std::string& fileName) {
  return "Not enough memory to convert " + fileName + ": the conversion stops here";
}

std::string subjectFileUnreadable(const std::string& fileName, const std::string& reason) {
  return "Unable to read " + fileName + ": " + reason + "; no subject has metadata";
}

std::string subjectLineFields(uint64_t lineNumber, uint64_t fields, uint64_t subject) {
  return std::string(kSubjectFileName) + " line " + std::to_string(lineNumber) + ": " +
         std::to_string(fields) + " fields where 7 are needed; subject " + std::to_string(subject) +
         " has no metadata";
}

std::string subjectLineTooLong(uint64_t lineNumber, uint64_t limit, uint64_t subject) {
  return std::string(kSubjectFileName) + " line " + std::to_string(lineNumber) + ": longer than " +
         std::to_string(limit) + " bytes; subject " + std::to_string(subject) + " has no metadata";
}

std::string subjectLinesNotShown(uint64_t count) {
  return std::string(kSubjectFileName) + ": " + std::to_string(count) + " more " +
         (count == 1 ? "line" : "lines") + " could not be used; their subjects have no metadata";
}

std::string subjectLineNumber(uint64_t lineNumber, int field, const std::string& text,
                              uint64_t subject) {
  return std::string(kSubjectFileName) + " line " + std::to_string(lineNumber) + ": field " +
         std::to_string(field + 1) + " \"" + text + "\" is not a 32-bit number; subject " +
         std::to_string(subject) + " has no metadata";
}

std::string count(const char* label, uint64_t value) { return label + std::to_string(value); }

std::string processingDatabase(const std::string& directoryName) {
  return "Processing " + directoryName;
}

std::string processingSubject(const std::string& directoryName) {
  return "\tProcessing " + directoryName;
}

std::string processingSession(const std::string& fileName) { return "\t\tProcessing " + fileName; }

std::string errorCreatingFile(int errorCode, const std::string& fileName) {
  return "\t\tError " + std::to_string(errorCode) + " creating file" + fileName;
}

std::string directoryUnusable(const std::string& path, const std::string& reason) {
  return "Unable to create the directory " + path + ": " + reason + "; its sessions are skipped";
}

std::string sessionSkipped(int32_t database, int32_t subject, int32_t session,
                           const std::string& reason) {
  return "Session " + std::to_string(session) + " of subject " + std::to_string(subject) +
         " in database " + std::to_string(database) + " is not converted: " + reason;
}

std::string fileNotWritten(const std::string& path, const std::string& reason) {
  return "Unable to write the file " + path + ": " + reason + "; the file is removed";
}

std::string headerNotSaved(const std::string& path, const std::string& reason) {
  return "Unable to save the header file " + path + ": " + reason;
}

std::string encoderNotLoaded(const std::string& encoderFileName) {
  return "Unable to load the Encoder file: " + encoderFileName;
}

std::string encoderWithoutElement(const std::string& encoderFileName) {
  return "erp2npx: " + encoderFileName +
         " holds no DOC/Encoder element; the headers made with it have none";
}

std::string conversionRunningHere() {
  return "erp2npx: another conversion is running in this directory: this one stops and leaves "
         "its files alone";
}

std::string filesOfAnotherSession(const std::string& path, const std::string& firstPath) {
  return "its file " + path + " is " + firstPath + ", which this run writes for another session";
}

std::string earlierFileRemoved(const std::string& path) {
  return "erp2npx: the file " + path +
         " of an earlier run is removed, so that it is not taken for this input's";
}

std::string earlierFileNotRemoved(const std::string& path, const std::string& reason) {
  return "erp2npx: unable to remove the file " + path + " of an earlier run: " + reason +
         "; it does not come from this input";
}

std::string earlierFilesNotSought(const std::string& directory, const std::string& reason) {
  return "erp2npx: unable to read the directory " + directory +
         " for files of an earlier run: " + reason + "; any there do not come from this input";
}

std::string standardOutputFailed(const std::string& reason) {
  return "erp2npx: unable to write to standard output: " + reason +
         "; the conversion went on, but its report is incomplete";
}

std::string runStopped(const std::string& program, const std::string& what) {
  return program + ": stopped by an unexpected error: " + what;
}

std::string notA32BitInteger(const std::string& value, uint64_t index) {
  return "its value " + value + " at index " + std::to_string(index) + " is not a 32-bit integer";
}

std::string externalLinksNotRefused() {
  return "the library cannot be set to refuse external links on the way to it";
}

std::string shapeAgainstOrder(const std::string& shape, uint64_t lastExtent,
                              const std::string& groups) {
  return "it has the shape " + shape + ", whose last dimension of " + std::to_string(lastExtent) +
         " is " + groups + ": its values are in another order";
}

std::string inputFileCause(const std::string& fileName, const std::string& cause) {
  return "erp2npx: " + fileName + " " + cause;
}

std::string datasetCause(const std::string& datasetName, const std::string& fileName,
                         const std::string& cause) {
  return "erp2npx: " + datasetName + " of " + fileName + " " + cause;
}

namespace {

// "2, 5, 9" or "2, 5, ... (40 in all)"
std::string listedNumbers(const std::vector<int64_t>& numbers) {
  constexpr size_t kListed = 8;
  std::string text;
  for (size_t i = 0; i < numbers.size() && i < kListed; ++i) {
    text += (i == 0 ? "" : ", ") + std::to_string(numbers[i]);
  }
  if (numbers.size() > kListed) text += ", ... (" + std::to_string(numbers.size()) + " in all)";
  return text;
}

std::string subjectsText(const std::vector<int64_t>& subjects) {
  return (subjects.size() == 1 ? "subject " : "subjects ") + listedNumbers(subjects);
}

}  // namespace

std::string subjectFileMissing(const std::string& fileName) {
  return "erp2npx: " + fileName + " is missing: no subject has metadata";
}

std::string subjectFileEnds(const std::string& fileName, uint64_t dataLines,
                            const std::vector<int64_t>& subjects) {
  return "erp2npx: " + fileName + " ends after " + std::to_string(dataLines) + " data " +
         (dataLines == 1 ? "line" : "lines") + ": no line for " + subjectsText(subjects);
}

std::string subjectsWithoutMetadata(const std::vector<int64_t>& subjects) {
  return "erp2npx: the sessions of " + subjectsText(subjects) +
         " have headers without metadata (Age=\"0\", empty Sex, Condition and Study): the "
         "conversion is not complete";
}

std::string negativeDatabaseNumber(int64_t database) {
  return "the database number " + std::to_string(database) + " is negative";
}

std::string negativeSubjectNumber(int64_t subject) {
  return "the subject number " + std::to_string(subject) + " is negative";
}

std::string noMatrixSize(uint64_t held) {
  return "the input has no matrix size for it (it holds " + std::to_string(held) + ")";
}

std::string negativeTrialNumber(int64_t trial) {
  return "its trial number " + std::to_string(trial) + " is negative";
}

std::string trialWithoutTarget(int64_t trial, uint64_t held) {
  return "its trial " + std::to_string(trial) + " has no target in the input (it holds " +
         std::to_string(held) + ")";
}

std::string tooManySamplePositions(uint64_t epochs) {
  return "its " + std::to_string(epochs) + " epochs exceed the 32-bit sample positions";
}

std::string storedOutsideInput(const std::string& where) {
  return "its values are stored outside the input file, in " + where;
}

std::string tooManyElements(uint64_t elements) {
  return "it declares " + std::to_string(elements) + " values, more than can be addressed";
}

std::string epochFileUnreadable(const std::string& why) { return "cannot be read: " + why; }

std::string epochFileTooShort(uint64_t size, uint64_t headerBytes) {
  return "holds " + std::to_string(size) + " bytes, too short for the " +
         std::to_string(headerBytes) + "-byte fixed header";
}

std::string encoderFileUnreadable(uint64_t maxBytes) {
  return "is no regular file of at most " + std::to_string(maxBytes) + " bytes that can be read";
}

}  // namespace msg

}  // namespace erp2npx
