#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace erp2npx {

// Every console text of the converter, each in one place. Functions return
// the text of one line without its line end.
namespace msg {

// Written with printf-style output, line feeds included.
constexpr const char* kFileOpened = "\nFile successfully opened!!!!\n\n";

// Why an operation failed, worded to follow "because" in a line that names
// the file or dataset.
constexpr const char* kCannotBeExamined = "cannot be examined";
constexpr const char* kChecksumFails = "it fails its checksum";
constexpr const char* kChunkShapeUnreadable = "its chunk shape cannot be read";
constexpr const char* kChunkTooLargeForMemory = "its chunk does not fit in memory";
constexpr const char* kChunkUnreadable = "its chunk cannot be read";
constexpr const char* kChunksUncountable = "its chunks cannot be counted";
constexpr const char* kDoesNotInflate = "its data does not inflate";
constexpr const char* kEpochsNeverCame = "some of its epochs never came";
constexpr const char* kFileInTheWay = "a file of that name is in the way";
constexpr const char* kFileNotOpen = "the file is not open";
constexpr const char* kNotAWholeChunk = "it does not come to a whole chunk";
constexpr const char* kNotInTheInputFile = "it does not lie in the input file";
constexpr const char* kReadingFailed = "reading it failed";
constexpr const char* kSessionNumberNegative = "the session number is negative";
constexpr const char* kShapeUnreadable = "its shape cannot be read";
constexpr const char* kStorageUnexaminable = "its storage cannot be examined";
constexpr const char* kTooShortForChecksum = "it is too short for its checksum";
constexpr const char* kTypeUnreadable = "its type cannot be read";
constexpr const char* kValuesNotNumbers = "its values are not numbers";
constexpr const char* kVirtualDataset =
    "it is a virtual dataset, whose values would come from other datasets";

std::string datasetMissing(
    const std::string& datasetName);  // "/codes" -> "\n\nNOOOO codes!!!!\n\n"

std::string unableToOpenInput(const std::string& fileName);
std::string inputNotOpened(const std::string& fileName, const std::string& why);
std::string datasetUnreadable(const std::string& datasetName, const std::string& fileName,
                              const std::string& reason);
std::string datasetPartlyWritten(const std::string& datasetName, const std::string& fileName,
                                 uint64_t storedChunks, uint64_t declaredChunks,
                                 const std::string& consequence);
std::string takenAsLeading(uint64_t values, uint64_t declared);
std::string unwrittenSessionsSkipped();
std::string epochsUnwritten();
std::string tooLargeForMemory(uint64_t values);
std::string tooManyValues(uint64_t values);
std::string datasetTooShort(const std::string& datasetName, uint64_t held, uint64_t needed,
                            const std::string& fileName);

std::string tooManyStimuli(uint64_t count, const std::string& fileName);
std::string outOfMemory(const std::string& fileName);
std::string subjectFileUnreadable(const std::string& fileName, const std::string& reason);
std::string subjectLineFields(uint64_t lineNumber, uint64_t fields, uint64_t subject);
std::string subjectLineTooLong(uint64_t lineNumber, uint64_t limit, uint64_t subject);
std::string subjectLinesNotShown(uint64_t count);
std::string subjectLineNumber(uint64_t lineNumber, int field, const std::string& text,
                              uint64_t subject);

std::string count(const char* label, uint64_t value);

std::string processingDatabase(const std::string& directoryName);
std::string processingSubject(const std::string& directoryName);
std::string processingSession(const std::string& fileName);
std::string errorCreatingFile(int errorCode, const std::string& fileName);

std::string directoryUnusable(const std::string& path, const std::string& reason);
std::string sessionSkipped(int32_t database, int32_t subject, int32_t session,
                           const std::string& reason);
std::string fileNotWritten(const std::string& path, const std::string& reason);
std::string headerNotSaved(const std::string& path, const std::string& reason);

std::string encoderNotLoaded(const std::string& encoderFileName);
std::string encoderWithoutElement(const std::string& encoderFileName);

std::string conversionRunningHere();
std::string filesOfAnotherSession(const std::string& path, const std::string& firstPath);
std::string earlierFileRemoved(const std::string& path);
std::string earlierFileNotRemoved(const std::string& path, const std::string& reason);
std::string earlierFilesNotSought(const std::string& directory, const std::string& reason);
std::string standardOutputFailed(const std::string& reason);
// An error nothing below the top of a run handled, with its own text.
std::string runStopped(const std::string& program, const std::string& what);

// Why a value of an integer table keeps the table from being read.
std::string notA32BitInteger(const std::string& value, uint64_t index);
// Why a dataset is refused when the guard that keeps its opening inside the
// input file cannot be set.
std::string externalLinksNotRefused();
// Why a dataset's shape keeps it from being read: its last dimension has
// lastExtent entries, which groups ("not the 7 values of one trial") tells
// against the documented order.
std::string shapeAgainstOrder(const std::string& shape, uint64_t lastExtent,
                              const std::string& groups);
// Standard error: what the HDF5 library found wrong with the input file or
// with one of its datasets, beside the fixed line of standard output.
std::string inputFileCause(const std::string& fileName, const std::string& cause);
std::string datasetCause(const std::string& datasetName, const std::string& fileName,
                         const std::string& cause);

// Standard error: subjects that get no metadata.
std::string subjectFileMissing(const std::string& fileName);
std::string subjectFileEnds(const std::string& fileName, uint64_t dataLines,
                            const std::vector<int64_t>& subjects);
std::string subjectsWithoutMetadata(const std::vector<int64_t>& subjects);

// Why a session's files cannot be written, worded to follow "because".
std::string negativeDatabaseNumber(int64_t database);
std::string negativeSubjectNumber(int64_t subject);
std::string noMatrixSize(uint64_t held);
std::string negativeTrialNumber(int64_t trial);
std::string trialWithoutTarget(int64_t trial, uint64_t held);
std::string tooManySamplePositions(uint64_t epochs);

// Why a dataset or a file cannot be read, worded to follow "because".
std::string storedOutsideInput(const std::string& where);
std::string tooManyElements(uint64_t elements);
std::string epochFileUnreadable(const std::string& why);
std::string epochFileTooShort(uint64_t size, uint64_t headerBytes);
std::string encoderFileUnreadable(uint64_t maxBytes);

}  // namespace msg

}  // namespace erp2npx
